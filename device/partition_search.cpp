// The cylinder probe for lost partitions, its end steps and the automatic and waiting variants.
#include "device/partition_search.h"

#include <algorithm>
#include <array>
#include <functional>
#include <limits>
#include <optional>

#include "common/bytes.h"
#include "common/progress_throttle.h"
#include "common/text.h"
#include "device/volume_params.h"

namespace snapmend::device {

namespace {

// The converted geometry: 255 heads of 63 sectors, 16065 sectors a cylinder.
constexpr std::uint32_t kProbeHeads = 255;
constexpr std::uint32_t kProbeSectorsPerTrack = 63;
constexpr std::uint64_t kProbeCylinderSectors = 16065;

constexpr std::string_view kStorageHint =
    ".\n\nIf you have connected your storage using any usb hub or extension, check storage connections or connect "
    "the storage media directly to your computer.";

struct Candidate {
    std::string_view fs;
    std::uint64_t length = 0;
};

bool hasBootMarker(SectorView s) { return le8At<510>(s) == 0x55 && le8At<511>(s) == 0xAA; }

// The file system a probed boot sector names, by the tails of its type texts, and its length.
std::optional<Candidate> classify(SectorView s) {
    // Volumes below 65536 sectors keep their size in the 16-bit field and leave the 32-bit one 0.
    const auto fatLength = [&] { return le32At<32>(s) != 0 ? le32At<32>(s) : std::uint32_t{le16At<19>(s)}; };
    if (le8At<85>(s) == '3' && le8At<86>(s) == '2') return Candidate{"FAT32", fatLength()};
    if (le8At<57>(s) == '1' && le8At<58>(s) == '6') return Candidate{"FAT16", fatLength()};
    if (le8At<3>(s) == 'N' && le8At<4>(s) == 'T' && le8At<5>(s) == 'F' && le8At<6>(s) == 'S')
        return Candidate{"NTFS", le64At<40>(s) & 0xFFFFFFFFu};
    return std::nullopt;
}

struct ProbeOutcome {
    bool opened = false;
    bool stopped = false;
    bool full = false;
    std::uint64_t probed = 0;
};

// Records a found partition and says whether to keep probing.
using OnRecorded = std::function<bool(std::uint32_t slot)>;

ProbeOutcome probeDisk(const DeviceMap& devices, DiskPartitions& entry, const PartitionSearchRequest& request,
                       EngineSink& sink, std::stop_token stop, std::vector<std::string>& notes,
                       const OnRecorded& onRecorded) {
    ProbeOutcome out;
    const SearchGeometry g = probeGeometry(request.geometry);
    DeviceHandle handle = devices.openDevice(request.devicePath);
    if (!handle) {
        notes.push_back(request.devicePath + " could not be opened; no sector was probed");
        return out;
    }
    out.opened = true;
    const std::uint64_t cylinderSectors = std::uint64_t{g.heads} * g.sectorsPerTrack;
    if (cylinderSectors == 0) {
        notes.push_back("the disk reports no heads or no sectors per track; no sector was probed");
        return out;
    }
    // Cylinders past the device's end hold nothing to read: a garbage geometry must not make the
    // probe spin through billions of empty cylinders.
    const std::uint64_t deviceSectors = handle.sectorCount();
    const std::uint64_t deviceCylinders = deviceSectors / cylinderSectors + (deviceSectors % cylinderSectors ? 1 : 0);
    const std::uint64_t cylinders = std::min(g.cylinders, deviceCylinders);
    if (cylinders < g.cylinders)
        notes.push_back("the geometry gives " + decimal(g.cylinders) + " cylinders but the device ends after " +
                        decimal(deviceCylinders) + "; the probe stops at its end");

    sink.status(kSearchingPartitionsText);
    ProgressThrottle throttle(sink);
    Sector buf{};
    auto readBoot = [&](std::uint64_t sector) {
        return sector < deviceSectors && handle.readAt(sector << kSectorShift, buf) == kSectorSize &&
               hasBootMarker(buf);
    };
    for (std::uint64_t c = 0; c < cylinders; ++c) {
        if (stop.stop_requested()) {
            out.stopped = true;
            break;
        }
        throttle.update(c, cylinders);
        ++out.probed;
        // The first sector of head 1 (a track-aligned start), else the cylinder's first sector.
        const std::uint64_t first = c * cylinderSectors;
        std::uint64_t p = first + g.sectorsPerTrack;
        if (!readBoot(p)) {
            p = first;
            if (!readBoot(p)) continue;
        }
        if (entry.partitionCount >= kMaxPartitionsPerDisk) {
            out.full = true;
            notes.push_back("the disk holds " + decimal(kMaxPartitionsPerDisk) +
                            " partitions; the search ended at sector " + decimal(p));
            break;
        }
        const auto cand = classify(buf);
        if (!cand) continue;
        if (cand->length == 0) {
            notes.push_back(std::string(cand->fs) + " boot sector at sector " + decimal(p) +
                            " gives a length of 0 sectors; not listed");
            continue;
        }
        const std::uint64_t rawEnd = p + cand->length;
        std::uint64_t end = rawEnd;
        // A total-sectors field beyond the device would send later scans past its end.
        if (end > deviceSectors) {
            end = std::max(deviceSectors, p + 1);
            notes.push_back(std::string(cand->fs) + " boot sector at sector " + decimal(p) + " gives " +
                            decimal(cand->length) + " sectors, more than the disk holds; its end is set to sector " +
                            decimal(end));
        }
        bool listed = false;
        for (std::uint32_t k = 0; k < entry.partitionCount && k < kMaxPartitionsPerDisk; ++k) {
            const PartitionSlot& s = entry.slots[k];
            const std::uint64_t slotEnd = s.endInclusive ? s.endSector + 1 : s.endSector;
            if (s.startSector == p && entry.partitionFs[k] == cand->fs && (slotEnd == end || slotEnd == rawEnd))
                listed = true;
        }
        if (listed) continue;
        const std::uint32_t k = entry.partitionCount;
        entry.partitionFs[k] = std::string(cand->fs);
        entry.slots[k] = PartitionSlot{kNoItem, p, end, k, false};
        ++entry.partitionCount;
        if (!onRecorded(k)) break;
    }
    if (!out.stopped) throttle.update(cylinders, cylinders);
    throttle.flush();
    return out;
}

bool validDisk(int disk) { return disk >= 0 && disk < kMaxDisks; }

} // namespace

SearchGeometry searchGeometryFromText(std::string_view cylinders, std::string_view heads,
                                      std::string_view sectorsPerTrack) {
    auto u32 = [](std::string_view t) {
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(parseU64(t), std::numeric_limits<std::uint32_t>::max()));
    };
    return {parseU64(cylinders), u32(heads), u32(sectorsPerTrack)};
}

SearchGeometry probeGeometry(SearchGeometry g) {
    if (g.sectorsPerTrack == kProbeSectorsPerTrack) return g;
    const unsigned __int128 sectors = static_cast<unsigned __int128>(g.cylinders) * g.heads * g.sectorsPerTrack;
    const unsigned __int128 cyl = sectors / kProbeCylinderSectors;
    const std::uint64_t maxU64 = std::numeric_limits<std::uint64_t>::max();
    return {cyl > maxU64 ? maxU64 : static_cast<std::uint64_t>(cyl), kProbeHeads, kProbeSectorsPerTrack};
}

std::string noStorageAreaMessage(int disk) {
    return "No physical storage area found in Disk(Disk - " + decimal(disk) + ")" + std::string(kStorageHint);
}

std::string noStorageAreaDriveMessage(std::string_view driveChars) {
    return "No physical storage area found in Drive(Drive - " + std::string(driveChars) + " )" +
           std::string(kStorageHint);
}

std::string describeSearchResult(int foundCount, std::string_view kind, int diskNumber, std::string_view diskText) {
    const std::string k(kind);
    const std::string tail = k == "Disk" ? decimal(diskNumber) : std::string(diskText);
    if (foundCount > 0)
        return "Found " + decimal(foundCount) + " more partitions in selected " + k + " ( " + k + " - " + tail + " )";
    return "No more partitions found in selected " + k + " ( " + k + " - " + tail + " )";
}

SearchStart startPartitionSearch(const DriveList& list, ItemId selected, std::string_view targetKind,
                                 bool deepSearch, std::optional<std::uint64_t> rangeEndSector) {
    const DriveItemRecord* rec = list.record(selected);
    if (targetKind != kKindHardDisk) {
        if (deepSearch && targetKind == kKindLogical) {
            if ((rec && !rec->volume.empty()) || (rangeEndSector && *rangeEndSector != 0))
                return {SearchStartKind::LogicalDrive, {}};
            const std::string& label = list.tree.valid(selected) ? list.tree.label(selected) : std::string();
            return {SearchStartKind::Refused, noStorageAreaDriveMessage(label.substr(0, 2))};
        }
        return {SearchStartKind::Refused,
                std::string(deepSearch ? kSelectPhysicalOrLogical : kSelectPhysicalDisk)};
    }
    if ((!rec || rec->capacity.empty()) && (!rangeEndSector || *rangeEndSector == 0)) {
        const int disk = list.tree.valid(selected) ? diskNumberFromLabel(list.tree.label(selected)) : -1;
        return {SearchStartKind::Refused, noStorageAreaMessage(disk)};
    }
    return {SearchStartKind::CylinderProbe, {}};
}

PartitionSearchResult partitionSearch(const DeviceMap& devices, DriveList& list, const PartitionSearchRequest& request,
                                      EngineSink& sink, std::stop_token stop) {
    PartitionSearchResult result;
    if (!validDisk(request.disk)) {
        result.notes.push_back("disk number " + decimal(request.disk) + " is out of range; nothing searched");
        result.message = describeSearchResult(0, "Disk", request.disk, {});
        return result;
    }
    DiskPartitions& entry = list.partitions[static_cast<std::size_t>(request.disk)];
    const bool haveItem = list.tree.valid(request.diskItem);
    const auto outcome = probeDisk(devices, entry, request, sink, stop, result.notes, [&](std::uint32_t k) {
        ++result.foundCount;
        if (haveItem) {
            const ItemId item = addPartitionItem(list.tree, partitionLabel(k, entry.partitionFs[k]), request.diskItem);
            entry.slots[k].treeItem = item;
            list.itemColors[item] = kFoundPartitionColor;
            result.added.push_back(item);
        }
        return true;
    });
    result.deviceOpened = outcome.opened;
    result.stopped = outcome.stopped;
    result.tableFull = outcome.full;
    result.cylindersProbed = outcome.probed;
    finishPartitionSearch(list, request, result);
    return result;
}

void finishPartitionSearch(DriveList& list, const PartitionSearchRequest& request, PartitionSearchResult& result) {
    ItemTree& tree = list.tree;
    const ItemId disk = request.diskItem;
    if (tree.valid(disk) && validDisk(request.disk)) {
        DiskPartitions& entry = list.partitions[static_cast<std::size_t>(request.disk)];
        if (tree.hasChildren(disk)) {
            const ItemId first = tree.children(disk).front();
            result.selectedItem = first;
            result.targetKind = std::string(kKindPartition);
            result.selectedLabel = tree.label(first);
            for (std::uint32_t k = 0; k < entry.partitionCount && k < kMaxPartitionsPerDisk; ++k)
                if (entry.slots[k].treeItem == first) {
                    result.properties = partitionProperties(request.disk, k, entry, request.mode);
                    break;
                }
        } else {
            // Nothing listed: the whole disk becomes partition 1.
            int number = diskNumberFromLabel(tree.label(disk));
            if (number < 0) number = request.disk;
            const std::uint64_t total = request.diskTotalSectors;
            const std::string guess = guessFsBySize(0, total);
            ++result.foundCount;
            const std::string label =
                guess == "Unknown" ? std::string(kUnknownPartitionLabel) : "Partition - 1 ( " + guess + " )";
            entry.reset();
            entry.partitionCount = 1;
            entry.partitionFs[0] = guess;
            const ItemId item = addPartitionItem(tree, label, disk);
            entry.slots[0] = PartitionSlot{item, 0, total, 0, false};
            list.itemColors[item] = kFoundPartitionColor;
            result.added.push_back(item);
            result.selectedItem = item;
            result.targetKind = std::string(kKindPartition);
            result.selectedLabel = label;
            const std::uint64_t bytes =
                total > (std::numeric_limits<std::uint64_t>::max() >> kSectorShift) ? std::numeric_limits<std::uint64_t>::max()
                                                                                    : total << kSectorShift;
            result.properties = {{"1. Disk Number : ", decimal(number)},
                                 {"2. Partition Number : ", "1"},
                                 {"3. Partition Type : ", guess},
                                 {"4. Search Mode : ", request.mode},
                                 {"5. Start Sector : ", "0"},
                                 {"6. End Sector : ", decimal(total)},
                                 {"7. Size : ", trim(formatSize(bytes))}};
        }
    }
    result.message = describeSearchResult(result.foundCount, "Disk", request.disk, {});
}

bool stopPartitionSearch(EngineSink& sink, std::stop_source& source) {
    if (sink.ask(kStopSearchQuestion) != Answer::Yes) return false;
    source.request_stop();
    return true;
}

std::vector<PartitionSearchResult> autoSearchPendingDisks(const DeviceMap& devices, DriveList& list,
                                                          std::string_view mode, EngineSink& sink,
                                                          std::stop_token stop) {
    std::vector<PartitionSearchResult> results;
    const std::vector<smpparam> pending = list.pendingSearch;
    for (const smpparam& rec : pending) {
        if (stop.stop_requested()) break;
        if (!list.tree.valid(rec.treeItem) || !contains(list.tree.label(rec.treeItem), kRemovableMedia) ||
            list.tree.parent(rec.treeItem) != list.physicalGroup)
            continue;
        const auto disk = diskNumberOf(rec.devicePath);
        if (!disk) continue;
        list.currentDisk = *disk;
        PartitionSearchRequest request;
        request.disk = *disk;
        request.devicePath = rec.devicePath;
        request.diskItem = rec.treeItem;
        request.geometry = {rec.cylinders, rec.tracksPerCylinder, rec.sectorsPerTrack};
        request.diskTotalSectors = rec.totalSectors;
        request.mode = std::string(mode);
        results.push_back(partitionSearch(devices, list, request, sink, stop));
    }
    return results;
}

bool waitingPartitionSearch(const DeviceMap& devices, TargetState& state, DiskPartitions& entry,
                            const PartitionSearchRequest& request, EngineSink& sink, std::stop_token stop) {
    bool found = false;
    std::vector<std::string> notes;  // the waiting caller reports only the outcome
    (void)probeDisk(devices, entry, request, sink, stop, notes, [&](std::uint32_t k) {
        state.target.startSector = entry.slots[k].startSector;
        state.target.endSector = entry.slots[k].endSector;
        state.target.fileSystem = entry.partitionFs[k];
        (void)computeVolumeParams(devices, state, {});
        found = true;
        return false;
    });
    return found;
}

} // namespace snapmend::device
