// Reads NTFS volumes for Basic Search: locates the MFT through its own data runs, walks every
// record (in use or deleted alike), turns directory records into recovered folders and file
// records into NtfsFileTable rows, and lists a folder's files from their records on demand.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery::ntfs {

// Every MFT record is read as 1024 bytes (two sectors), whatever the boot sector says: all
// volumes this program meets are formatted that way, and mkntfs and Windows use no other size.
inline constexpr std::size_t kRecordSize = 1024;
inline constexpr std::uint32_t kRecordSectors = 2;

// The MFT may be split into this many runs; more are dropped (record 0 plus its extension
// records rarely hold more than a few hundred, so this only stops a corrupt list).
inline constexpr std::size_t kMaxMftRuns = 8192;

// Namespaces of $FILE_NAME in the order callers try them: Win32, Win32+DOS, DOS, POSIX.
inline constexpr std::uint8_t kNamespaceOrder[] = {1, 3, 2, 0};

// Applies the update-sequence fixups: the last two bytes of every 512-byte sector of the record
// are replaced from the update-sequence array. The array's offset and count are checked against
// the record before anything is written; the sequence number itself is not compared, so a torn
// record of a deleted file still reads. Returns whether every fixup was applied (false when the
// array does not fit or cancel was set part-way).
bool ApplyFixups(std::span<std::byte> record, const std::atomic<bool>* cancel = nullptr);

// One run of a run list, in sectors; start 0 marks a sparse run.
struct Run {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    bool operator==(const Run&) const = default;
};

inline constexpr std::uint64_t kNoVolumeEnd = std::numeric_limits<std::uint64_t>::max();

// Decodes the mapping pairs in bytes[start, last) (last is one past the last byte the list may
// use, normally the attribute's end). The first non-sparse run's cluster offset is taken from
// baseSector (the volume's first sector), later ones relative to the previous non-sparse run.
// Lengths and offsets may be up to 8 bytes wide. The list is cut, not followed, at the first run
// that starts before baseSector or at or after volumeEndSector (exclusive), and a run that
// crosses volumeEndSector is shortened to end there. Callers that know the volume's end pass it.
std::vector<Run> DecodeRunList(Bytes bytes, std::size_t start, std::size_t last, std::uint64_t baseSector,
                               std::uint32_t SPC, std::uint64_t volumeEndSector = kNoVolumeEnd);

// The MFT's runs from its record 0 at mftStart, extended by the $DATA extents of the extension
// records its $ATTRIBUTE_LIST names. Runs are cut at the target's end sector (and the device's).
// Empty when record 0 cannot be read or is not a "FILE" record.
MftRunList BuildMftRunList(const Session& session, std::uint64_t volumeStart, std::uint64_t mftStart,
                           std::uint32_t SPC);

// Absolute sector of MFT record n, or 0 when it lies outside the runs or in a sparse run.
std::uint64_t MftRecordSector(const MftRunList& runs, std::uint64_t record);

struct FileNameInfo {
    bool found = false;
    std::uint32_t parent = 0;          // low 32 bits of the parent reference
    std::uint64_t creationTime = 0;    // FILETIME
    std::string name;                  // UTF-8
};

// The $FILE_NAME of the given namespace from the record at sector (read through the session's
// device). The name is given for directory records only, code unit by code unit, uncleaned.
FileNameInfo ReadFileName(const Session& session, std::uint64_t sector, std::uint8_t ns);

// The same from a record already read and fixed up, with the name cleaned for the item list:
// control characters become spaces, the ends are trimmed and the nine characters a file name
// cannot hold (" \ / ? * < > | :) are removed. A file record's name (and creation time, then 0)
// is only decoded while decodeFileNames is on; cancel ends the search with nothing found, or
// cuts a name short.
FileNameInfo ReadRecordName(std::span<const std::byte> record1024, std::uint8_t ns, bool decodeFileNames,
                            const std::atomic<bool>* cancel);

// The unnamed $DATA attribute of a record (read and fixed up).
struct DataAttribute {
    bool found = false;
    bool resident = false;
    std::size_t offset = 0;   // of the attribute within the record
    std::size_t length = 0;   // of the whole attribute
    // Resident: where the content lies in the record and how long it is.
    std::size_t valueOffset = 0;
    std::uint64_t valueLength = 0;
    // Non-resident: the run list is record[runListStart, runListEnd), realSize the file's size.
    std::size_t runListStart = 0;
    std::size_t runListEnd = 0;
    std::uint64_t realSize = 0;
};
DataAttribute findUnnamedData(std::span<const std::byte> record1024);

// The size the item list shows: the real size (+0x30) of a non-resident $DATA, the value length
// (+16) of a resident one, 0 without an unnamed $DATA.
std::uint64_t dataSize(const DataAttribute& data);
std::uint64_t dataSize(std::span<const std::byte> record1024);

// Record flags: bit 0 in use, bit 1 directory. Only 2 and 3 are directories and 0 and 1 files;
// other values (view indexes of $Extend) are neither.
inline constexpr std::uint8_t kFlagInUse = 0x01;
inline constexpr std::uint8_t kFlagDirectory = 0x02;

// The Basic Search pass over session.mftRuns (built by BuildMftRunList): directory records become
// folders under "Root" (or LostDirList rows when their parent has not been seen yet), file records
// become NtfsFileTable rows. A stop request ends the walk after the current record; what was found
// is kept.
void WalkMft(Session& session, EngineSink& sink, std::stop_token stop);

// Appends to session.itemList one row per file of folder record folderRecord, reading name, size and
// date from the record the first time a row is listed. Switches session.decodeFileNames on, adds to
// session.fileCount; session.listingCancel stops it.
void ListNtfsFolderFiles(Session& session, std::uint32_t folderRecord);

// FILETIME as the item lists show it, without time-zone adjustment: "05-MAR-2013" and "14:03:58".
// A value beyond what a FILETIME converts (top bit set) gives "00-ERR-0" and "00:00:00".
std::string NtfsDateText(std::uint64_t filetime);
std::string NtfsTimeText(std::uint64_t filetime);

} // namespace snapmend::fsrecovery::ntfs
