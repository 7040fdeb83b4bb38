// The recovery log (".QSL"): the result of a Basic or Deep Search kept on disk so that it can be
// reloaded without scanning again. RecoveryLog is the file's content in memory; encode and parse
// turn it into bytes and back, field for field; snapshotRecoveryLog takes it from a session.
//
// Layout, in order: S target kind, S magic, S disk description, u32 mode (1 Basic, 2 Deep), the
// media block (S "PHY", S disk identity, u16 disk; or S "LOG", S drive path, u64 sector count),
// the scan target, both volume parameter sets, the found FAT file systems (Deep, not NTFS), u64
// folder count, the tree in pre-order (an L line of TABs for the depth and the item's text, then
// an R record: S name, u32 self, u32 parent, u64 date, u64 time, u32 deleted, Deep also u64
// cluster0Start), the end-marker line, and for NTFS the file table, a reserved u32 and (Deep) the
// found NTFS volumes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "common/result.h"
#include "common/work_table.h"
#include "device/scan_target.h"
#include "device/volume_params.h"

namespace snapmend::fsrecovery {
struct Session;
}

namespace snapmend::saving {

inline constexpr std::uint32_t kBasicSearchMode = 1;
inline constexpr std::uint32_t kDeepSearchMode = 2;

inline constexpr std::string_view kRootRecordName = "Root_Item";
inline constexpr std::string_view kPhysicalTag = "PHY";
inline constexpr std::string_view kLogicalTag = "LOG";

// Wrong magic, and any other fault of the file (cut short, a count or length that cannot fit,
// a depth that jumps): the two texts the loader shows.
inline constexpr std::string_view kLogWrongMagic =
    "The selected recovery Log (index of recovered files and folders) file is invalid or corrupted. Recovery "
    "cannot continue with this log file. Please select the correct drive from tree and continue with recovery.";
inline constexpr std::string_view kLogCorrupted =
    "The selected recovery Log (index of recovered files and folders) file is invalid or corrupted. Recovery "
    "cannot continue with this log file.\n\nPlease browse the valid Log file or Scan the disk again.";
inline constexpr std::string_view kLogSaved =
    "The Recovery scanning Log (index of recovered files and folders) has been saved successfully.";

// Error codes of parsing: a wrong magic is told apart from a damaged file.
inline constexpr Errc kLogErrWrongMagic = Errc::Unsupported;
inline constexpr Errc kLogErrCorrupt = Errc::Corrupt;

struct LogMedia {
    enum class Form : std::uint8_t { Physical, Logical, None };
    Form form = Form::Physical;
    std::string tag;  // as read; "PHY" or "LOG" when written
    // Physical: the disk's identity text (four parts joined by "||") and its number.
    std::string diskIdentity;
    std::uint16_t currentDisk = 0;
    // Logical: the drive's device path ("\\.\E:") and its sector count.
    std::string drivePath;
    std::uint64_t sectorCount = 0;
};

// The fields of a FolderNode a log keeps.
struct LogRecord {
    std::string name;
    std::uint32_t selfCluster = 0;
    std::uint32_t parentCluster = 0;
    std::uint64_t date = 0;
    std::uint64_t time = 0;
    std::uint32_t deleted = 0;
    std::uint64_t cluster0Start = 0;  // Deep Search only
    bool operator==(const LogRecord&) const = default;
};

struct LogTreeEntry {
    int depth = 0;         // 0 for the root
    std::string text;      // the item's text as on its line (only its depth is used on reading)
    bool hasRecord = true;
    LogRecord record;
    std::size_t parent = 0;  // index of the parent entry (parsing); unused for the root
};

struct RecoveryLog {
    std::string targetKind;
    std::string diskDescription;
    std::uint32_t mode = kBasicSearchMode;
    LogMedia media;
    device::ScanTarget target;
    device::VolumeParams calculatedParams;
    device::VolumeParams activeParams;
    std::vector<WorkTable::Row> deepVolumes;      // 12 cells a row: Deep Search, not NTFS
    std::uint64_t folderCount = 0;
    std::vector<LogTreeEntry> tree;               // pre-order; entry 0 is the root
    std::vector<WorkTable::Row> ntfsFiles;        // 6 cells a row: NTFS only
    std::uint32_t ntfsReserved = 0;
    std::vector<WorkTable::Row> deepNtfsVolumes;  // 6 cells a row: Deep Search on NTFS

    bool deep() const { return mode == kDeepSearchMode; }
    bool hasDeepVolumes() const { return deep() && target.fileSystem != "NTFS"; }
    bool hasNtfsTable() const { return activeParams.partType == "NTFS"; }
};

struct LogHeader {
    std::string targetKind;
    std::string diskDescription;
    std::uint32_t mode = 0;
};

std::vector<std::byte> encodeRecoveryLog(const RecoveryLog& log);

// Target kind, magic, description and mode only: kLogErrWrongMagic or kLogErrCorrupt.
Result<LogHeader> parseLogHeader(Bytes data);
// The whole file, laid out for its own mode (1 or 2; any other mode is corrupt). Every count and
// length is checked against what is left of the file, a line whose depth jumps by more than one
// level is refused, and a file that ends before the end marker or a table fails.
Result<RecoveryLog> parseRecoveryLog(Bytes data);

// What a session's result gives a log. mode is 1 or 2; the media block is PHY for a target read
// through a physical disk (with the identity from diskIdentityTable whose number matches) and LOG
// for one read through a drive letter.
RecoveryLog snapshotRecoveryLog(const fsrecovery::Session& session, std::uint32_t mode,
                                const std::vector<std::string>& diskIdentityTable);

// Writes the file (created or truncated). The error's detail is the system's text for the failure.
Result<void> writeLogFile(const std::filesystem::path& path, const std::vector<std::byte>& bytes);
// Reads a whole file; larger than kMaxLogBytes counts as corrupt.
inline constexpr std::uint64_t kMaxLogBytes = 1ull << 32;
Result<std::vector<std::byte>> readLogFile(const std::filesystem::path& path);

// The Save Log action without its dialog: snapshot, encode, write.
Result<void> WriteRecoveryLog(const fsrecovery::Session& session, std::uint32_t mode,
                              const std::vector<std::string>& diskIdentityTable, const std::filesystem::path& path);

} // namespace snapmend::saving
