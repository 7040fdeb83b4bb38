#include "device/scan_target.h"

#include <algorithm>

#include "common/text.h"
#include "device/device_map.h"
#include "device/partition_table.h"

namespace snapmend::device {

void resetTarget(TargetState& state) {
    auto& t = state.target;
    t.diskIndex = 0;
    t.partitionIndex = 0;
    t.fileSystem.clear();
    t.searchMode.clear();
    t.startSector = 0;
    t.endSector = 0;
    state.calculatedParams = VolumeParams{};
    state.activeParams = VolumeParams{};
}

std::string searchRangeText(std::uint64_t start, std::uint64_t end) {
    return "Search Range : " + decimal(start) + " to " + decimal(end);
}

std::string wholeDiskFileSystem(const std::vector<std::string>& partitionLabels, std::uint64_t start,
                                std::uint64_t end) {
    std::string agreed;
    for (const auto& label : partitionLabels) {
        std::string name = "Unknown";
        if (const auto open = label.find('('); open != std::string::npos) {
            const auto close = label.find(')', open + 1);
            name = normaliseFsName(label.substr(open + 1, close == std::string::npos ? std::string::npos : close - open - 1));
        }
        if (agreed.empty()) {
            agreed = name;
        } else if (agreed != name) {
            agreed.clear();
            break;
        }
    }
    if (!partitionLabels.empty() && !agreed.empty()) return agreed;
    return guessFsBySize(start, end);
}

namespace {

// The parts every mode's start shares: reset, disk number, file system, device path.
TargetState startFrom(const TargetState& current, const TargetSelection& sel, std::string_view mode,
                      std::uint64_t rangeStart, std::uint64_t rangeEnd) {
    TargetState next = current;
    resetTarget(next);
    next.targetKind = sel.kind;
    next.target.diskIndex = static_cast<std::uint16_t>(sel.diskIndex);
    next.target.partitionIndex = sel.partitionIndex;
    next.target.fileSystem = sel.kind == kKindHardDisk ? wholeDiskFileSystem(sel.partitionLabels, rangeStart, rangeEnd)
                                                       : normaliseFsName(sel.fileSystemText);
    next.target.searchMode = std::string(mode);
    next.devicePath = DevicePathTable[static_cast<std::size_t>(std::clamp(sel.diskIndex, 0, kMaxDisks - 1))];
    return next;
}

} // namespace

Result<TargetOutcome> setTargetFromSelection(TargetState& state, const TargetSelection& sel, std::string_view mode) {
    TargetOutcome outcome;
    TargetState next = startFrom(state, sel, mode, sel.start, sel.end);
    std::uint64_t start = sel.start;
    std::uint64_t end = sel.end;

    if (sel.kind == kKindLogical && sel.volumeOnDisk) {
        // A logical drive is always scanned through its physical disk.
        const auto& v = *sel.volumeOnDisk;
        next.devicePath = physicalDrivePath(v.disk);
        next.target.diskIndex = static_cast<std::uint16_t>(v.disk);
        start = v.firstSector;
        end = v.endSector;
        if (sel.diskTotalSectors != 0) end = std::min(end, sel.diskTotalSectors);
        if (v.dynamic) outcome.noticePrefix = std::string(kDynamicDiskNotice);
    } else if (sel.kind == kKindLogical || sel.kind == kKindRecognised) {
        next.devicePath = sel.logicalDevicePath;
    }

    const std::uint64_t listedEnd = end;
    if (sel.diskTotalSectors != 0 && end > start && end - start > sel.diskTotalSectors) end = sel.diskTotalSectors;

    if (end == 0) return makeError(Errc::InvalidArgument, std::string(kEndSectorRefused));

    next.target.startSector = start;
    next.target.endSector = end;
    next.target.listedStartSector = start;
    next.target.listedEndSector = listedEnd;
    state = std::move(next);
    outcome.rangeText = searchRangeText(start, end);
    return outcome;
}

Result<TargetOutcome> setRangeTarget(TargetState& state, const TargetSelection& sel, std::string_view mode,
                                     std::uint64_t chosenStart, std::uint64_t chosenEnd, std::uint64_t minSector,
                                     std::uint64_t maxSector) {
    if (chosenEnd <= chosenStart) return makeError(Errc::InvalidArgument, std::string(kEndSectorRefused));

    TargetOutcome outcome;
    TargetState next = startFrom(state, sel, mode, chosenStart, chosenEnd);
    std::uint64_t start = chosenStart;
    std::uint64_t end = chosenEnd;

    if (sel.kind == kKindLogical && sel.volumeOnDisk) {
        // Move the chosen range onto the disk behind the drive.
        const auto& v = *sel.volumeOnDisk;
        next.devicePath = physicalDrivePath(v.disk);
        next.target.diskIndex = static_cast<std::uint16_t>(v.disk);
        start = v.firstSector + (chosenStart - std::min(chosenStart, minSector));
        const std::uint64_t cut = maxSector - std::min(maxSector, chosenEnd);
        end = v.endSector - std::min(v.endSector, cut);
        if (sel.diskTotalSectors != 0) end = std::min(end, sel.diskTotalSectors);
        if (v.dynamic) outcome.noticePrefix = std::string(kDynamicDiskNotice);
    } else if (sel.kind == kKindLogical || sel.kind == kKindRecognised) {
        next.devicePath = sel.logicalDevicePath;
    }
    if (end <= start) return makeError(Errc::InvalidArgument, std::string(kEndSectorRefused));

    next.target.startSector = start;
    next.target.endSector = end;
    if (mode == "Deep Search") {
        // The listed range is the selected item itself, whatever range was chosen inside it.
        if (sel.kind == kKindHardDisk) {
            next.target.listedStartSector = 0;
            next.target.listedEndSector = sel.diskTotalSectors;
        } else if (sel.kind == kKindLogical && sel.volumeOnDisk) {
            next.target.listedStartSector = sel.volumeOnDisk->firstSector;
            next.target.listedEndSector = sel.diskTotalSectors;
        } else {
            next.target.listedStartSector = sel.start;
            next.target.listedEndSector = sel.end;
        }
    }
    state = std::move(next);
    outcome.rangeText = searchRangeText(start, end);
    return outcome;
}

} // namespace snapmend::device
