#include "carving/signature_db.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"

namespace snapmend::carving {

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string trimBoth(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && isSpace(text[end - 1])) --end;
    std::size_t start = 0;
    while (start < end && isSpace(text[start])) ++start;
    return std::string(text.substr(start, end - start));
}

// One database opened for reading, line by line. Lines end at LF; a CR before it is dropped.
class LineReader {
public:
    static Result<LineReader> open(const std::filesystem::path& path) {
        errno = 0;
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return makeError(Errc::Io, openFailureText(errno != 0 ? errno : ENOENT));
        struct stat st {};
        if (::fstat(::fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::fclose(f);
            return makeError(Errc::Io, openFailureText(EISDIR));
        }
        return LineReader(f);
    }

    // False at the end of the file when nothing was read; the line is then empty.
    bool next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            const int c = std::getc(m_file.get());
            if (c == EOF) break;
            any = true;
            if (c == '\n') break;
            if (line.size() < kMaxLineBytes) line.push_back(static_cast<char>(c));
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        ++m_lineNumber;
        return any;
    }
    // Reads count lines and drops them.
    void skip(int count) {
        std::string ignored;
        for (int i = 0; i < count; ++i) next(ignored);
    }
    std::size_t lineNumber() const { return m_lineNumber; }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    explicit LineReader(std::FILE* f) : m_file(f) {}
    std::unique_ptr<std::FILE, Closer> m_file;
    std::size_t m_lineNumber = 0;
};

// Lines 2 to 4 of a record into r; lines 5 and 6 are left to the caller. Returns why the record
// lies outside the format, or null.
const char* readRecordBody(LineReader& in, FileType1& r) {
    std::string line;
    in.next(line);
    r.maxSizeText = recordValue(line);

    in.next(line);
    r.signatureText = upper(recordValue(line));
    std::string_view hex = r.signatureText;
    std::size_t count = 0;
    bool tooLong = false;
    while (!hex.empty()) {
        const std::size_t take = std::min<std::size_t>(2, hex.size());
        if (count == kMaxSignatureBytes) {
            tooLong = true;
            break;
        }
        r.signature[count++] = hexPairValue(hex.substr(0, take));
        hex.remove_prefix(take);
    }
    r.signatureLength = static_cast<std::int32_t>(count);
    r.firstByte = count > 0 ? r.signature[0] : 0;

    in.next(line);
    r.headerOffset = parseInt32(recordValue(line));

    if (tooLong) return "a signature longer than 50 bytes";
    if (r.signatureLength == 0) return "no signature bytes";
    if (r.headerOffset < 1) return "a header offset below 1";
    if (static_cast<std::uint64_t>(r.headerOffset) - 1 + static_cast<std::uint64_t>(r.signatureLength) >
        kReadWindowBytes)
        return "a signature that ends past the read window";
    if (r.maxSize() == 0) return "a maximum size of 0";
    return nullptr;
}

void noteSkipped(LoadOutcome& outcome, std::string_view fileName, std::size_t firstLine, const char* why) {
    outcome.skipped.push_back(std::string(fileName) + " line " + std::to_string(firstLine) + ": skipped, " + why);
}

// Reads the records of an opened database into set. extensionOf gets a record's first line and
// gives the extension to store it under, or nothing to pass the record over unremarked.
template <typename ExtensionOf>
LoadOutcome readRecords(LineReader& in, std::string_view fileName, SignatureSet& set, ExtensionOf extensionOf) {
    LoadOutcome outcome;
    std::string line;
    for (std::size_t n = 0; n < kMaxRecords; ++n) {
        if (!in.next(line)) break;
        const std::size_t firstLine = in.lineNumber();
        std::optional<std::string> extension = extensionOf(line);
        if (!extension) {
            in.skip(5);
            continue;
        }
        FileType1 r;
        r.extension = std::move(*extension);
        const char* why = readRecordBody(in, r);
        in.skip(2);
        if (!why && r.extension.empty()) why = "no extension";
        if (why) {
            noteSkipped(outcome, fileName, firstLine, why);
            continue;
        }
        set.add(std::move(r));
        ++outcome.stored;
    }
    return outcome;
}

} // namespace

std::uint64_t FileType1::maxSize() const {
    // Leading digits only; saturates rather than wrapping.
    std::uint64_t v = 0;
    for (char c : maxSizeText) {
        if (c < '0' || c > '9') break;
        const auto d = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return UINT64_MAX;
        v = v * 10 + d;
    }
    return v;
}

void SignatureSet::add(FileType1 record) {
    if (std::find(offsets.begin(), offsets.end(), record.headerOffset) == offsets.end())
        offsets.push_back(record.headerOffset);
    records.push_back(std::move(record));
}

std::string recordValue(std::string_view line) {
    const auto colon = line.rfind(':');
    if (colon != std::string_view::npos) line.remove_prefix(colon + 1);
    return trimBoth(line);
}

int hexPairValue(std::string_view text) {
    int value = 0;
    for (char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        value = value * 16 + digit;
    }
    return value;
}

std::filesystem::path programFolder() {
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return std::filesystem::current_path(ec);
    return exe.parent_path();
}

std::filesystem::path signatureFolder() {
    if (const char* env = std::getenv(kSignatureFolderVariable); env && *env) return env;
    return programFolder();
}

std::string openFailureText(int errnoValue) {
    std::string reason = std::strerror(errnoValue);
    // As much of the system's text as a message box line holds.
    constexpr std::size_t kMaxReason = 1024;
    if (reason.size() > kMaxReason) reason.resize(kMaxReason);
    return std::string(kOpenFailedPrefix) + reason;
}

Result<void> checkSignatureFiles(const std::filesystem::path& folder) {
    for (const auto name : kSignatureFiles) {
        auto opened = LineReader::open(folder / name);
        if (!opened) return opened.error();
    }
    return {};
}

Result<LoadOutcome> loadSignatureFile(const std::filesystem::path& folder, std::string_view fileName,
                                      std::string_view listName, PhotoSignatureSets& sets) {
    SignatureSet* set = nullptr;
    if (listName == "General") set = &sets.photoGeneralSet;
    else if (listName == "Advance") set = &sets.photoAdvanceSet;
    else return makeError(Errc::InvalidArgument, "unknown signature list '" + std::string(listName) + "'");

    auto opened = LineReader::open(folder / fileName);
    if (!opened) return opened.error();
    return readRecords(*opened, fileName, *set, [](const std::string& line) { return recordValue(line); });
}

const ExtensionRow* ExtensionList::find(std::string_view key) const {
    for (const auto& row : m_rows)
        if (iequals(row.extension, key)) return &row;
    return nullptr;
}

ExtensionRow* ExtensionList::find(std::string_view key) {
    return const_cast<ExtensionRow*>(static_cast<const ExtensionList*>(this)->find(key));
}

bool ExtensionList::isTicked(std::string_view key) const {
    const auto* row = find(key);
    return row && row->ticked;
}

void ExtensionList::tickAll(bool ticked) {
    for (auto& row : m_rows) row.ticked = ticked;
}

void ExtensionList::sortByExtension() {
    std::stable_sort(m_rows.begin(), m_rows.end(),
                     [](const ExtensionRow& a, const ExtensionRow& b) { return a.extension < b.extension; });
}

Result<void> fillExtensionList(ExtensionList& list, const std::filesystem::path& folder,
                               std::string_view generalFile, std::string_view thoroughFile) {
    for (const auto fileName : {generalFile, thoroughFile}) {
        auto opened = LineReader::open(folder / fileName);
        if (!opened) return opened.error();
        LineReader& in = *opened;
        std::string line;
        for (std::size_t n = 0; n < kMaxRecords; ++n) {
            if (!in.next(line)) break;
            // The key is the text after the colon without the dot that follows it.
            std::string_view rest = line;
            if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) rest.remove_prefix(colon + 1);
            if (!rest.empty()) rest.remove_prefix(1);
            const std::string key = trimBoth(rest);
            const bool added = !key.empty() && !list.find(key);
            if (added) list.rows().push_back({upper(key), {}, true});
            std::string description;
            for (int i = 0; i < 5; ++i) in.next(description);
            if (added) list.rows().back().description = recordValue(description);
        }
    }
    return {};
}

Result<LoadOutcome> loadSelectedSignatures(const ExtensionList& list, const std::filesystem::path& folder,
                                           std::string_view fileName, SignatureSet& carveSet) {
    auto opened = LineReader::open(folder / fileName);
    if (!opened) return opened.error();
    return readRecords(*opened, fileName, carveSet, [&](const std::string& line) -> std::optional<std::string> {
        std::string value = recordValue(upper(line));
        const std::string key = value.empty() ? std::string() : value.substr(1);
        if (key.empty() || !list.isTicked(key)) return std::nullopt;
        return value;
    });
}

} // namespace snapmend::carving
