#include "fsrecovery/deep_scan_ntfs.h"

#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/progress_throttle.h"
#include "common/text.h"
#include "device/partition_table.h"
#include "fsrecovery/basic_search.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/ntfs/ntfs_reader.h"

namespace snapmend::fsrecovery {

namespace {

using device::DeviceHandle;
using device::kSectorShift;
using device::kSectorSize;
using Record = std::array<std::byte, ntfs::kRecordSize>;
using RecordBytes = std::span<const std::byte, ntfs::kRecordSize>;

constexpr std::uint64_t kMaxSector = ~std::uint64_t{0} >> kSectorShift;
// Largest cluster NTFS formats: 2 MiB.
constexpr std::uint32_t kMaxNtfsSpc = 4096;

bool opensRecord(std::span<const std::byte, kSectorSize> s) {
    return le8At<0>(s) == 'F' && le8At<1>(s) == 'I' && le8At<2>(s) == 'L' && le8At<3>(s) == 'E' &&
           le16At<0x1C>(s) == ntfs::kRecordSize;
}

// The cluster size an NTFS boot sector at sector gives, or nothing when there is none.
std::optional<std::uint32_t> bootSectorSpc(const Session& session, std::uint64_t sector) {
    std::array<std::byte, kSectorSize> b{};
    if (!session.devices.readSectors(session.devicePath(), sector, 1, b)) return std::nullopt;
    const std::span<const std::byte, kSectorSize> s(b);
    if (!ByteReader(s).matches(3, "NTFS    ") || le8At<510>(s) != 0x55 || le8At<511>(s) != 0xAA) return std::nullopt;
    const std::uint32_t bytesPerSector = le16At<0x0B>(s);
    const std::uint32_t code = le8At<0x0D>(s);
    if (bytesPerSector < kSectorSize || (bytesPerSector & (bytesPerSector - 1)) != 0 || code == 0) return std::nullopt;
    // Above 0x80 the byte is the negated power of two of the cluster's bytes (clusters over 64 KiB).
    const std::uint64_t clusterBytes =
        code <= 0x80 ? std::uint64_t{code} * bytesPerSector : (code >= 0xE0 ? std::uint64_t{1} << (256 - code) : 0);
    if (clusterBytes < kSectorSize || (clusterBytes & (clusterBytes - 1)) != 0) return std::nullopt;
    const std::uint64_t spc = clusterBytes / kSectorSize;
    if (spc > kMaxNtfsSpc) return std::nullopt;
    return static_cast<std::uint32_t>(spc);
}

// The first partition slot of the target's whole disk, read from its partition table.
std::uint64_t firstPartitionStart(const Session& session) {
    const auto disk = device::diskNumberOf(session.devicePath());
    if (!disk) return 0;
    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    if (!h) return 0;
    ItemTree tree;
    const ItemId parent = tree.insert(kNoItem, "Disk");
    device::DiskPartitions entry;
    (void)device::walkPartitionTable(session.devices, *disk, tree, parent, 0, h.sectorCount(), entry);
    return entry.slots[0].startSector;
}

void addCatchAll(RecoveredTree& rt) {
    const ItemId root = rt.ensureRoot();
    rt.AddFolder(root, std::string(kMiscName), kMiscCluster, kNtfsRootParent, 0, currentFatTimeWord(), false, 0);
    rt.tree.expand(root);
}


} // namespace

void SetDeepNtfsVolume(Session& session) {
    auto& state = session.target;
    std::uint64_t start = state.target.listedStartSector;
    if (state.targetKind == device::kKindHardDisk && state.target.partitionIndex == 0)
        start = firstPartitionStart(session);
    auto& p = state.activeParams;
    p.Cluster0Start = start;
    // Files are mapped to sectors with this cluster size; a surviving boot sector knows the real one.
    p.SPC = bootSectorSpc(session, start).value_or(kDeepNtfsDefaultSpc);
    p.partType = "NTFS";
}

void TakeDeepNtfsRecord(Session& session, std::uint64_t sector, std::span<const std::byte> raw) {
    if (raw.size() < ntfs::kRecordSize) return;
    Record record;
    std::copy_n(raw.begin(), record.size(), record.begin());
    // A record whose update-sequence array does not fit is read as it stands.
    (void)ntfs::ApplyFixups(record);
    const RecordBytes r(record);
    // An extension record holds attributes of its base record, not a file of its own.
    if (le32At<0x20>(r) != 0) return;

    ntfs::FileNameInfo info;
    for (const std::uint8_t ns : ntfs::kNamespaceOrder) {
        info = ntfs::ReadRecordName(record, ns, session.decodeFileNames, nullptr);
        if (info.found) break;
    }
    const std::uint8_t flags = le8At<0x16>(r);
    const bool inUse = (flags & ntfs::kFlagInUse) != 0;
    RecoveredTree& rt = session.recovered;

    if (flags == 2 || flags == 3) {
        if (!info.found || info.name.empty() || info.name == ".") return;
        const std::uint32_t self = le32At<0x2C>(r);
        const std::uint32_t parent = info.parent;
        if (rt.folders.empty()) addCatchAll(rt);

        ItemId parentItem = kNoItem;
        if (parent == kNtfsRootParent) {
            parentItem = rt.ensureRoot();
        } else if (rt.folders.back().selfCluster == parent) {
            parentItem = rt.folders.back().treeItem;
        } else {
            for (const FolderNode& node : rt.folders) {
                // The same record seen again (the MFT and a copy of it): dropped.
                if (node.selfCluster == self && node.name == info.name && node.parentCluster == parent) return;
                if (node.selfCluster == parent) {
                    parentItem = node.treeItem;
                    break;
                }
            }
        }
        if (parentItem != kNoItem) {
            rt.AddFolder(parentItem, info.name, self, parent, info.creationTime, 0, !inUse, 0);
            return;
        }
        WorkTable::Row row(lostDirColumns().size());
        row[kLdName] = info.name;
        row[kLdSelf] = decimal(self);
        row[kLdParent] = decimal(parent);
        row[kLdDate] = decimal(info.creationTime);
        row[kLdType] = "FOLDER";
        if (!inUse) row[kLdDeleted] = "1";
        rt.LostDirList.append(std::move(row));
        return;
    }

    const std::uint32_t parent = info.found ? info.parent : 0;
    // "time" keeps the record's deleted mark for the listing, as the MFT walk does.
    WorkTable::Row row{decimal(parent) + "|" + decimal(sector) + "|", "", "", "", inUse ? "" : "1", decimal(parent)};
    if (!info.name.empty()) {
        row[1] = info.name;
        row[3] = decimal(info.creationTime);
    }
    session.NtfsFileTable.append(std::move(row));
}

void DeepScanNtfs(Session& session, EngineSink& sink, std::stop_token stop) {
    const auto& t = session.target.target;
    session.recovered.LostDirList.clear();
    sink.status("0");
    sink.status(decimal(t.startSector));
    sink.status(std::string(kSectorsScannedOfTotal) + decimal(t.endSector));
    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    if (!h) return;
    h.adviseSequential();
    const std::uint64_t end = std::min({t.endSector, h.sectorCount(), kMaxSector});
    const std::uint64_t total = t.endSector > t.startSector ? t.endSector - t.startSector : 0;

    ProgressThrottle throttle(sink);
    std::vector<std::byte> block(std::size_t{kDeepBlockSectors} * kSectorSize);
    Record straddling;
    std::uint64_t b = t.startSector;
    for (; b < end; b += kDeepBlockSectors) {
        if (stop.stop_requested()) break;
        throttle.update(b - t.startSector, total);
        const std::uint64_t want = std::min<std::uint64_t>(kDeepBlockSectors, end - b);
        const auto bytes = std::span<std::byte>(block).first(static_cast<std::size_t>(want) * kSectorSize);
        // A short read at the device's end still gives its whole sectors.
        const std::uint64_t count = h.readAt(b << kSectorShift, bytes) / kSectorSize;
        for (std::uint64_t i = 0; i < count; ++i) {
            const auto at = std::span<const std::byte>(block).subspan(static_cast<std::size_t>(i) * kSectorSize);
            if (!opensRecord(at.first<kSectorSize>())) continue;
            if (i + 1 < count) {
                TakeDeepNtfsRecord(session, b + i, at.first(ntfs::kRecordSize));
            } else if (h.readAt((b + i) << kSectorShift, straddling) == straddling.size()) {
                // The record's second sector lies in the next block.
                TakeDeepNtfsRecord(session, b + i, straddling);
            }
        }
    }
    if (b >= end) throttle.update(total, total);
    throttle.flush();
}

void AssembleDeepNtfsTree(Session& session) {
    RecoveredTree& rt = session.recovered;
    rt.ensureRoot();
    AttachLateChildren(rt);
    ResolveOrphans(rt.LostDirList, kNtfsRootParent);
    AssembleTreeNtfs(rt);
    if (session.NtfsFileTable.rowCount() >= 2) session.resultsFound = true;
    const ItemId root = rt.tree.firstItem();
    rt.tree.expand(root);
    rt.tree.sortChildren(root);
}

} // namespace snapmend::fsrecovery
