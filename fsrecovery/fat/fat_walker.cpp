// FAT16/FAT32 directory walking over raw 512-byte sectors: entries, chains, the lost-directory scan,
// folder naming and file listing.
#include "fsrecovery/fat/fat_walker.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "common/bytes.h"
#include "common/progress_throttle.h"
#include "common/text.h"
#include "fsrecovery/basic_search.h"
#include "fsrecovery/file_type.h"

namespace snapmend::fsrecovery::fat {

namespace {

using device::DeviceHandle;
using device::kSectorShift;
using device::kSectorSize;
using device::VolumeParams;
using device::Sector;

constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::size_t kLastEntryOffset = kSectorSize - kEntrySize;

// FAT entries per FAT sector.
constexpr std::uint32_t kFat16EntriesPerSector = 256;
constexpr std::uint32_t kFat32EntriesPerSector = 128;
// Values at or above these end a chain; the reserved values below them are followed as clusters.
constexpr std::uint32_t kFat16ChainEnd = 0xFFFF;
constexpr std::uint32_t kFat32ChainEnd = 0x0FFFFFFF;

// A long name has at most 255 UTF-16 units; the cap also bounds how far back the reader walks
// over garbage that looks like long-name entries (20 entries, less than two sectors).
constexpr std::size_t kMaxLongName = 255;
// Code-unit positions inside a long-name entry, in name order.
constexpr std::array<std::size_t, 13> kLongNameUnits = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// A FAT16 root directory holds at most 65535 entries; a larger RootSec comes from damage and
// would keep the root walk reading for hours.
constexpr std::uint32_t kMaxFat16RootSectors = 4096;

bool isFat32(const VolumeParams& p) { return p.partType == "FAT32"; }

EntryBytes entryAt(std::span<const std::byte> sector, std::size_t index) {
    return sector.subspan(index * kEntrySize).first<kEntrySize>();
}

std::uint32_t startClusterOf(EntryBytes e, bool fat32) {
    const std::uint32_t low = le16At<26>(e);
    return fat32 ? low | (static_cast<std::uint32_t>(le16At<20>(e)) << 16) : low;
}

// A subdirectory's first sector begins with its "." and ".." entries.
bool looksLikeDirectoryStart(SectorBytes s) {
    return le8At<0>(s) == '.' && le8At<1>(s) == ' ' && le8At<32>(s) == '.' && le8At<33>(s) == '.' &&
           le8At<34>(s) == ' ';
}

// One sector through a scan handle; false when it could not be read whole.
bool readSector(const DeviceHandle& h, std::uint64_t sector, Sector& out) {
    if (!h || sector > (~std::uint64_t{0} >> kSectorShift)) return false;
    return h.readAt(sector << kSectorShift, out) == kSectorSize;
}

// The most clusters a chain can hold: the entries the FAT has room for, and the clusters that
// fit between cluster 0 and the end of the target. Stops chains that run through garbage.
std::uint64_t chainLimit(const Session& session) {
    const VolumeParams& p = session.params();
    std::uint64_t limit = std::uint64_t{p.SPF} * (isFat32(p) ? kFat32EntriesPerSector : kFat16EntriesPerSector);
    const std::uint64_t end = session.target.target.endSector;
    if (p.SPC > 0 && end > p.Cluster0Start) limit = std::min(limit, (end - p.Cluster0Start) / p.SPC);
    return std::max<std::uint64_t>(limit, 1);
}

// The long name of the entry at offset, then the display name; empty when the entry has neither.
std::string nameOf(const Session& session, SectorBytes sector, std::size_t index, std::uint64_t sectorNumber,
                   const EntryInfo& e) {
    return displayName(ReadLongName(session, sector, index * kEntrySize, sectorNumber), e.shortName);
}

// Entries that stand for a folder or file at all: not the end, not ".", "..", not long-name parts.
bool isNamedEntry(EntryBytes e) { return !isDotEntry(e) && !isLongNameEntry(e); }

} // namespace

// ---- Entries --------------------------------------------------------------------------------

bool isEndOfDirectory(EntryBytes entry) { return le8At<0>(entry) == 0x00; }
bool isDotEntry(EntryBytes entry) { return le8At<0>(entry) == '.' && le8At<3>(entry) == ' '; }
bool isLongNameEntry(EntryBytes entry) { return le8At<11>(entry) == kAttrLongName; }

std::string shortName(EntryBytes entry) {
    std::string out;
    const auto put = [&out](std::uint8_t b) {
        if (b < 0x80) {
            out += static_cast<char>(b);
        } else {
            out += static_cast<char>(0xC0 | (b >> 6));
            out += static_cast<char>(0x80 | (b & 0x3F));
        }
    };
    for (std::size_t i = 0; i < 8; ++i) {
        const std::uint8_t b = u8(entry[i]);
        if (i == 0 && b == kDeletedMark) out += '_';
        else if (b != ' ') put(b);
    }
    if (le8At<8>(entry) != ' ') out += '.';
    for (std::size_t i = 8; i < 11; ++i)
        if (const std::uint8_t b = u8(entry[i]); b != ' ') put(b);
    return out;
}

bool isAcceptableName(std::string_view name) {
    constexpr std::string_view kForbidden = "\"\\/?*<>|:";
    // NUL is refused as well: no real 8.3 name holds one, garbage often does.
    return std::none_of(name.begin(), name.end(), [&](char ch) {
        const auto c = static_cast<unsigned char>(ch);
        return c < 32 || c >= 128 || kForbidden.find(ch) != std::string_view::npos;
    });
}

std::string displayName(std::string_view longName, std::string_view shortNameText) {
    std::string name(longName.empty() ? shortNameText : longName);
    const std::string trimmed = trim(name);
    const std::size_t dot = trimmed.rfind('.');
    if (dot == std::string::npos || trim(std::string_view(trimmed).substr(dot + 1)).empty()) {
        const std::size_t shortDot = shortNameText.rfind('.');
        if (shortDot != std::string_view::npos) name += shortNameText.substr(shortDot);
    }
    return name;
}

EntryInfo decodeEntry(EntryBytes entry, bool fat32) {
    EntryInfo e;
    e.startCluster = startClusterOf(entry, fat32);
    e.shortName = shortName(entry);
    e.deleted = le8At<0>(entry) == kDeletedMark;
    e.attr = le8At<11>(entry);
    e.time = le16At<22>(entry);
    e.date = le16At<24>(entry);
    e.size = le32At<28>(entry);
    e.acceptable = isAcceptableName(e.shortName);
    return e;
}

// ---- Chains and long names ------------------------------------------------------------------

std::vector<std::uint32_t> BuildClusterChain(const Session& session, std::uint32_t start) {
    const VolumeParams& p = session.params();
    const bool fat32 = isFat32(p);
    const std::uint64_t limit = chainLimit(session);
    const DeviceHandle h = session.devices.openDevice(session.devicePath());

    std::vector<std::uint32_t> chain;
    std::unordered_set<std::uint32_t> seen;
    Sector fat{};
    std::uint64_t loadedIndex = ~std::uint64_t{0};
    std::uint32_t current = start;
    for (;;) {
        // A cluster met twice means the FAT loops; following it would never end.
        if (!seen.insert(current).second) break;
        chain.push_back(current);
        if (session.listingCancel.load() || chain.size() >= limit) break;

        const std::uint64_t index = fat32 ? current >> 7 : current >> 8;
        // The entry must lie inside the first FAT (index SPF would be the second FAT's start).
        if (p.firstFAT == 0 || index >= p.SPF) break;
        if (index != loadedIndex) {
            if (!readSector(h, std::uint64_t{p.firstFAT} + index, fat)) break;
            loadedIndex = index;
        }
        const ByteReader r{Bytes(fat)};
        // Top four FAT32 bits are kept: such values are not clusters and end the chain below.
        const std::uint32_t next =
            fat32 ? r.le32Unchecked((current & 0x7F) * 4) : r.le16Unchecked((current & 0xFF) * 2);
        if (next < 2 || next >= (fat32 ? kFat32ChainEnd : kFat16ChainEnd)) break;
        current = next;
    }
    return chain;
}

std::string ReadLongName(const Session& session, SectorBytes sector, std::size_t entryOffset,
                         std::uint64_t sectorNumber) {
    if (entryOffset > kLastEntryOffset) return {};
    Sector copy;
    std::copy(sector.begin(), sector.end(), copy.begin());
    std::u16string name;
    std::size_t pos = entryOffset;
    for (;;) {
        // Long-name parts precede the short entry nearest-first, also across the device sector
        // before (even when the short entry opens a cluster).
        if (pos == 0) {
            if (sectorNumber == 0) break;
            --sectorNumber;
            if (!session.devices.readSectors(session.devicePath(), sectorNumber, 1, copy)) break;
            pos = kSectorSize;
        }
        pos -= kEntrySize;
        const ByteReader r{Bytes(copy)};
        if (*r.le8(pos + 11) != kAttrLongName) break;
        bool terminated = false;
        for (const std::size_t unit : kLongNameUnits) {
            const char16_t c = r.le16Unchecked(pos + unit);
            if (c == 0) {
                terminated = true;
                break;
            }
            name.push_back(c);
        }
        if (terminated || name.size() > kMaxLongName) break;
    }
    if (name.size() > kMaxLongName) name.resize(kMaxLongName);
    return utf16ToUtf8(name);
}

// ---- Lost-directory scan --------------------------------------------------------------------

void ScanLostDirectories(Session& session, EngineSink& sink, std::stop_token stop) {
    RecoveredTree& rt = session.recovered;
    rt.writeCatchAllRow();
    const VolumeParams& p = session.params();
    const std::uint64_t endSector = session.target.target.endSector;
    sink.status(std::string(kSectorsScannedOfTotal) + decimal(endSector));

    // Without a cluster size or with cluster 2 at or past the end there is no data area to scan.
    if (p.SPC == 0 || p.Cluster0Start >= endSector || 2 * std::uint64_t{p.SPC} >= endSector - p.Cluster0Start) return;
    const std::uint64_t first = p.Cluster0Start + 2 * std::uint64_t{p.SPC};

    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    if (!h) return;
    h.adviseSequential();
    // Nothing past the device can be read; a damaged end sector must not keep the scan going.
    const std::uint64_t end = std::min(endSector, h.sectorCount());
    const std::uint64_t total = endSector - first;
    const bool fat32 = isFat32(p);

    ProgressThrottle throttle(sink);
    std::vector<std::byte> block(std::size_t{kScanBlockSectors} * kSectorSize);
    // Cluster numbers follow sector positions, also over blocks that could not be read.
    std::uint64_t cluster = 2;
    std::uint64_t clusterSector = first;
    std::uint64_t row = 1;
    bool stopped = false;
    for (std::uint64_t b = first; b < end; b += kScanBlockSectors) {
        if (stop.stop_requested()) {
            stopped = true;
            break;
        }
        throttle.update(b - first, total);
        const std::uint64_t count = std::min<std::uint64_t>(kScanBlockSectors, end - b);
        const auto bytes = std::span<std::byte>(block).first(static_cast<std::size_t>(count) * kSectorSize);
        h.readAt(b << kSectorShift, bytes);  // an unread tail comes back zeroed and holds no directory

        for (; clusterSector < b + count; ++cluster, clusterSector += p.SPC) {
            const SectorBytes s =
                std::span<const std::byte>(bytes).subspan(static_cast<std::size_t>(clusterSector - b) * kSectorSize)
                    .first<kSectorSize>();
            if (!looksLikeDirectoryStart(s)) continue;
            const EntryBytes dot = entryAt(s, 0);
            const EntryBytes dotDot = entryAt(s, 1);
            // A stale copy of a directory names another cluster in its "." entry.
            if (startClusterOf(dot, fat32) != cluster) continue;
            rt.LostDirList.append({
                "DIR" + decimal(row),
                decimal(clusterSector),
                decimal(cluster),
                decimal(startClusterOf(dotDot, fat32)),
                decimal(std::uint32_t{le16At<24>(dot)}),
                decimal(std::uint32_t{le16At<22>(dot)}),
                decimal(le32At<28>(dot)),
                decimal(std::uint32_t{le8At<11>(dot)}),
                "0",
                "FOLDER",
                "",
                "",
            });
            ++row;
        }
    }
    if (!stopped) throttle.update(total, total);
    throttle.flush();
}

// ---- Naming ---------------------------------------------------------------------------------

bool NameRootLevelRows(Session& session) {
    WorkTable& list = session.recovered.LostDirList;
    const VolumeParams& p = session.params();
    const bool fat32 = isFat32(p);

    // Root-level rows lead a list sorted by "parent"; the first row of each self cluster is named.
    std::unordered_map<std::uint32_t, std::size_t> rootRowOf;
    for (std::size_t r = 0; r < list.rowCount() && list.int32At(r, kLdParent) == 0; ++r) {
        const std::uint64_t self = list.u64At(r, kLdSelf);
        // The catch-all row has no directory an entry could name.
        if (self == kMiscCluster || self > 0xFFFFFFFFu) continue;
        rootRowOf.emplace(static_cast<std::uint32_t>(self), r);
    }

    const auto nameFromSector = [&](const Sector& s, std::uint64_t sectorNumber) {
        for (std::size_t i = 0; i < kEntriesPerSector; ++i) {
            const EntryBytes raw = entryAt(s, i);
            if (isEndOfDirectory(raw)) return;  // this sector only: the root walk goes on
            if (!isNamedEntry(raw)) continue;
            const EntryInfo e = decodeEntry(raw, fat32);
            if (!e.acceptable) continue;
            const std::string name = nameOf(session, s, i, sectorNumber, e);
            if (name.empty()) continue;
            if (!(e.attr & kAttrVolumeLabel) && !fileExtension(name).empty()) session.resultsFound = true;
            // Only a directory entry names a directory: a deleted file whose first cluster was later
            // given to a new folder must not rename it or mark it deleted.
            if (!(e.attr & kAttrDirectory)) continue;
            const auto it = rootRowOf.find(e.startCluster);
            if (it == rootRowOf.end()) continue;
            list.setCell(it->second, kLdName, name);
            if (e.deleted) list.setCell(it->second, kLdDeleted, "1");
        }
    };

    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    Sector s{};
    if (!fat32) {
        const std::uint32_t rootSectors = std::min(p.RootSec, kMaxFat16RootSectors);
        for (std::uint32_t i = 0; i < rootSectors; ++i) {
            const std::uint64_t sector = std::uint64_t{p.RootStartSec} + i;
            if (!readSector(h, sector, s)) return false;
            nameFromSector(s, sector);
        }
        return true;
    }
    for (const std::uint32_t c : BuildClusterChain(session, p.RootStartSec)) {
        if (c < 2) continue;  // clusters 0 and 1 have no data
        for (std::uint32_t k = 0; k < p.SPC; ++k) {
            const std::uint64_t sector = p.clusterSector(c) + k;
            if (readSector(h, sector, s)) nameFromSector(s, sector);
        }
    }
    return true;
}

bool NameChildrenFromDirectory(Session& session, std::uint64_t sectorNumber, std::uint32_t folderSelf,
                               NodeId folderNode) {
    if (session.listingCancel.load()) return true;
    Sector s{};
    // An unreadable sector names nothing; the directory goes on in the next one.
    if (!session.devices.readSectors(session.devicePath(), sectorNumber, 1, s)) return true;
    RecoveredTree& rt = session.recovered;
    const bool fat32 = isFat32(session.params());
    for (std::size_t i = 0; i < kEntriesPerSector; ++i) {
        if (session.listingCancel.load()) return true;
        const EntryBytes raw = entryAt(s, i);
        if (isEndOfDirectory(raw)) return false;
        if (!isNamedEntry(raw)) continue;
        const EntryInfo e = decodeEntry(raw, fat32);
        if (!e.acceptable || !(e.attr & kAttrDirectory)) continue;
        const std::string name = nameOf(session, s, i, sectorNumber, e);
        if (name.empty()) continue;
        for (std::size_t n = folderNode; n < rt.folders.size(); ++n) {
            FolderNode& node = rt.folders[n];
            if (node.selfCluster != e.startCluster || node.parentCluster != folderSelf) continue;
            node.name = name;
            if (rt.tree.valid(node.treeItem)) rt.tree.setLabel(node.treeItem, name);
            if (e.deleted) node.deleted = 1;
            break;
        }
    }
    return true;
}

void nameChildFoldersNow(Session& session, NodeId node) {
    if (node >= session.recovered.folders.size()) return;
    const std::uint32_t self = session.recovered.folders[node].selfCluster;
    if (self == kMiscCluster || self < 2) return;  // the catch-all folder has no directory
    const VolumeParams& p = session.params();
    for (const std::uint32_t c : BuildClusterChain(session, self)) {
        for (std::uint32_t k = 0; k < p.SPC; ++k) {
            if (session.listingCancel.load()) return;
            if (!NameChildrenFromDirectory(session, p.clusterSector(c) + k, self, node)) return;
        }
    }
}

void nameChildFolders(Session& session, NodeId node) {
    if (node >= session.recovered.folders.size()) return;
    FolderNode& n = session.recovered.folders[node];
    if (n.expanded != 0 || n.selfCluster == kMiscCluster) return;
    n.expanded = 1;
    nameChildFoldersNow(session, node);
}

// ---- File listing ---------------------------------------------------------------------------

namespace {

enum class SectorEnd { Next, EndOfDirectory, Cancelled };

SectorEnd listSector(Session& session, const DeviceHandle& h, std::uint64_t sectorNumber, bool fat32,
                     int volumeIndex) {
    Sector s{};
    if (!readSector(h, sectorNumber, s)) return SectorEnd::Next;  // unreadable: skipped
    WorkTable& items = session.itemList;
    for (std::size_t i = 0; i < kEntriesPerSector; ++i) {
        if (session.listingCancel.load()) return SectorEnd::Cancelled;
        const EntryBytes raw = entryAt(s, i);
        if (isEndOfDirectory(raw)) return SectorEnd::EndOfDirectory;
        if (!isNamedEntry(raw)) continue;
        const EntryInfo e = decodeEntry(raw, fat32);
        // Folders are listed from the tree; a volume label is no file.
        if (e.attr & (kAttrDirectory | kAttrVolumeLabel)) continue;
        if (!e.acceptable) continue;
        std::string name = nameOf(session, s, i, sectorNumber, e);
        if (name.empty()) continue;

        WorkTable::Row row(std::max<std::size_t>(items.columnCount(), kItSfn + 1));
        row[kItType] = FileTypeText(fileExtension(name), name);
        row[kItSize] = decimal(e.size);
        row[kItDate] = FatDateText(e.date);
        row[kItTime] = FatTimeText(e.time);
        row[kItHidden1] = decimal(e.startCluster);
        row[kItSfn] = e.shortName;
        if (volumeIndex >= 0 && items.columnCount() > kItFileSys) row[kItFileSys] = decimal(volumeIndex);
        if (e.deleted && items.columnCount() > kItDeleted) row[kItDeleted] = "1";
        row[kItName] = std::move(name);
        items.append(std::move(row));
        ++session.fileCount;
    }
    return SectorEnd::Next;
}

} // namespace

void ListFolderFiles(Session& session, std::uint32_t folderCluster, int volumeIndex) {
    if (folderCluster == kMiscCluster) return;  // the catch-all folder has no directory
    const DeviceHandle h = session.devices.openDevice(session.devicePath());
    if (!h) return;
    const VolumeParams& p = session.params();
    const bool fat32 = isFat32(p);

    if (folderCluster == 0 && !fat32) {
        // The FAT16 root is a fixed area: an end mark ends only its own sector.
        const std::uint32_t rootSectors = std::min(p.RootSec, kMaxFat16RootSectors);
        for (std::uint32_t i = 0; i < rootSectors; ++i)
            if (listSector(session, h, std::uint64_t{p.RootStartSec} + i, fat32, volumeIndex) == SectorEnd::Cancelled)
                return;
        return;
    }
    const std::uint32_t start = folderCluster == 0 ? p.RootStartSec : folderCluster;
    for (const std::uint32_t c : BuildClusterChain(session, start)) {
        if (c < 2) continue;  // clusters 0 and 1 have no data
        for (std::uint32_t k = 0; k < p.SPC; ++k)
            if (listSector(session, h, p.clusterSector(c) + k, fat32, volumeIndex) != SectorEnd::Next) return;
    }
}

} // namespace snapmend::fsrecovery::fat
