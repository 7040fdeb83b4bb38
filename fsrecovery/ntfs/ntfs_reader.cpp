// The device half of the NTFS reader: building the MFT's run list, the Basic Search walk over
// the MFT and the listing of a folder's files from their records.
#include "fsrecovery/ntfs/ntfs_reader.h"

#include <array>
#include <map>
#include <optional>

#include "common/progress_throttle.h"
#include "common/text.h"
#include "fsrecovery/basic_search.h"
#include "fsrecovery/file_type.h"
#include "fsrecovery/ntfs/detail/mft_record.h"

namespace snapmend::fsrecovery::ntfs {

namespace {

using Record = std::array<std::byte, kRecordSize>;
constexpr std::uint64_t kSectorBytes = 512;

// Folder numbers are 32 bits wide in the tree; records beyond that are not walked.
constexpr std::uint64_t kMaxRecordNumber = 0xFFFFFFFFu;

// Reads one record at sector and fixes it up; false when the read is short or it is not "FILE".
bool readRecord(const device::DeviceHandle& handle, std::uint64_t sector, Record& record,
                const std::atomic<bool>* cancel = nullptr) {
    if (sector == 0 || sector > kNoVolumeEnd / kSectorBytes) return false;
    if (handle.readAt(sector * kSectorBytes, record) != record.size()) return false;
    if (!detail::isFileRecord(record)) return false;
    // A record whose update-sequence array does not fit is still read as it stands: the
    // attributes of its first sector are usually intact.
    ApplyFixups(record, cancel);
    return true;
}

// The exclusive end of the volume on the device: the target's end sector when it is set, never
// past the device.
std::uint64_t volumeEnd(const Session& session, const device::DeviceHandle& handle, std::uint64_t volumeStart) {
    std::uint64_t end = handle.sectorCount();
    const std::uint64_t targetEnd = session.target.target.endSector;
    if (targetEnd > volumeStart && targetEnd < end) end = targetEnd;
    return end;
}

void appendRuns(MftRunList& list, const std::vector<Run>& runs) {
    for (const Run& run : runs) {
        if (list.size() >= kMaxMftRuns) return;
        list.push_back({run.start, run.length});
    }
}

std::vector<Run> dataRuns(const Record& record, std::uint64_t volumeStart, std::uint32_t SPC,
                          std::uint64_t endSector) {
    const DataAttribute data = findUnnamedData(record);
    if (!data.found || data.resident) return {};
    return DecodeRunList(record, data.runListStart, data.runListEnd, volumeStart, SPC, endSector);
}

// The $FILE_NAME that names a record: namespaces in the usual order over the record itself and
// then over every extension record its attribute list names. base is the record's own content.
struct FoundName {
    Record source;  // the record the $FILE_NAME lies in
    detail::FileNameValue value;
};

std::optional<FoundName> nameOfRecord(const Session& session, const device::DeviceHandle& handle,
                                      const Record& base, std::uint64_t recordNumber) {
    FoundName found;
    found.source = base;
    for (const std::uint8_t ns : kNamespaceOrder) {
        if (const auto fn = detail::findFileName(base, ns)) {
            found.value = *fn;
            return found;
        }
    }
    for (const std::uint64_t item : detail::attributeListRecords(base, recordNumber, false)) {
        if (!readRecord(handle, MftRecordSector(session.mftRuns, item), found.source)) continue;
        // A reused record that now belongs to another file is not an extension of this one.
        if (le32At<detail::kBaseReferenceOffset>(std::span<const std::byte, kRecordSize>(found.source)) !=
            static_cast<std::uint32_t>(recordNumber))
            continue;
        for (const std::uint8_t ns : kNamespaceOrder) {
            if (const auto fn = detail::findFileName(found.source, ns)) {
                found.value = *fn;
                return found;
            }
        }
    }
    return std::nullopt;
}

// Walks the MFT's sectors in run order, two per record, mapping each through the runs.
class MftCursor {
public:
    explicit MftCursor(const MftRunList& runs) : m_runs(runs) {}
    // The next MFT sector's absolute sector (0 inside a sparse run), or nullopt after the last.
    std::optional<std::uint64_t> next() {
        while (m_run < m_runs.size() && m_offset >= m_runs[m_run].length) {
            ++m_run;
            m_offset = 0;
        }
        if (m_run >= m_runs.size()) return std::nullopt;
        const MftRun& run = m_runs[m_run];
        const std::uint64_t sector = run.start == 0 ? 0 : run.start + m_offset;
        ++m_offset;
        return sector;
    }

private:
    const MftRunList& m_runs;
    std::size_t m_run = 0;
    std::uint64_t m_offset = 0;
};

// Reads the record whose two sectors are first and second; they are apart only when the record
// straddles two runs.
bool readWalkRecord(const device::DeviceHandle& handle, std::uint64_t first, std::uint64_t second, Record& record) {
    if (first == 0 || second == 0) return false;
    if (second == first + 1) return readRecord(handle, first, record);
    const std::span<std::byte> buf(record);
    if (handle.readAt(first * kSectorBytes, buf.first(kSectorBytes)) != kSectorBytes ||
        handle.readAt(second * kSectorBytes, buf.subspan(kSectorBytes)) != kSectorBytes)
        return false;
    if (!detail::isFileRecord(record)) return false;
    ApplyFixups(record);
    return true;
}

void addCatchAll(RecoveredTree& rt) {
    const ItemId root = rt.ensureRoot();
    rt.AddFolder(root, std::string(kMiscName), kMiscCluster, kNtfsRootParent, 0, currentFatTimeWord(), false, 0);
    rt.tree.expand(root);
}

void takeDirectory(Session& session, std::uint32_t self, std::uint32_t parent, std::string name,
                   std::uint64_t creationTime, bool deleted) {
    RecoveredTree& rt = session.recovered;
    if (rt.folders.empty()) addCatchAll(rt);

    ItemId parentItem = kNoItem;
    if (parent == kNtfsRootParent) {
        parentItem = rt.ensureRoot();
    } else if (rt.folders.back().selfCluster == parent) {
        parentItem = rt.folders.back().treeItem;
    } else if (const NodeId node = rt.findNode(parent); node != kNoNode) {
        parentItem = rt.folders[node].treeItem;
    }
    if (parentItem != kNoItem) {
        rt.AddFolder(parentItem, std::move(name), self, parent, creationTime, 0, deleted, 0);
        return;
    }
    // The parent comes later in the MFT: the assembly after the walk attaches it.
    WorkTable::Row row(lostDirColumns().size());
    row[kLdName] = std::move(name);
    row[kLdSelf] = decimal(self);
    row[kLdParent] = decimal(parent);
    row[kLdDate] = decimal(creationTime);
    row[kLdType] = "FOLDER";
    if (deleted) row[kLdDeleted] = "1";
    rt.LostDirList.append(std::move(row));
}


} // namespace

MftRunList BuildMftRunList(const Session& session, std::uint64_t volumeStart, std::uint64_t mftStart,
                           std::uint32_t SPC) {
    MftRunList list;
    const device::DeviceHandle handle = session.devices.openDevice(session.devicePath());
    if (!handle || mftStart == 0 || SPC == 0) return list;
    const std::uint64_t endSector = volumeEnd(session, handle, volumeStart);

    Record record0;
    if (!readRecord(handle, mftStart, record0)) return list;
    appendRuns(list, dataRuns(record0, volumeStart, SPC, endSector));

    // An MFT too fragmented for record 0 continues in extension records. Each extent's run list
    // starts again from cluster 0, so it is decoded from the volume start like the first one.
    for (const std::uint64_t ext : detail::attributeListRecords(record0, 0, true)) {
        if (list.size() >= kMaxMftRuns) break;
        Record record;
        if (!readRecord(handle, MftRecordSector(list, ext), record)) continue;
        if (le32At<detail::kBaseReferenceOffset>(std::span<const std::byte, kRecordSize>(record)) != 0) continue;
        appendRuns(list, dataRuns(record, volumeStart, SPC, endSector));
    }
    return list;
}

FileNameInfo ReadFileName(const Session& session, std::uint64_t sector, std::uint8_t ns) {
    FileNameInfo info;
    Record record;
    if (!session.devices.readSectors(session.devicePath(), sector, kRecordSectors, record)) return info;
    ApplyFixups(record);
    const auto fn = detail::findFileName(record, ns);
    if (!fn) return info;
    info.found = true;
    info.parent = fn->parent;
    info.creationTime = fn->creationTime;
    const std::uint8_t flags = detail::recordFlags(record);
    if (flags == 2 || flags == 3) info.name = utf16ToUtf8(detail::fileNameUnits(record, *fn));
    return info;
}

void WalkMft(Session& session, EngineSink& sink, std::stop_token stop) {
    std::uint64_t total = 0;
    for (const MftRun& run : session.mftRuns) total += run.length;
    sink.status(std::string(kSectorsScannedOfTotal) + decimal(total));

    const device::DeviceHandle handle = session.devices.openDevice(session.devicePath());
    if (!handle) return;
    handle.adviseSequential();

    ProgressThrottle throttle(sink);
    MftCursor cursor(session.mftRuns);
    std::uint64_t scanned = 0;
    Record record;
    for (std::uint64_t number = 0; number <= kMaxRecordNumber; ++number) {
        if (stop.stop_requested()) break;
        const auto first = cursor.next();
        const auto second = cursor.next();
        if (!first || !second) break;
        scanned += kRecordSectors;
        throttle.update(scanned, total);
        if (!readWalkRecord(handle, *first, *second, record)) continue;

        const std::uint8_t flags = detail::recordFlags(record);
        const bool directory = flags == 2 || flags == 3;
        const bool file = flags == 0 || flags == 1;
        // The root directory (record 5, named ".") is "Root" itself. An extension record is
        // reached through its base record's attribute list, never as a file of its own.
        if ((!directory && !file) || number == kNtfsRootParent) continue;
        if (le32At<detail::kBaseReferenceOffset>(std::span<const std::byte, kRecordSize>(record)) != 0) continue;

        const auto found = nameOfRecord(session, handle, record, number);
        if (!found) continue;
        const std::uint32_t parent = found->value.parent;
        if (file) {
            // NTFS rows leave "time" unused; it keeps the record's deleted mark for the listing.
            session.NtfsFileTable.append({decimal(parent) + "|" + decimal(*first) + "|", "", "", "",
                                          (flags & kFlagInUse) == 0 ? "1" : "", decimal(parent)});
            continue;
        }
        std::string name = utf16ToUtf8(detail::fileNameUnits(found->source, found->value));
        if (name == ".") continue;
        takeDirectory(session, static_cast<std::uint32_t>(number), parent, std::move(name),
                      found->value.creationTime, (flags & kFlagInUse) == 0);
    }
    throttle.flush();

    RecoveredTree& rt = session.recovered;
    AttachLateChildren(rt);
    const ItemId root = rt.tree.firstItem();
    if (root != kNoItem && rt.tree.label(root) == kRootName && !rt.tree.hasChildren(root)) addCatchAll(rt);
    if (session.NtfsFileTable.rowCount() >= 2) session.resultsFound = true;
}

void ListNtfsFolderFiles(Session& session, std::uint32_t folderRecord) {
    session.decodeFileNames = true;
    const std::string prefix = decimal(folderRecord) + "|";
    const device::DeviceHandle handle = session.devices.openDevice(session.devicePath());
    WorkTable& table = session.NtfsFileTable;
    Record record;
    for (std::size_t r = 0; r < table.rowCount(); ++r) {
        if (session.listingCancel.load()) break;
        const std::string& key = table.cell(r, 0);
        if (!startsWith(key, prefix)) continue;
        const std::uint64_t sector = parseU64(std::string_view(key).substr(prefix.size()));

        if (table.cell(r, 1).empty() || table.cell(r, 2).empty()) {
            if (!handle || !readRecord(handle, sector, record, &session.listingCancel)) continue;
            FileNameInfo info;
            for (const std::uint8_t ns : kNamespaceOrder) {
                info = ReadRecordName(record, ns, true, &session.listingCancel);
                if (info.found) break;
            }
            if (info.name.empty()) continue;
            table.setCell(r, 1, info.name);
            table.setCell(r, 2, decimal(dataSize(record)));
            table.setCell(r, 3, decimal(info.creationTime));
        }

        const std::string& name = table.cell(r, 1);
        if (name.empty()) continue;
        const std::uint64_t created = table.u64At(r, 3);
        WorkTable::Row row(session.itemList.columnCount());
        row.resize(std::max<std::size_t>(row.size(), kItHidden3 + 1));
        row[kItName] = name;
        row[kItType] = FileTypeText(fileExtension(name), name);
        row[kItSize] = decimal(table.u64At(r, 2));
        row[kItDate] = NtfsDateText(created);
        row[kItTime] = NtfsTimeText(created);
        row[kItHidden1] = decimal(sector);
        row[kItHidden2] = decimal(folderRecord);
        row[kItHidden3] = "0";
        if (row.size() > kItDeleted) row[kItDeleted] = table.cell(r, 4) == "1" ? "1" : "";
        session.itemList.append(std::move(row));
        ++session.fileCount;
    }
}

} // namespace snapmend::fsrecovery::ntfs
