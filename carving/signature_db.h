// The signature databases of the carving modes: six plain text files beside the program, one
// record field per line, read into SignatureSets that the carving engine searches.
//
// Record (six lines, each "label:value"; only the value after the last ':' counts):
//   1 extension (".jpg")  2 maximum size in bytes  3 signature in hex  4 header offset (1-based
//   position of the signature inside a sector)  5 ignored  6 description.
// Records outside the format are skipped, never stored, and named in the load outcome so callers
// can report them: a signature longer than kMaxSignatureBytes or without any byte, a header offset
// below 1 or one that puts the signature past the end of a read window, a maximum size of 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace snapmend::carving {

inline constexpr std::size_t kMaxSignatureBytes = 50;
// The engine reads the medium in windows of this many bytes (512 sectors).
inline constexpr std::size_t kReadWindowBytes = 262144;
// Caps against a damaged or hostile file: longer lines are cut, later records are not read.
inline constexpr std::size_t kMaxLineBytes = 4096;
inline constexpr std::size_t kMaxRecords = 100000;

inline constexpr std::string_view kPhotoGeneralFile = "QSIGExt2.dll";
inline constexpr std::string_view kPhotoThoroughFile = "QSIGExt2Adv.dll";
inline constexpr std::string_view kVideoGeneralFile = "QSIGVideo.dll";
inline constexpr std::string_view kVideoThoroughFile = "QSIGVideoAdv.dll";
inline constexpr std::string_view kRawGeneralFile = "QSIGRaw.dll";
inline constexpr std::string_view kRawThoroughFile = "QSIGRawAdv.dll";
// In the order the start-up check opens them.
inline constexpr std::array<std::string_view, 6> kSignatureFiles = {
    kPhotoGeneralFile, kPhotoThoroughFile, kVideoGeneralFile, kVideoThoroughFile, kRawGeneralFile, kRawThoroughFile};

inline constexpr std::string_view kOpenFailedPrefix = "Couldn't open source file: ";
// Environment variable that points the program at another folder of databases.
inline constexpr const char* kSignatureFolderVariable = "SNAPMEND_SIGNATURES";

struct FileType1 {
    std::int32_t headerOffset = 0;
    std::int32_t firstByte = 0;
    std::array<std::int32_t, kMaxSignatureBytes> signature{};
    std::int32_t signatureLength = 0;
    std::string extension;
    std::string maxSizeText;
    std::string signatureText;

    // The number in maxSizeText: leading digits only, empty text is 0.
    std::uint64_t maxSize() const;
    // The engine's candidate key: the other fields do not take part.
    bool operator==(const FileType1& other) const {
        return headerOffset == other.headerOffset && firstByte == other.firstByte;
    }
};

struct SignatureSet {
    std::vector<FileType1> records;       // file order
    std::vector<std::int32_t> offsets;    // each distinct headerOffset once, first-seen order

    void clear() {
        records.clear();
        offsets.clear();
    }
    bool empty() const { return records.empty(); }
    // Appends a record, and its header offset to the offset list when it is new.
    void add(FileType1 record);
};

// What a load did besides filling the set.
struct LoadOutcome {
    std::size_t stored = 0;
    std::vector<std::string> skipped;  // one "<file> line N: why" per record outside the format
};

// The value of a line: the text after its last ':' (the whole line without one), trimmed at the
// end and then at the start.
std::string recordValue(std::string_view line);
// One or two hex characters: each digit's value times 16 to its place, the last counting 1; a
// character that is no hex digit counts 0.
int hexPairValue(std::string_view text);

// The folder of the running executable.
std::filesystem::path programFolder();
// Where the databases are looked for: $SNAPMEND_SIGNATURES when set and not empty, else the
// program's own folder.
std::filesystem::path signatureFolder();

// "Couldn't open source file: " followed by the system's description of errnoValue.
std::string openFailureText(int errnoValue);

// Opens and closes the six files in table order; the first that fails gives an Io error whose
// detail is the openFailureText.
Result<void> checkSignatureFiles(const std::filesystem::path& folder);

struct PhotoSignatureSets {
    SignatureSet photoGeneralSet;
    SignatureSet photoAdvanceSet;
};

// Reads one Photo file into photoGeneralSet ("General") or photoAdvanceSet ("Advance"); the
// extensions stay as written. Any other list name is refused with InvalidArgument.
Result<LoadOutcome> loadSignatureFile(const std::filesystem::path& folder, std::string_view fileName,
                                      std::string_view listName, PhotoSignatureSets& sets);

// The extension list of the Video and Raw modes: one row per distinct extension (upper case, no
// dot) with the description of its first record.
struct ExtensionRow {
    std::string extension;
    std::string description;
    bool ticked = true;
};

class ExtensionList {
public:
    std::vector<ExtensionRow>& rows() { return m_rows; }
    const std::vector<ExtensionRow>& rows() const { return m_rows; }
    // The row whose extension equals key, letter case ignored, or null.
    const ExtensionRow* find(std::string_view key) const;
    ExtensionRow* find(std::string_view key);
    bool isTicked(std::string_view key) const;
    void tickAll(bool ticked);
    void sortByExtension();
    void clear() { m_rows.clear(); }

private:
    std::vector<ExtensionRow> m_rows;
};

// Adds the rows of the General file and then of the Thorough file; new rows are ticked.
Result<void> fillExtensionList(ExtensionList& list, const std::filesystem::path& folder,
                               std::string_view generalFile, std::string_view thoroughFile);

// Reads one Raw or Video file into carveSet (not emptied first), keeping the records whose
// extension is ticked in list; their extensions are upper-cased.
Result<LoadOutcome> loadSelectedSignatures(const ExtensionList& list, const std::filesystem::path& folder,
                                           std::string_view fileName, SignatureSet& carveSet);

} // namespace snapmend::carving
