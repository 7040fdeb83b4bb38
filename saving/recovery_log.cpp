#include "saving/recovery_log.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/text.h"
#include "device/device_map.h"
#include "fsrecovery/session.h"
#include "saving/log_format.h"

namespace snapmend::saving {

namespace {

constexpr std::size_t kNtfsFileColumns = 6;
constexpr std::size_t kDeepVolumeColumns = 12;
constexpr std::size_t kDeepNtfsVolumeColumns = 6;
// The fewest bytes a row of n strings can take (each S is at least FF FE FF 00).
constexpr std::uint64_t kMinStringBytes = 4;
// The fewest bytes a tree entry can take: a line of one TAB and CR LF, and a record with an
// empty name.
constexpr std::uint64_t kMinEntryBytes = 6 + kMinStringBytes + 4 + 4 + 8 + 8 + 4;

void putParams(LogEncoder& e, const device::VolumeParams& p) {
    e.u32(p.SPF);
    e.u32(p.SPC);
    e.u32(p.RootSec);
    e.u32(p.RootStartSec);
    e.u32(p.ReserveSecStart);
    e.u64(p.Cluster0Start);
    e.u32(p.firstFAT);
    e.u32(p.secondFAT);
    e.u64(p.mftStart);
    e.u64(p.mftMirrStart);
    e.u32(p.sectorsPerMftRecord);
    e.u32(p.sectorsPerIndexRecord);
}

void putRows(LogEncoder& e, const std::vector<WorkTable::Row>& rows, std::size_t columns) {
    for (const auto& row : rows)
        for (std::size_t c = 0; c < columns; ++c) e.string(c < row.size() ? std::string_view(row[c]) : "");
}

void putRecord(LogEncoder& e, const LogRecord& r, bool deep) {
    e.string(r.name);
    e.u32(r.selfCluster);
    e.u32(r.parentCluster);
    e.u64(r.date);
    e.u64(r.time);
    e.u32(r.deleted);
    if (deep) e.u64(r.cluster0Start);
}

// The line only carries the depth: characters that would break the line or fake a depth are
// written as spaces (the name itself travels in the record).
std::u16string lineText(std::string_view text) {
    std::u16string units = utf8ToUtf16(text);
    for (auto& c : units)
        if (c == u'\t' || c == u'\r' || c == u'\n') c = u' ';
    return units;
}

Error corrupt(std::string detail) { return makeError(kLogErrCorrupt, std::move(detail)); }

bool getParams(LogDecoder& d, device::VolumeParams& p) {
    const auto SPF = d.u32(), SPC = d.u32(), RootSec = d.u32(), RootStartSec = d.u32(), Reserve = d.u32();
    const auto c0 = d.u64();
    const auto firstFAT = d.u32(), secondFAT = d.u32();
    const auto mft = d.u64(), mirr = d.u64();
    const auto perMft = d.u32(), perIndex = d.u32();
    if (d.failed()) return false;
    p.SPF = *SPF;
    p.SPC = *SPC;
    p.RootSec = *RootSec;
    p.RootStartSec = *RootStartSec;
    p.ReserveSecStart = *Reserve;
    p.Cluster0Start = *c0;
    p.firstFAT = *firstFAT;
    p.secondFAT = *secondFAT;
    p.mftStart = *mft;
    p.mftMirrStart = *mirr;
    p.sectorsPerMftRecord = *perMft;
    p.sectorsPerIndexRecord = *perIndex;
    return true;
}

// count rows of columns strings; the count must be possible in what is left of the file before
// anything is reserved for it.
bool getRows(LogDecoder& d, std::uint64_t count, std::size_t columns, std::vector<WorkTable::Row>& rows) {
    if (count > d.remaining() / (columns * kMinStringBytes)) return false;
    rows.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        WorkTable::Row row(columns);
        for (auto& cell : row) {
            auto s = d.string();
            if (!s) return false;
            cell = std::move(*s);
        }
        rows.push_back(std::move(row));
    }
    return true;
}

bool getRecord(LogDecoder& d, bool deep, LogRecord& r) {
    auto name = d.string();
    const auto self = d.u32(), parent = d.u32();
    const auto date = d.u64(), time = d.u64();
    const auto deleted = d.u32();
    const auto c0 = deep ? d.u64() : std::optional<std::uint64_t>(0);
    if (d.failed() || !name) return false;
    r = LogRecord{std::move(*name), *self, *parent, *date, *time, *deleted, *c0};
    return true;
}

std::size_t leadingTabs(std::u16string_view line) {
    std::size_t n = 0;
    while (n < line.size() && line[n] == u'\t') ++n;
    return n;
}

Result<LogHeader> getHeader(LogDecoder& d) {
    LogHeader h;
    auto kind = d.string();
    if (!kind) return corrupt("target kind");
    h.targetKind = std::move(*kind);
    auto magic = d.string();
    if (!magic) return corrupt("magic");
    if (*magic != kLogMagic) return makeError(kLogErrWrongMagic, "wrong magic");
    auto description = d.string();
    const auto mode = d.u32();
    if (!description || !mode) return corrupt("header");
    h.diskDescription = std::move(*description);
    h.mode = *mode;
    return h;
}

// Which form the media block has is told by the target kind first and the tag second.
bool getMedia(LogDecoder& d, const LogHeader& h, LogMedia& m) {
    auto tag = d.string();
    if (!tag) return false;
    m.tag = std::move(*tag);
    const bool logicalKind = h.targetKind == device::kKindLogical ||
                             (h.mode == kDeepSearchMode && h.targetKind == device::kKindRecognised);
    if (logicalKind && m.tag == kLogicalTag) {
        m.form = LogMedia::Form::Logical;
        auto path = d.string();
        const auto count = d.u64();
        if (!path || !count) return false;
        m.drivePath = std::move(*path);
        m.sectorCount = *count;
        return true;
    }
    if (logicalKind && m.tag != kPhysicalTag) {
        m.form = LogMedia::Form::None;
        return true;
    }
    m.form = LogMedia::Form::Physical;
    auto identity = d.string();
    const auto disk = d.u16();
    if (!identity || !disk) return false;
    m.diskIdentity = std::move(*identity);
    m.currentDisk = *disk;
    return true;
}

Result<void> getTree(LogDecoder& d, RecoveryLog& log) {
    auto rootLine = d.line();
    if (!rootLine) return corrupt("root line");
    const std::size_t rootTabs = leadingTabs(*rootLine);
    LogTreeEntry root;
    root.text = utf16ToUtf8(std::u16string_view(*rootLine).substr(rootTabs));
    root.hasRecord = *rootLine != u"\t";
    if (root.hasRecord && !getRecord(d, log.deep(), root.record)) return corrupt("root record");
    log.tree.push_back(std::move(root));

    // path[k] is the entry index of the current item's ancestor at depth k; its back is current.
    std::vector<std::size_t> path{0};
    // Every turn consumes at least one line, so the loop ends with the file.
    for (;;) {
        auto line = d.line();
        if (!line) return corrupt("tree cut short before the end marker");
        if (*line == utf8ToUtf16(kLogEndMarker)) break;
        if (line->empty()) continue;
        const std::size_t tabs = leadingTabs(*line);
        const std::size_t current = path.size() - 1;
        // Below the root, and at most one level deeper than the item before.
        if (tabs <= rootTabs || tabs - rootTabs > current + 1) return corrupt("tree depth jumps");
        const std::size_t depth = tabs - rootTabs;
        LogTreeEntry entry;
        entry.depth = static_cast<int>(depth);
        entry.text = utf16ToUtf8(std::u16string_view(*line).substr(tabs));
        if (!getRecord(d, log.deep(), entry.record)) return corrupt("folder record");
        path.resize(depth);
        entry.parent = path.back();
        path.push_back(log.tree.size());
        log.tree.push_back(std::move(entry));
    }
    return {};
}

} // namespace

std::vector<std::byte> encodeRecoveryLog(const RecoveryLog& log) {
    LogEncoder e;
    e.string(log.targetKind);
    e.string(kLogMagic);
    e.string(log.diskDescription);
    e.u32(log.mode);
    switch (log.media.form) {
    case LogMedia::Form::Logical:
        e.string(kLogicalTag);
        e.string(log.media.drivePath);
        e.u64(log.media.sectorCount);
        break;
    case LogMedia::Form::Physical:
        e.string(kPhysicalTag);
        e.string(log.media.diskIdentity);
        e.u16(log.media.currentDisk);
        break;
    case LogMedia::Form::None:
        e.string(log.media.tag);
        break;
    }
    const auto& t = log.target;
    e.u16(t.diskIndex);
    e.u32(t.partitionIndex);
    e.string(t.fileSystem);
    e.string(t.searchMode);
    e.u64(t.startSector);
    e.u64(t.endSector);
    e.u64(t.listedStartSector);
    e.u64(t.listedEndSector);
    putParams(e, log.calculatedParams);
    putParams(e, log.activeParams);
    e.string(log.activeParams.partType);
    if (log.hasDeepVolumes()) {
        e.u64(log.deepVolumes.size());
        putRows(e, log.deepVolumes, kDeepVolumeColumns);
    }
    e.u64(log.folderCount);
    for (std::size_t i = 0; i < log.tree.size(); ++i) {
        const auto& entry = log.tree[i];
        std::u16string line(static_cast<std::size_t>(entry.depth), u'\t');
        line += lineText(entry.text);
        e.line(line);
        if (entry.hasRecord) putRecord(e, entry.record, log.deep());
    }
    e.line(utf8ToUtf16(kLogEndMarker));
    if (log.hasNtfsTable()) {
        e.u64(log.ntfsFiles.size());
        putRows(e, log.ntfsFiles, kNtfsFileColumns);
        e.u32(log.ntfsReserved);
        if (log.deep()) {
            e.u32(static_cast<std::uint32_t>(log.deepNtfsVolumes.size()));
            putRows(e, log.deepNtfsVolumes, kDeepNtfsVolumeColumns);
        }
    }
    return e.take();
}

Result<LogHeader> parseLogHeader(Bytes data) {
    LogDecoder d(data);
    return getHeader(d);
}

Result<RecoveryLog> parseRecoveryLog(Bytes data) {
    LogDecoder d(data);
    auto header = getHeader(d);
    if (!header) return header.error();
    if (header->mode != kBasicSearchMode && header->mode != kDeepSearchMode) return corrupt("mode");
    RecoveryLog log;
    log.targetKind = header->targetKind;
    log.diskDescription = header->diskDescription;
    log.mode = header->mode;
    if (!getMedia(d, *header, log.media)) return corrupt("media block");

    auto& t = log.target;
    const auto diskIndex = d.u16();
    const auto partitionIndex = d.u32();
    auto fileSystem = d.string();
    auto searchMode = d.string();
    const auto start = d.u64(), end = d.u64(), listedStart = d.u64(), listedEnd = d.u64();
    if (d.failed() || !fileSystem || !searchMode) return corrupt("scan target");
    t.diskIndex = *diskIndex;
    t.partitionIndex = *partitionIndex;
    t.fileSystem = std::move(*fileSystem);
    t.searchMode = std::move(*searchMode);
    t.startSector = *start;
    t.endSector = *end;
    t.listedStartSector = *listedStart;
    t.listedEndSector = *listedEnd;
    if (!getParams(d, log.calculatedParams) || !getParams(d, log.activeParams)) return corrupt("parameters");
    auto partType = d.string();
    if (!partType) return corrupt("partition type");
    log.activeParams.partType = std::move(*partType);

    if (log.hasDeepVolumes()) {
        const auto count = d.u64();
        if (!count || !getRows(d, *count, kDeepVolumeColumns, log.deepVolumes)) return corrupt("found file systems");
    }
    const auto folders = d.u64();
    if (!folders || *folders > d.remaining() / kMinEntryBytes) return corrupt("folder count");
    log.folderCount = *folders;
    if (auto tree = getTree(d, log); !tree) return tree.error();

    if (log.hasNtfsTable()) {
        const auto count = d.u64();
        if (!count || !getRows(d, *count, kNtfsFileColumns, log.ntfsFiles)) return corrupt("NTFS file table");
        const auto reserved = d.u32();
        if (!reserved) return corrupt("NTFS file table");
        log.ntfsReserved = *reserved;
        if (log.deep()) {
            const auto volumes = d.u32();
            if (!volumes || !getRows(d, *volumes, kDeepNtfsVolumeColumns, log.deepNtfsVolumes))
                return corrupt("NTFS volumes");
        }
    }
    return log;
}

RecoveryLog snapshotRecoveryLog(const fsrecovery::Session& session, std::uint32_t mode,
                                const std::vector<std::string>& diskIdentityTable) {
    RecoveryLog log;
    const auto& state = session.target;
    log.targetKind = state.targetKind;
    log.mode = mode;
    log.target = state.target;
    log.calculatedParams = state.calculatedParams;
    log.activeParams = state.activeParams;

    if (const auto disk = device::diskNumberOf(state.devicePath)) {
        log.media.form = LogMedia::Form::Physical;
        log.media.tag = std::string(kPhysicalTag);
        log.media.currentDisk = static_cast<std::uint16_t>(*disk);
        const std::string suffix = "||" + decimal(*disk);
        for (const auto& identity : diskIdentityTable) {
            const std::string trimmed = trim(identity);
            if (trimmed.size() >= suffix.size() && trimmed.ends_with(suffix)) {
                log.media.diskIdentity = trimmed;
                break;
            }
        }
        log.diskDescription = log.media.diskIdentity.substr(0, log.media.diskIdentity.find("||"));
    } else {
        log.media.form = LogMedia::Form::Logical;
        log.media.tag = std::string(kLogicalTag);
        log.media.drivePath = state.devicePath;
        log.media.sectorCount = state.target.listedEndSector;
    }

    const auto& rt = session.recovered;
    log.folderCount = rt.folders.size();
    const ItemId first = rt.tree.firstItem();
    rt.tree.forEach([&](ItemId item, int depth) {
        LogTreeEntry entry;
        entry.depth = depth;
        entry.text = rt.tree.label(item);
        if (item == first) {
            entry.record.name = std::string(kRootRecordName);
        } else if (const auto node = rt.nodeOf(item); node != fsrecovery::kNoNode) {
            const auto& n = rt.folders[node];
            entry.record = LogRecord{n.name,         n.selfCluster, n.parentCluster,
                                     n.date,         n.time,        static_cast<std::uint32_t>(n.deleted),
                                     n.cluster0Start};
        }
        // An item without a folder gets an empty record, even one labelled "Root": the reader
        // takes a record after every line, and a missing one would shift the rest of the file.
        log.tree.push_back(std::move(entry));
    });
    if (log.tree.empty()) {
        LogTreeEntry root;
        root.text = std::string(fsrecovery::kRootName);
        root.record.name = std::string(kRootRecordName);
        log.tree.push_back(std::move(root));
    }

    if (log.hasDeepVolumes())
        for (std::size_t r = 0; r < session.DeepVolumeList.rowCount(); ++r)
            log.deepVolumes.push_back(session.DeepVolumeList.row(r));
    if (log.hasNtfsTable()) {
        for (std::size_t r = 0; r < session.NtfsFileTable.rowCount(); ++r)
            log.ntfsFiles.push_back(session.NtfsFileTable.row(r));
        log.ntfsReserved = session.ntfsReserved;
        if (log.deep())
            for (std::size_t r = 0; r < session.DeepNtfsVolumeList.rowCount(); ++r)
                log.deepNtfsVolumes.push_back(session.DeepNtfsVolumeList.row(r));
    }
    return log;
}

Result<void> writeLogFile(const std::filesystem::path& path, const std::vector<std::byte>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return makeError(Errc::Io, std::strerror(errno));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : ENOSPC;
            ::close(fd);
            return makeError(err == ENOSPC ? Errc::NoSpace : Errc::Io, std::strerror(err));
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) return makeError(Errc::Io, std::strerror(errno));
    return {};
}

Result<std::vector<std::byte>> readLogFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return makeError(Errc::NotFound, std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) > kMaxLogBytes) {
        ::close(fd);
        return makeError(kLogErrCorrupt, "not a log file");
    }
    std::vector<std::byte> bytes(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    // A file that shrank while being read is parsed as far as it went, and fails there.
    bytes.resize(done);
    return bytes;
}

Result<void> WriteRecoveryLog(const fsrecovery::Session& session, std::uint32_t mode,
                              const std::vector<std::string>& diskIdentityTable, const std::filesystem::path& path) {
    return writeLogFile(path, encodeRecoveryLog(snapshotRecoveryLog(session, mode, diskIdentityTable)));
}

} // namespace snapmend::saving
