// Volume layout numbers: from the boot sector of a FAT16, FAT32 or NTFS volume, or, for a FAT
// volume whose boot sector is gone, from the FAT's first sector and two directory clusters.
#include "device/volume_params.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <vector>

#include "common/bytes.h"
#include "common/progress_throttle.h"
#include "device/device_map.h"
#include "device/scan_target.h"

namespace snapmend::device {

namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();
// Sector numbers whose byte offset still fits 64 bits.
constexpr std::uint64_t kMaxSector = ~std::uint64_t{0} >> kSectorShift;

// The FAT32 backup boot sector lies this far behind the primary one.
constexpr std::uint64_t kFat32BackupOffset = 6;
// First byte of a FAT on a fixed disk (the media byte).
constexpr std::byte kFixedMediaByte{0xF8};

// searchFatParams reads this many sectors per block through its one handle (1 MiB).
constexpr std::uint64_t kSearchBlockSectors = 2048;
// Where the scan looks for the FAT's first sector (F8 FF), and what it assumes without one.
constexpr std::uint64_t kFat16ReservedFirst = 0, kFat16ReservedCount = 10, kFat16DefaultReserved = 1;
constexpr std::uint64_t kFat32ReservedFirst = 30, kFat32ReservedCount = 30, kFat32DefaultReserved = 32;
constexpr std::uint32_t kFat16AssumedRootSec = 32;
constexpr std::uint32_t kFat32AssumedRootCluster = 2;

SectorView view(const Sector& s) { return SectorView(s); }

// One sector through the one-shot reader. A failed or short read counts as a sector without the
// expected bytes: the buffer is cleared so that no earlier sector's content can pass a test.
Sector readSector(const DeviceMap& devices, std::string_view path, std::uint64_t sector) {
    Sector s{};
    if (sector > kMaxSector || !devices.readSectors(path, sector, 1, s)) s.fill(std::byte{0});
    return s;
}

bool hasBootSignature(SectorView s) { return le8At<510>(s) == 0x55 && le8At<511>(s) == 0xAA; }

bool isClusterSize(std::uint64_t v) { return v >= 1 && v <= 128 && (v & (v - 1)) == 0; }

std::optional<std::uint64_t> checkedAdd(std::uint64_t a, std::uint64_t b) {
    if (a > std::numeric_limits<std::uint64_t>::max() - b) return std::nullopt;
    return a + b;
}

// FAT layout from one boot sector. Fields are checked before any arithmetic so that garbage
// (zero reserved sectors, zero sectors per FAT, an odd cluster size) fails instead of producing
// numbers that later divide by zero or point before the volume.
struct FatLayout {
    std::uint32_t spc = 0;
    std::uint32_t reserved = 0;
    std::uint32_t spf = 0;
    std::uint32_t rootEntries = 0;
    std::uint32_t rootCluster = 0;
    std::uint64_t firstFat = 0;
    std::uint64_t secondFat = 0;
};

std::optional<FatLayout> fatLayout(SectorView boot, std::uint64_t start, bool fat32) {
    FatLayout l;
    l.spc = le8At<13>(boot);
    l.reserved = le16At<14>(boot);
    l.spf = fat32 ? le32At<36>(boot) : le16At<22>(boot);
    l.rootEntries = le16At<17>(boot);
    l.rootCluster = le32At<44>(boot);
    if (!isClusterSize(l.spc) || l.reserved == 0 || l.spf == 0) return std::nullopt;
    // reserved + 2 x SPF + root sectors < 2^34, so only the start can push these past 64 bits.
    const auto firstFat = checkedAdd(start, l.reserved);
    const auto dataEnd = checkedAdd(start, std::uint64_t{l.reserved} + 2 * std::uint64_t{l.spf} + l.rootEntries / 16);
    if (!firstFat || !dataEnd || *dataEnd > kMaxSector) return std::nullopt;
    l.firstFat = *firstFat;
    l.secondFat = *firstFat + l.spf;
    return l;
}

bool secondFatLooksFixed(const DeviceMap& devices, std::string_view path, const FatLayout& l) {
    return readSector(devices, path, l.secondFat)[0] == kFixedMediaByte;
}

bool computeFat16(const DeviceMap& devices, const TargetState& state, VolumeParams& p) {
    const std::uint64_t start = state.target.startSector;
    const Sector boot = readSector(devices, state.devicePath, start);
    if (!hasBootSignature(view(boot))) return false;
    const auto l = fatLayout(view(boot), start, false);
    if (!l || !secondFatLooksFixed(devices, state.devicePath, *l)) return false;

    const std::uint32_t rootSec = l->rootEntries / 16;
    const std::uint64_t rootStart = l->firstFat + 2 * std::uint64_t{l->spf};
    const std::uint64_t dataStart = rootStart + rootSec;
    // A data area closer than two clusters to sector 0 has no cluster 0 to point at.
    if (dataStart < 2 * std::uint64_t{l->spc}) return false;
    // The 32-bit fields cannot hold a volume that lies this far out; refuse rather than wrap.
    if (rootStart > kMaxU32 || l->secondFat > kMaxU32) return false;

    p.SPF = l->spf;
    p.SPC = l->spc;
    p.ReserveSecStart = l->reserved;
    p.RootSec = rootSec;
    p.RootStartSec = static_cast<std::uint32_t>(rootStart);
    p.Cluster0Start = dataStart - 2 * std::uint64_t{l->spc};
    p.firstFAT = static_cast<std::uint32_t>(l->firstFat);
    p.secondFAT = static_cast<std::uint32_t>(l->secondFat);
    return true;
}

bool computeFat32(const DeviceMap& devices, const TargetState& state, VolumeParams& p) {
    const std::uint64_t start = state.target.startSector;
    const auto backupSector = checkedAdd(start, kFat32BackupOffset);
    if (!backupSector) return false;

    bool usedBackup = false;
    Sector boot = readSector(devices, state.devicePath, start);
    if (!hasBootSignature(view(boot))) {
        boot = readSector(devices, state.devicePath, *backupSector);
        if (!hasBootSignature(view(boot))) return false;
        usedBackup = true;
    }

    auto l = fatLayout(view(boot), start, true);
    if (!l || !secondFatLooksFixed(devices, state.devicePath, *l)) {
        // The backup decides once more; when it was the copy just tried, it cannot say otherwise.
        if (usedBackup) return false;
        boot = readSector(devices, state.devicePath, *backupSector);
        l = fatLayout(view(boot), start, true);
        if (!l || !secondFatLooksFixed(devices, state.devicePath, *l)) return false;
    }

    const std::uint64_t dataStart = l->firstFat + 2 * std::uint64_t{l->spf};
    if (dataStart < 2 * std::uint64_t{l->spc}) return false;
    if (l->secondFat > kMaxU32) return false;

    p.SPF = l->spf;
    p.SPC = l->spc;
    p.ReserveSecStart = l->reserved;
    p.RootSec = 0;
    p.RootStartSec = l->rootCluster;
    p.Cluster0Start = dataStart - 2 * std::uint64_t{l->spc};
    p.firstFAT = static_cast<std::uint32_t>(l->firstFat);
    p.secondFAT = static_cast<std::uint32_t>(l->secondFat);
    return true;
}

// Sectors per MFT record from an NTFS boot sector: 0xF6 means 2^10 bytes; any other value counts
// clusters. Only records of 1 to 4 KiB are believed.
std::optional<std::uint32_t> ntfsSectorsPerMftRecord(SectorView boot) {
    const std::uint32_t v = le8At<64>(boot);
    if (v == 0xF6) return 2;
    const std::uint32_t sectors = v * le8At<13>(boot);
    if (sectors == 2 || sectors == 4 || sectors == 6 || sectors == 8) return sectors;
    return std::nullopt;
}

bool ntfsClusterSizeOk(SectorView boot) { return isClusterSize(le8At<13>(boot)); }

// Sector of the cluster stored at a boot-sector offset, or nullopt when it lies beyond what a
// 64-bit byte offset can reach (a garbage cluster number).
template <std::size_t Off>
std::optional<std::uint64_t> ntfsClusterSector(SectorView boot, std::uint64_t start) {
    const std::uint64_t cluster = le64At<Off>(boot);
    const std::uint64_t spc = le8At<13>(boot);
    if (!isClusterSize(spc) || cluster > kMaxSector / spc) return std::nullopt;
    const auto sector = checkedAdd(start, cluster * spc);
    if (!sector || *sector > kMaxSector) return std::nullopt;
    return sector;
}

bool beginsWithFile(const DeviceMap& devices, std::string_view path, std::optional<std::uint64_t> sector) {
    if (!sector) return false;
    const Sector s = readSector(devices, path, *sector);
    return s[0] == std::byte{'F'} && s[1] == std::byte{'I'} && s[2] == std::byte{'L'} && s[3] == std::byte{'E'};
}

bool computeNtfs(const DeviceMap& devices, const TargetState& state, std::string_view logicalDevicePath,
                 VolumeParams& p) {
    const std::uint64_t start = state.target.startSector;
    const std::string_view path = state.devicePath;
    // NTFS keeps its boot sector copy in the volume's last sector: end - 1 for an exclusive end
    // (MBR partitions, whole volumes), end itself for a GUID partition's inclusive end.
    std::uint64_t end = state.target.endSector;
    if (end > start + 1 && hasBootSignature(view(readSector(devices, path, end - 1)))) end = end - 1;

    std::uint64_t current = start;
    Sector boot = readSector(devices, path, start);
    if (!hasBootSignature(view(boot))) {
        current = end;
        boot = readSector(devices, path, end);
        // Neither copy: the partition search would take over here; this computation just fails.
        if (!hasBootSignature(view(boot))) return false;
    }
    auto readOther = [&] {
        current = current == start ? end : start;
        boot = readSector(devices, path, current);
    };

    if (!ntfsClusterSizeOk(view(boot))) {
        readOther();
        if (!ntfsClusterSizeOk(view(boot))) return false;
    }
    auto perMftRecord = ntfsSectorsPerMftRecord(view(boot));
    if (!perMftRecord) {
        readOther();
        if (!ntfsClusterSizeOk(view(boot))) return false;
        perMftRecord = ntfsSectorsPerMftRecord(view(boot));
        if (!perMftRecord) return false;
    }
    const Sector chosen = boot;
    const std::uint64_t otherSector = current == start ? end : start;

    std::uint64_t mft = 0;
    if (const auto m = ntfsClusterSector<48>(view(chosen), start); beginsWithFile(devices, path, m)) {
        mft = *m;
    } else {
        const Sector other = readSector(devices, path, otherSector);
        const auto m2 = ntfsClusterSector<48>(view(other), start);
        if (state.targetKind == kKindLogical) {
            // The drive's own path counts sectors from the volume's start.
            if (m2 && beginsWithFile(devices, logicalDevicePath, *m2 - start)) mft = *m2;
        } else if (beginsWithFile(devices, path, m2)) {
            mft = *m2;
        }
    }

    std::uint64_t mirror = 0;
    if (const auto r = ntfsClusterSector<56>(view(chosen), start); beginsWithFile(devices, path, r)) {
        mirror = *r;
    } else {
        const Sector other = readSector(devices, path, otherSector);
        const auto r2 = ntfsClusterSector<56>(view(other), start);
        if (beginsWithFile(devices, path, r2)) mirror = *r2;
    }

    if (mft == 0 && mirror == 0) return false;

    const std::uint32_t spc = le8At<13>(view(chosen));
    const std::uint32_t perIndex = le8At<68>(view(chosen));
    p.SPC = spc;
    p.Cluster0Start = start;
    p.mftStart = mft;
    p.mftMirrStart = mirror;
    p.sectorsPerMftRecord = *perMftRecord;
    p.sectorsPerIndexRecord = perIndex == 0xF4 ? 8 : perIndex * spc;
    return true;
}

// A sector that begins with the "." and ".." entries of a subdirectory.
bool isDirectoryStart(std::span<const std::byte> s) {
    return s[0] == std::byte{'.'} && s[1] == std::byte{' '} && s[32] == std::byte{'.'} &&
           s[33] == std::byte{'.'} && s[34] == std::byte{' '};
}

bool isSectorsPerClusterQuotient(std::int64_t k) { return k > 0 && isClusterSize(static_cast<std::uint64_t>(k)); }

} // namespace

bool computeVolumeParams(const DeviceMap& devices, TargetState& state, std::string_view logicalDevicePath) {
    VolumeParams p = state.calculatedParams;
    const std::string& fs = state.target.fileSystem;
    bool ok = false;
    if (fs == "FAT16")
        ok = computeFat16(devices, state, p);
    else if (fs == "FAT32")
        ok = computeFat32(devices, state, p);
    else if (fs == "NTFS")
        ok = computeNtfs(devices, state, logicalDevicePath, p);
    if (ok) state.calculatedParams = p;
    return ok;
}

bool searchFatParams(const DeviceMap& devices, TargetState& state, EngineSink& sink, std::stop_token stop) {
    const bool fat16 = state.target.fileSystem == "FAT16";
    if (!fat16 && state.target.fileSystem != "FAT32") return false;

    DeviceHandle handle = devices.openDevice(state.devicePath);
    if (!handle) return false;
    handle.adviseSequential();

    const std::uint64_t start = state.target.startSector;
    // Nothing beyond the device can be read, so a range from a damaged table stops at its end.
    const std::uint64_t end = std::min(state.target.endSector, handle.sectorCount());
    VolumeParams& p = state.calculatedParams;

    // The FAT's first sector begins with the media byte F8 and FF; the last one seen wins.
    const std::uint64_t firstProbe = fat16 ? kFat16ReservedFirst : kFat32ReservedFirst;
    const std::uint64_t probeCount = fat16 ? kFat16ReservedCount : kFat32ReservedCount;
    p.ReserveSecStart = static_cast<std::uint32_t>(fat16 ? kFat16DefaultReserved : kFat32DefaultReserved);
    if (start <= kMaxSector - firstProbe - probeCount) {
        std::vector<std::byte> probe(probeCount * kSectorSize);
        handle.readAt((start + firstProbe) << kSectorShift, probe);
        for (std::uint64_t i = 0; i < probeCount; ++i) {
            const std::byte* s = probe.data() + i * kSectorSize;
            if (s[0] == kFixedMediaByte && s[1] == std::byte{0xFF}) p.ReserveSecStart = static_cast<std::uint32_t>(firstProbe + i);
        }
    }
    if (fat16) {
        p.RootSec = kFat16AssumedRootSec;
    } else {
        p.RootSec = 0;
        p.RootStartSec = kFat32AssumedRootCluster;
    }

    sink.status(kCalculatingParamsText);
    ProgressThrottle throttle(sink);
    const std::uint64_t total = end > start ? end - start : 0;
    throttle.update(0, total);

    // Sector numbers stay below 2^55 (their byte offsets fit 64 bits), cluster numbers below 2^32,
    // so all of the pair arithmetic fits a signed 64-bit value.
    std::optional<std::int64_t> c1, s1;
    std::vector<std::byte> block(kSearchBlockSectors * kSectorSize);
    for (std::uint64_t blockStart = start; blockStart < end; blockStart += kSearchBlockSectors) {
        if (stop.stop_requested()) {
            throttle.flush();
            return false;
        }
        const std::uint64_t count = std::min(kSearchBlockSectors, end - blockStart);
        const auto bytes = std::span<std::byte>(block).first(count * kSectorSize);
        handle.readAt(blockStart << kSectorShift, bytes);  // the unread tail comes back zeroed

        for (std::uint64_t i = 0; i < count; ++i) {
            const auto s = std::span<const std::byte>(bytes).subspan(i * kSectorSize, kSectorSize);
            if (!isDirectoryStart(s)) continue;
            const ByteReader r(s);
            const std::uint32_t low = r.le16Unchecked(26);
            const std::uint32_t full = low | (static_cast<std::uint32_t>(r.le16Unchecked(20)) << 16);
            const auto sector = static_cast<std::int64_t>(blockStart + i);
            if (!c1) {
                if (full >= 2 && full <= 0xFFFFFFFEu) {
                    c1 = full;
                    s1 = sector;
                }
                continue;
            }
            // FAT16 has no high half: later hits are taken by the low 16 bits alone.
            const std::int64_t c2 = fat16 ? low : full;
            const std::int64_t s2 = sector;
            if (c2 == *c1 || *c1 < 2) continue;
            const std::int64_t dc = c2 - *c1;
            const std::int64_t ds = s2 - *s1;
            if (ds % dc != 0) continue;
            const std::int64_t k = ds / dc;
            if (!isSectorsPerClusterQuotient(k)) continue;
            if (!(c2 < *s1 && c2 < s2)) continue;
            if (*s1 - *c1 * k != s2 - c2 * k) continue;

            const std::int64_t cluster0 = *s1 - *c1 * k;
            const std::int64_t dataStart = *s1 - (*c1 - 2) * k;
            const std::int64_t fatArea = dataStart - static_cast<std::int64_t>(start) -
                                         static_cast<std::int64_t>(p.ReserveSecStart) - p.RootSec;
            // A pair that puts cluster 0 before sector 0, or the data area before the FATs, cannot
            // be the volume: keep looking.
            if (cluster0 < 0 || fatArea < 0) continue;

            const std::uint64_t spf = static_cast<std::uint64_t>(fatArea) / 2;
            const std::uint64_t firstFat = start + p.ReserveSecStart;
            const std::uint64_t secondFat = firstFat + spf;
            const std::uint64_t rootStart = firstFat + 2 * spf;
            // The 32-bit fields cannot hold this volume; refuse rather than wrap.
            if (secondFat > kMaxU32 || (fat16 && rootStart > kMaxU32)) {
                throttle.flush();
                return false;
            }
            p.SPC = static_cast<std::uint32_t>(k);
            p.Cluster0Start = static_cast<std::uint64_t>(cluster0);
            p.SPF = static_cast<std::uint32_t>(spf);
            if (fat16) p.RootStartSec = static_cast<std::uint32_t>(rootStart);
            p.firstFAT = static_cast<std::uint32_t>(firstFat);
            p.secondFAT = static_cast<std::uint32_t>(secondFat);
            throttle.update(blockStart + i + 1 - start, total);
            throttle.flush();
            return true;
        }
        throttle.update(blockStart + count - start, total);
    }
    throttle.flush();
    return false;
}

void activateParams(TargetState& state) {
    state.activeParams = state.calculatedParams;
    state.activeParams.partType = state.target.fileSystem;
}

} // namespace snapmend::device
