#include "fsrecovery/deep_scan_fat.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

#include "common/bytes.h"
#include "common/progress_throttle.h"
#include "common/text.h"
#include "fsrecovery/basic_search.h"
#include "fsrecovery/fat/fat_walker.h"

namespace snapmend::fsrecovery {

namespace {

using device::DeviceHandle;
using device::kSectorShift;
using device::kSectorSize;
using SectorBytes = std::span<const std::byte, kSectorSize>;

constexpr std::uint64_t kMaxSector = ~std::uint64_t{0} >> kSectorShift;
// Cluster sizes a volume can have, in sectors.
constexpr std::array<std::uint64_t, 8> kClusterSizes = {1, 2, 4, 8, 16, 32, 64, 128};
// FAT16 cluster numbers end at 0xFFEF; a joined directory beyond this is on a FAT32 volume.
constexpr std::uint64_t kFat16MaxCluster = 65536;
// How far before cluster 0 the FATs are looked for.
constexpr std::uint64_t kFat16FatWindow = 550;
constexpr std::uint64_t kFat32FatWindow = 30000;
// Sectors opening a FAT that LocateFats keeps as candidates.
constexpr std::size_t kMaxFatCandidates = 64;
// FAT16 root directories hold at most 65535 entries.
constexpr std::uint64_t kMaxFat16RootSectors = 4096;
constexpr std::uint32_t kDefaultFat16RootSectors = 32;

// Whether cluster c of size k lies before sector s, so that s - c k is a cluster 0 on the disk.
bool clusterFits(std::uint64_t c, std::uint64_t s, std::uint64_t k) { return s > 0 && c <= (s - 1) / k; }

std::uint32_t clamp32(std::uint64_t v) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(v, std::numeric_limits<std::uint32_t>::max()));
}

bool isFat32BootSector(SectorBytes s) {
    return le8At<510>(s) == 0x55 && le8At<511>(s) == 0xAA && le8At<0x55>(s) == '3' && le8At<0x56>(s) == '2';
}
bool isFat16BootSector(SectorBytes s) {
    return le8At<510>(s) == 0x55 && le8At<511>(s) == 0xAA && le8At<0x39>(s) == '1' && le8At<0x3A>(s) == '6';
}
bool isDirectoryStart(SectorBytes s) {
    return le8At<0>(s) == '.' && le8At<1>(s) == ' ' && le8At<32>(s) == '.' && le8At<33>(s) == '.' &&
           le8At<34>(s) == ' ';
}

std::uint32_t dotCluster(SectorBytes s, std::size_t entry) {
    const Bytes e = Bytes(s).subspan(entry * 32, 32);
    const ByteReader r{e};
    return r.le16Unchecked(26) | (static_cast<std::uint32_t>(r.le16Unchecked(20)) << 16);
}

// The FoundBootSectorList row of a FAT boot sector at sector s, or nothing for one whose numbers
// cannot describe a volume (no cluster size, no FAT, cluster 0 before the disk).
std::optional<WorkTable::Row> bootSectorRow(SectorBytes b, std::uint64_t s, bool fat32) {
    const std::uint64_t spc = le8At<0x0D>(b);
    const std::uint64_t reserved = le16At<0x0E>(b);
    // Small FAT16 volumes keep their size in the 16-bit field only.
    std::uint64_t total = le32At<0x20>(b);
    if (total == 0) total = le16At<0x13>(b);
    const std::uint64_t spf = fat32 ? le32At<0x24>(b) : le16At<0x16>(b);
    if (spc == 0 || spf == 0) return std::nullopt;
    const std::uint64_t rootSectors = fat32 ? 0 : le16At<0x11>(b) >> 4;
    const std::uint64_t cluster2 = s + reserved + rootSectors + 2 * spf;
    if (cluster2 < 2 * spc) return std::nullopt;
    const std::uint64_t rootStart = fat32 ? le32At<0x2C>(b) : s + reserved + 2 * spf;
    return WorkTable::Row{decimal(s),
                          decimal(spf),
                          decimal(spc),
                          decimal(rootSectors),
                          decimal(rootStart),
                          decimal(reserved),
                          decimal(cluster2 - 2 * spc),
                          decimal(s + reserved),
                          decimal(s + reserved + spf),
                          decimal(s + total),
                          fat32 ? "FAT32" : "FAT16"};
}

struct DirRow {
    std::uint64_t sector = 0;
    std::uint64_t self = 0;
    std::size_t volume = 0;
    std::uint64_t cluster0Start = 0;
};

std::vector<DirRow> parseDirRows(const WorkTable& dirs) {
    std::vector<DirRow> rows(dirs.rowCount());
    for (std::size_t r = 0; r < rows.size(); ++r) {
        rows[r].sector = dirs.u64At(r, kDcSector);
        rows[r].self = dirs.u64At(r, kDcSelf);
        rows[r].volume = static_cast<std::size_t>(dirs.u64At(r, kDcFileSystem));
        rows[r].cluster0Start = dirs.u64At(r, kDcCluster0Start);
    }
    return rows;
}

std::size_t appendVolume(WorkTable& volumes, WorkTable::Row row, std::uint64_t endSector) {
    row.resize(kBsEndSector + 1);
    row[kBsEndSector] = decimal(endSector);
    volumes.append(std::move(row));
    return volumes.rowCount();
}

// Boot sectors first: a directory cluster whose "." names the cluster at its own sector belongs
// to the volume of the first boot sector that places it there.
void matchBootSectors(Session& session, std::vector<DirRow>& dirs) {
    const WorkTable& boots = session.FoundBootSectorList;
    for (std::size_t b = 0; b < boots.rowCount(); ++b) {
        const std::uint64_t spc = boots.u64At(b, kBsSpc);
        const std::uint64_t c0 = boots.u64At(b, kBsCluster0Start);
        const std::uint64_t total = boots.u64At(b, kBsTotalSectors);
        // Rows are in sector order: only those in [c0, total] can match.
        auto it = std::lower_bound(dirs.begin(), dirs.end(), c0,
                                   [](const DirRow& d, std::uint64_t s) { return d.sector < s; });
        std::size_t volume = 0;
        for (; it != dirs.end() && it->sector <= total; ++it) {
            if (it->volume != 0 || it->self > (kMaxSector - c0) / spc || it->self * spc + c0 != it->sector) continue;
            if (volume == 0) volume = appendVolume(session.DeepVolumeList, boots.row(b), total);
            it->volume = volume;
            it->cluster0Start = c0;
        }
    }
}

// Then the rest in pairs: two directory clusters A and B fix a cluster size k and a cluster 0
// when (sB - sA) = k (cB - cA); every other row on the same line joins their volume.
void inferVolumes(Session& session, std::vector<DirRow>& dirs, EngineSink& sink) {
    const std::string& kind = session.target.target.fileSystem;
    const std::uint64_t endSector = session.target.target.endSector;
    // Per cluster size: (cluster 0, row) of every unassigned row, sorted, so the rows on one
    // line are found without comparing every pair.
    std::array<std::vector<std::pair<std::uint64_t, std::size_t>>, kClusterSizes.size()> lines;
    for (std::size_t ki = 0; ki < kClusterSizes.size(); ++ki) {
        const std::uint64_t k = kClusterSizes[ki];
        for (std::size_t r = 0; r < dirs.size(); ++r) {
            const DirRow& d = dirs[r];
            // Clusters 0 and 1 hold no data; a "." naming one is garbage.
            if (d.volume != 0 || d.self < 2 || !clusterFits(d.self, d.sector, k)) continue;
            lines[ki].emplace_back(d.sector - d.self * k, r);
        }
        std::sort(lines[ki].begin(), lines[ki].end());
    }

    ProgressThrottle throttle(sink);
    for (std::size_t a = 0; a < dirs.size(); ++a) {
        throttle.update(a, dirs.size());
        const DirRow& A = dirs[a];
        if (A.volume != 0 || A.self < 2) continue;
        std::size_t pair = dirs.size();
        std::size_t pairK = 0;
        for (std::size_t ki = 0; ki < kClusterSizes.size(); ++ki) {
            const std::uint64_t k = kClusterSizes[ki];
            if (!clusterFits(A.self, A.sector, k)) continue;
            const std::uint64_t base = A.sector - A.self * k;
            const auto& line = lines[ki];
            for (auto it = std::upper_bound(line.begin(), line.end(), std::pair{base, a});
                 it != line.end() && it->first == base && it->second < pair; ++it) {
                const DirRow& B = dirs[it->second];
                if (B.volume != 0 || !(A.self < B.self && A.sector < B.sector && B.self < A.sector)) continue;
                pair = it->second;
                pairK = ki;
                break;
            }
        }
        if (pair == dirs.size()) continue;

        const std::uint64_t k = kClusterSizes[pairK];
        const std::uint64_t base = A.sector - A.self * k;
        WorkTable::Row row(kBsEndSector + 1, "0");
        row[kBsSpc] = decimal(k);
        row[kBsCluster0Start] = decimal(base);
        row[kBsPartType] = kind == "FAT32" ? "FAT32" : "FAT16";
        const std::size_t volume = appendVolume(session.DeepVolumeList, std::move(row), endSector);
        bool beyondFat16 = false;
        const auto& line = lines[pairK];
        for (auto it = std::lower_bound(line.begin(), line.end(), std::pair{base, std::size_t{0}});
             it != line.end() && it->first == base; ++it) {
            DirRow& d = dirs[it->second];
            if (d.volume != 0) continue;
            d.volume = volume;
            d.cluster0Start = base;
            if (d.self > kFat16MaxCluster) beyondFat16 = true;
        }
        if (beyondFat16) session.DeepVolumeList.setCell(volume - 1, kBsPartType, "FAT32");
    }
    throttle.update(dirs.size(), dirs.size());
    throttle.flush();
}

std::uint64_t readBlock(const DeviceHandle& h, std::uint64_t sector, std::uint64_t count, std::vector<std::byte>& buf) {
    const auto bytes = std::span<std::byte>(buf).first(static_cast<std::size_t>(count) * kSectorSize);
    return h.readAt(sector << kSectorShift, bytes) / kSectorSize;
}

} // namespace

void LoadVolumeParams(Session& session, const WorkTable& table, std::size_t r) {
    auto& p = session.target.activeParams;
    p.partType = table.cell(r, kBsPartType);
    const bool fat32 = p.partType == "FAT32";
    p.Cluster0Start = table.u64At(r, kBsCluster0Start);
    p.SPF = clamp32(table.u64At(r, kBsSpf));
    p.SPC = clamp32(table.u64At(r, kBsSpc));
    p.RootSec = clamp32(table.u64At(r, kBsRootSectors));
    if (p.RootSec == 0 && !fat32) p.RootSec = kDefaultFat16RootSectors;
    p.RootStartSec = clamp32(table.u64At(r, kBsRootStart));
    if (p.RootStartSec == 0) {
        // The FAT16 root lies just before cluster 2; sector 2 of the disk would be no root at all.
        const std::uint64_t cluster2 = p.Cluster0Start + 2 * std::uint64_t{p.SPC};
        p.RootStartSec = !fat32 && cluster2 > p.RootSec ? clamp32(cluster2 - p.RootSec) : 2;
    }
    p.ReserveSecStart = clamp32(table.u64At(r, kBsReserve));
    p.firstFAT = clamp32(table.u64At(r, kBsFirstFat));
    p.secondFAT = clamp32(table.u64At(r, kBsSecondFat));
    p.mftStart = 0;
    p.mftMirrStart = 0;
}

void DeepScanFat(Session& session, EngineSink& sink, std::stop_token stop) {
    const auto& t = session.target.target;
    sink.status(decimal(t.startSector));
    sink.status(std::string(kSectorsScannedOfTotal) + decimal(t.endSector));
    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    if (!h) return;
    h.adviseSequential();
    const std::uint64_t end = std::min(t.endSector, h.sectorCount());
    const std::uint64_t total = t.endSector > t.startSector ? t.endSector - t.startSector : 0;

    WorkTable& boots = session.FoundBootSectorList;
    WorkTable& dirs = session.DirClusterList;
    ProgressThrottle throttle(sink);
    std::vector<std::byte> block(std::size_t{kDeepBlockSectors} * kSectorSize);
    std::uint64_t b = t.startSector;
    for (; b < end; b += kDeepBlockSectors) {
        if (stop.stop_requested()) break;
        throttle.update(b - t.startSector, total);
        // A short read at the device's end still gives its whole sectors.
        const std::uint64_t count = readBlock(h, b, std::min<std::uint64_t>(kDeepBlockSectors, end - b), block);
        for (std::uint64_t i = 0; i < count; ++i) {
            const SectorBytes s = std::span<const std::byte>(block).subspan(i * kSectorSize).first<kSectorSize>();
            const std::uint64_t sector = b + i;
            const bool fat32 = isFat32BootSector(s);
            if ((fat32 || isFat16BootSector(s)) && boots.rowCount() < kMaxBootSectorRows) {
                if (auto row = bootSectorRow(s, sector, fat32)) boots.append(std::move(*row));
            }
            if (isDirectoryStart(s) && dirs.rowCount() < kMaxDirClusterRows) {
                dirs.append({decimal(sector), decimal(dotCluster(s, 0)), decimal(dotCluster(s, 1)), "0",
                             decimal(std::uint32_t{le16At<24>(s)}), decimal(std::uint32_t{le16At<22>(s)}), "", ""});
            }
        }
    }
    if (b >= end) throttle.update(total, total);
    throttle.flush();
}

void DecideDeepVolumes(Session& session, int volumeCheck, EngineSink& sink) {
    WorkTable& volumes = session.DeepVolumeList;
    volumes.clear();
    if (volumeCheck == 2 && !session.FoundBootSectorList.empty()) {
        appendVolume(volumes, session.FoundBootSectorList.row(0), session.FoundBootSectorList.u64At(0, kBsTotalSectors));
        return;
    }
    WorkTable& table = session.DirClusterList;
    // The scan appends in sector order; matching relies on it.
    table.sortByU64(kDcSector);
    std::vector<DirRow> dirs = parseDirRows(table);
    matchBootSectors(session, dirs);
    inferVolumes(session, dirs, sink);
    for (std::size_t r = 0; r < dirs.size(); ++r) {
        table.setCell(r, kDcFileSystem, decimal(static_cast<std::uint64_t>(dirs[r].volume)));
        table.setCell(r, kDcCluster0Start, dirs[r].volume ? decimal(dirs[r].cluster0Start) : "");
    }
}

bool LocateFats(Session& session, std::size_t volumeRow, EngineSink& sink) {
    WorkTable& volumes = session.DeepVolumeList;
    if (volumeRow == 0 || volumeRow > volumes.rowCount()) return false;
    const std::size_t r = volumeRow - 1;
    const bool fat32 = volumes.cell(r, kBsPartType) == "FAT32";
    const std::uint64_t c0 = volumes.u64At(r, kBsCluster0Start);
    const std::uint64_t spc = volumes.u64At(r, kBsSpc);
    const std::uint64_t back = fat32 ? kFat32FatWindow : kFat16FatWindow;
    // A volume image starts its FATs within the first sectors; the window reaches down to sector 0.
    const std::uint64_t start = c0 > back ? c0 - back : 0;
    if (start >= c0) return false;

    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    if (!h) return false;
    std::vector<std::uint64_t> candidates;
    std::vector<std::byte> block(std::size_t{kDeepBlockSectors} * kSectorSize);
    ProgressThrottle throttle(sink);
    for (std::uint64_t b = start; b < c0 && candidates.size() < kMaxFatCandidates; b += kDeepBlockSectors) {
        throttle.update(b - start, c0 - start);
        const std::uint64_t count = readBlock(h, b, std::min<std::uint64_t>(kDeepBlockSectors, c0 - b), block);
        for (std::uint64_t i = 0; i < count && candidates.size() < kMaxFatCandidates; ++i) {
            const std::size_t o = static_cast<std::size_t>(i) * kSectorSize;
            if (u8(block[o]) == 0xF8 && u8(block[o + 1]) == 0xFF && u8(block[o + 2]) == 0xFF) candidates.push_back(b + i);
        }
    }
    throttle.update(c0 - start, c0 - start);
    throttle.flush();
    if (candidates.empty()) return false;

    // The pair that puts cluster 2 right after the second FAT (and a FAT16 root) wins; without
    // one, the first two found.
    const std::uint64_t cluster2 = c0 + 2 * spc;
    std::uint64_t first = candidates[0];
    std::uint64_t second = candidates.size() > 1 ? candidates[1] : 0;
    bool fits = false;
    for (std::size_t i = 0; i < candidates.size() && !fits; ++i) {
        for (std::size_t j = i + 1; j < candidates.size() && !fits; ++j) {
            const std::uint64_t spf = candidates[j] - candidates[i];
            const std::uint64_t after = candidates[j] + spf;
            fits = fat32 ? after == cluster2 : after < cluster2 && cluster2 - after <= kMaxFat16RootSectors;
            if (fits) {
                first = candidates[i];
                second = candidates[j];
            }
        }
    }
    auto& p = session.target.activeParams;
    volumes.setCell(r, kBsFirstFat, decimal(first));
    p.firstFAT = clamp32(first);
    if (second == 0) return false;
    const std::uint64_t spf = second - first;
    volumes.setCell(r, kBsSecondFat, decimal(second));
    volumes.setCell(r, kBsSpf, decimal(spf));
    p.secondFAT = clamp32(second);
    p.SPF = clamp32(spf);
    const std::uint64_t rootStart = fat32 ? 2 : second + spf;
    volumes.setCell(r, kBsRootStart, decimal(rootStart));
    p.RootStartSec = clamp32(rootStart);
    if (!fat32 && fits) {
        volumes.setCell(r, kBsRootSectors, decimal(cluster2 - rootStart));
        p.RootSec = clamp32(cluster2 - rootStart);
    }
    return true;
}

bool LoadDeepVolume(Session& session, std::size_t n) {
    if (n == 0 || n > session.DeepVolumeList.rowCount()) return false;
    LoadVolumeParams(session, session.DeepVolumeList, n - 1);
    return true;
}

bool SwitchToFolderVolume(Session& session, std::uint64_t cluster0Start) {
    if (!session.isDeepFat()) return false;
    if (session.target.activeParams.Cluster0Start == cluster0Start) return true;
    const WorkTable& volumes = session.DeepVolumeList;
    for (std::size_t r = 0; r < volumes.rowCount(); ++r)
        if (volumes.u64At(r, kBsCluster0Start) == cluster0Start) return LoadDeepVolume(session, r + 1);
    return false;
}

namespace {

// Copies the folders of one volume's tree under the session's "Root", keeping their places;
// every volume's catch-all folder becomes the one shared "LST_Miscellaneous".
void graftVolume(const RecoveredTree& from, RecoveredTree& into, std::uint64_t cluster0Start) {
    std::unordered_map<ItemId, ItemId> itemOf;
    itemOf[from.tree.firstItem()] = into.ensureRoot();
    from.tree.forEach([&](ItemId id, int depth) {
        if (depth == 0) return;
        const NodeId node = from.nodeOf(id);
        const auto parent = itemOf.find(from.tree.parent(id));
        if (node == kNoNode || parent == itemOf.end()) return;
        const FolderNode& n = from.folders[node];
        if (n.selfCluster == kMiscCluster && n.name == kMiscName) {
            // Inserted once for all volumes: the lookup by cluster number merges them.
            itemOf[id] = into.AddFolder(parent->second, n.name, n.selfCluster, n.parentCluster, n.date, n.time,
                                        n.deleted != 0, cluster0Start);
            return;
        }
        // Two volumes often use the same cluster numbers: the lookup by cluster number would drop
        // the second volume's folder, so it is bypassed here (each volume's tree is already free
        // of repeats).
        const bool saved = into.carvingMode;
        into.carvingMode = true;
        const ItemId item =
            into.AddFolder(parent->second, n.name, n.selfCluster, n.parentCluster, n.date, n.time, n.deleted != 0,
                           cluster0Start);
        into.carvingMode = saved;
        into.folders.back().expanded = n.expanded;
        itemOf[id] = item;
    });
}

} // namespace

void BuildDeepFatTree(Session& session, EngineSink& sink) {
    RecoveredTree& rt = session.recovered;
    rt.clear();
    rt.deepSearch = true;
    rt.ensureRoot();
    WorkTable& dirs = session.DirClusterList;
    const std::size_t count = session.DeepVolumeList.rowCount();
    if (count > 1) dirs.sortByInt32(kDcFileSystem);

    sink.status(kStoringDirectoryInformation);
    for (std::size_t v = 1; v <= count; ++v) {
        LoadDeepVolume(session, v);
        if (session.target.activeParams.firstFAT == 0 && LocateFats(session, v, sink)) LoadDeepVolume(session, v);
        const std::uint64_t c0 = session.target.activeParams.Cluster0Start;

        // Each volume is assembled on its own, then copied under the shared "Root".
        Session volume(session.devices);
        volume.target = session.target;
        RecoveredTree& vt = volume.recovered;
        vt.deepSearch = true;
        vt.writeCatchAllRow();
        std::uint64_t number = 0;
        const std::string volumeText = decimal(static_cast<std::uint64_t>(v));
        for (std::size_t r = 0; r < dirs.rowCount(); ++r) {
            if (dirs.cell(r, kDcFileSystem) != volumeText) continue;
            WorkTable::Row row(lostDirColumns().size());
            row[kLdName] = "DIR" + decimal(++number);
            row[kLdSector] = dirs.cell(r, kDcSector);
            row[kLdSelf] = dirs.cell(r, kDcSelf);
            row[kLdParent] = dirs.cell(r, kDcParent);
            row[kLdDate] = dirs.cell(r, kDcDate);
            row[kLdTime] = dirs.cell(r, kDcTime);
            row[kLdSize] = "0";
            row[kLdAttr] = "16";
            row[kLdType] = "FOLDER";
            row[kLdCluster0Start] = dirs.cell(r, kDcCluster0Start);
            vt.LostDirList.append(std::move(row));
        }
        if (vt.LostDirList.rowCount() >= 2) session.resultsFound = true;
        ResolveOrphans(vt.LostDirList, kFatRootParent);
        vt.ensureRoot();
        vt.tree.setExpandingHandler([&volume](ItemTree&, ItemId item) {
            const NodeId node = volume.recovered.nodeOf(item);
            if (node != kNoNode) fat::nameChildFolders(volume, node);
        });
        // An unreadable root sector leaves its folders unnamed; the volume is assembled all the same.
        (void)fat::NameRootLevelRows(volume);
        AssembleTreeFat(vt);
        if (volume.resultsFound) session.resultsFound = true;
        graftVolume(vt, rt, c0);
    }
    rt.LostDirList.clear();

    // Expanding a folder names its children from its directory, on the folder's own volume.
    rt.tree.setExpandingHandler([&session](ItemTree&, ItemId item) {
        const NodeId node = session.recovered.nodeOf(item);
        if (node == kNoNode) return;
        SwitchToFolderVolume(session, session.recovered.folders[node].cluster0Start);
        fat::nameChildFolders(session, node);
    });
    rt.tree.expand(rt.tree.firstItem());
}

} // namespace snapmend::fsrecovery
