// Extension-to-type table of the item lists.
#include "fsrecovery/file_type.h"

#include <array>

#include "common/text.h"

namespace snapmend::fsrecovery {

namespace {

struct TypeGroup {
    std::string_view text;
    std::string_view extensions;  // upper-case keys, one blank between them
};

// The first group holding the extension wins.
constexpr std::array kGroups = {
    TypeGroup{"Microsoft Word File", ".DOC .DOCX"},
    TypeGroup{"Microsoft Power Point File", ".PPT .PPTX .PPSX .PPS"},
    TypeGroup{"Microsoft Excel File", ".XLS .XLSX"},
    TypeGroup{"Icon file", ".ICO"},
    TypeGroup{"PDF file", ".PDF"},
    TypeGroup{"Executable file", ".EXE .BAT .COM"},
    TypeGroup{"Font file", ".TTF .FON .FNT .OTF"},
    TypeGroup{"Image File",
              ".PS .AI .BMP .GIF .PNG .PSD .PSP .THM .TIF .DRW .DXF .EPS .SVG .JPG .MNG .PCT .JPEG"},
    TypeGroup{"Winzip File", ".ZIP .RAR .7Z .DEB .GZ .PKG .SEA .SIT .SITX"},
    TypeGroup{"Web file", ".HTM .HTML .ASP .ASPX .CSS .JS .JSP .PHP .XHTML"},
    TypeGroup{"Help File", ".CHM"},
    TypeGroup{"Registry file", ".REG"},
    TypeGroup{"Sound file", ".WAV .AU .MP3 .M4A .MID .MIDI .MPA .WMA .AMR .RA .RAM .M3U .IFF .AIF .AAC"},
    TypeGroup{"Video File", ".AVI .MOV .MKV .FLV .ASX .ASF .3GP .3G2 .MP4 .MPG .SWF .VOB .WMV .QT .RM"},
    TypeGroup{"C++ file", ".CPP .C"},
    TypeGroup{"Backup File", ".BAK .BUP .GHO .OLD .ORI"},
    TypeGroup{"Scripting File", ".VB .WS"},
    TypeGroup{"System File", ".LNK .SYS"},
    TypeGroup{"Disk File", ".ISO .VCD"},
    TypeGroup{"Database File", ".MDBX .SQL .MDB .DB"},
    TypeGroup{"Java Source Code File", ".JAVA"},
    TypeGroup{"Program Information File", ".PIF"},
    TypeGroup{"BitTorrent File", ".TORRENT"},
    TypeGroup{"Perl Script File", ".PL"},
    TypeGroup{"Temporary File", ".TMP"},
    TypeGroup{"Header file", ".H"},
    TypeGroup{"Windows Installer Package File", ".MSI"},
    TypeGroup{"Rich Text Format File", ".RTF"},
    TypeGroup{"Mail Message File", ".MSG"},
    TypeGroup{"Comma Separated Values File", ".CSV"},
    TypeGroup{"Data File", ".DAT"},
    TypeGroup{"Dynamic Link Library File", ".DLL"},
    TypeGroup{"XML File", ".XML"},
    TypeGroup{"Microsoft Works Spreadsheet File", ".WKS"},
    TypeGroup{"Text file", ".TXT .LOG"},
    TypeGroup{"vCard File", ".VCF"},
    TypeGroup{"Contact File", ".CONTACT"},
};

char asciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = asciiUpper(c);
    return out;
}

// Mixed spellings (".Jpg") match no key: only the key itself or its all-lower form does.
bool matchesKey(std::string_view ext, std::string_view key) {
    if (ext == key) return true;
    if (ext.size() != key.size()) return false;
    for (std::size_t i = 0; i < key.size(); ++i)
        if (ext[i] != asciiLower(key[i])) return false;
    return true;
}

bool inGroup(std::string_view ext, std::string_view keys) {
    while (!keys.empty()) {
        const std::size_t blank = keys.find(' ');
        if (matchesKey(ext, keys.substr(0, blank))) return true;
        if (blank == std::string_view::npos) break;
        keys.remove_prefix(blank + 1);
    }
    return false;
}

} // namespace

std::string_view fileExtension(std::string_view fileName) {
    std::size_t dot = std::string_view::npos;
    for (std::size_t i = 0; i < fileName.size(); ++i) {
        if (fileName[i] == '.') dot = i;
        else if (fileName[i] == ' ' || fileName[i] == '\\') dot = std::string_view::npos;
    }
    return dot == std::string_view::npos ? std::string_view{} : fileName.substr(dot);
}

std::string FileTypeText(std::string_view extensionWithDot, std::string_view /*fileName*/) {
    const std::string ext = trim(extensionWithDot);
    if (ext.empty()) return "File";
    for (const TypeGroup& g : kGroups)
        if (inGroup(ext, g.extensions)) return std::string(g.text);
    const std::string_view bare = ext.front() == '.' ? std::string_view(ext).substr(1) : std::string_view(ext);
    return upper(bare) + " File";
}

} // namespace snapmend::fsrecovery
