// The logical drive search over a drive's own sectors, the "Recognised" items it adds, and what
// selecting one of them sets.
#include "device/logical_drive_search.h"

#include <algorithm>
#include <vector>

#include "common/bytes.h"
#include "common/progress_throttle.h"
#include "common/text.h"
#include "device/partition_search.h"
#include "device/partition_table.h"

namespace snapmend::device {

namespace {

// Image index of a "Recognised" item.
constexpr int kRecognisedItemImage = 0;
constexpr std::uint64_t kFourGiSectors = std::uint64_t{1} << 32;

struct Found {
    std::string_view fs;
    std::uint64_t total = 0;
};

std::optional<Found> recognise(const ByteReader& r, std::uint64_t driveEnd) {
    if (r.le8(510) != 0x55 || r.le8(511) != 0xAA) return std::nullopt;
    if (r.matches(3, "NTFS")) {
        std::uint64_t t = *r.le64(40) & 0xFFFFFFFFu;
        // A volume that claims more than the drive holds ends with the drive.
        if (driveEnd < kFourGiSectors && t > driveEnd) t = driveEnd;
        if (t == 0) return std::nullopt;
        return Found{"NTFS", t};
    }
    if (r.matches(57, "16")) {
        // Small FAT16 volumes keep their size in the 16-bit field and leave the 32-bit one 0.
        std::uint64_t t = *r.le32(32);
        if (t == 0) t = *r.le16(19);
        if (t == 0) return std::nullopt;
        return Found{"FAT16", t};
    }
    return std::nullopt;
}

// The hidden layout columns of a FAT16 row, as the volume parameters name them.
void fillFat16Layout(WorkTable::Row& row, const ByteReader& r, std::uint64_t s) {
    const std::uint64_t spc = *r.le8(13);
    const std::uint64_t reserved = *r.le16(14);
    const std::uint64_t rootSec = *r.le16(17) / 16;
    const std::uint64_t spf = *r.le16(22);
    const std::uint64_t rootStart = s + reserved + 2 * spf;
    row[kFfSPF] = decimal(spf);
    row[kFfSPC] = decimal(spc);
    row[kFfRootSec] = decimal(rootSec);
    row[kFfRootStartSec] = decimal(rootStart);
    row[kFfReserveSecStart] = decimal(reserved);
    row[kFfCluster0Start] = decimal(rootStart + rootSec - std::min(rootStart + rootSec, 2 * spc));
    row[kFfFirstFAT] = decimal(s + reserved);
    row[kFfSecondFAT] = decimal(s + reserved + spf);
}

std::size_t rowsWithKey(const WorkTable& list, std::string_view key) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < list.rowCount(); ++i)
        if (list.cell(i, kFfSNo) == key) ++n;
    return n;
}

} // namespace

std::vector<std::string> foundFsColumns() {
    return {"SNo",          "Found File System", "File System Name", "Start Sector", "End Sector", "Size",
            "SPF",          "SPC",               "RootSec",          "RootStartSec", "ReserveSecStart",
            "Cluster0Start", "firstFAT",         "secondFAT",        "Total Sectors", "partType"};
}

std::string driveKey(std::string_view logicalDevicePath) { return "Log|" + std::string(logicalDevicePath) + "|"; }

LogicalSearchResult searchLogicalDrive(const DeviceMap& devices, ItemTree& tree, WorkTable& FoundFsList,
                                       const LogicalSearchRequest& request, EngineSink& sink, std::stop_token stop) {
    LogicalSearchResult result;
    const std::string chars = request.driveLabel.substr(0, 2);
    const std::string key = driveKey(request.logicalDevicePath);
    if (FoundFsList.columnCount() == 0) FoundFsList = WorkTable(foundFsColumns());

    DeviceHandle handle = devices.openDevice(request.logicalDevicePath);
    if (handle) {
        result.deviceOpened = true;
        handle.adviseSequential();
        // Never past the drive's own end, whatever its property list says.
        const std::uint64_t end = std::min(request.endSector, handle.sectorCount());
        sink.status(kSearchingPartitionsText);
        ProgressThrottle throttle(sink);
        std::vector<std::byte> block(std::size_t{kLogicalSearchBlockSectors} * kSectorSize);
        for (std::uint64_t b = 0; b < end; b += kLogicalSearchBlockSectors) {
            if (stop.stop_requested()) {
                result.stopped = true;
                break;
            }
            throttle.update(b, end);
            const std::size_t got = handle.readAt(b << kSectorShift, block);
            // The last block of a drive is usually partial: test the sectors that were read.
            const std::uint64_t sectors = std::min<std::uint64_t>(got / kSectorSize, end - b);
            result.sectorsRead += sectors;
            for (std::uint64_t i = 0; i < sectors; ++i) {
                const ByteReader r{Bytes(block).subspan(static_cast<std::size_t>(i) * kSectorSize, kSectorSize)};
                const auto found = recognise(r, request.endSector);
                if (!found) continue;
                const std::uint64_t s = b + i;
                const std::string startText = decimal(s);
                const std::string endText = decimal(s + found->total);
                bool listed = false;
                for (std::size_t row = 0; row < FoundFsList.rowCount() && !listed; ++row)
                    listed = FoundFsList.cell(row, kFfSNo) == key &&
                             FoundFsList.cell(row, kFfFileSystemName) == found->fs &&
                             FoundFsList.cell(row, kFfStartSector) == startText &&
                             FoundFsList.cell(row, kFfEndSector) == endText;
                if (listed) continue;
                const std::string n = decimal(static_cast<std::uint64_t>(rowsWithKey(FoundFsList, key) + 1));
                const std::string size = decimal((found->total << kSectorShift) >> 20) + " MB";
                WorkTable::Row row(foundFsColumns().size());
                row[kFfSNo] = key;
                row[kFfFoundFileSystem] = std::string(kRecognised) + n;
                row[kFfFileSystemName] = std::string(found->fs);
                row[kFfStartSector] = startText;
                row[kFfEndSector] = endText;
                row[kFfSize] = size;
                if (found->fs == "FAT16") fillFat16Layout(row, r, s);
                row[kFfTotalSectors] = decimal(found->total);
                row[kFfPartType] = std::string(found->fs);
                FoundFsList.append(std::move(row));
                ++result.foundCount;
                if (tree.valid(request.driveItem)) {
                    const ItemId item = tree.insert(request.driveItem,
                                                    std::string(kRecognised) + n + " - " + size + " - " +
                                                        std::string(found->fs),
                                                    kRecognisedItemImage);
                    tree.expand(request.driveItem);
                    result.added.push_back(item);
                    result.lastAdded = item;
                }
            }
        }
        if (!result.stopped) throttle.update(end, end);
        throttle.flush();
    }
    result.message = describeSearchResult(result.foundCount, "Drive", 0, chars);
    return result;
}

RecognisedSelection selectRecognisedItem(const ItemTree& tree, ItemId item, const WorkTable& FoundFsList,
                                         const std::vector<std::string>& logDriveTable) {
    RecognisedSelection sel;
    if (!tree.valid(item) || !tree.valid(tree.parent(item)) || FoundFsList.columnCount() <= kFfPartType) return sel;
    const std::string chars = tree.label(tree.parent(item)).substr(0, 2);
    sel.logicalDevicePath = "\\\\.\\" + chars;
    const std::string key = driveKey(sel.logicalDevicePath);
    for (std::size_t r = 0; r < FoundFsList.rowCount(); ++r)
        if (startsWith(FoundFsList.cell(r, kFfSNo), key)) {
            const auto& row = FoundFsList.row(r);
            sel.view.emplace_back(row.begin() + 1, row.end());
        }

    const std::string& label = tree.label(item);
    const std::string name = trim(label.substr(0, label.find('-')));
    const std::uint64_t n = name.size() > kRecognised.size() ? parseU64(name.substr(kRecognised.size())) : 0;
    const auto lastDash = label.rfind('-');
    sel.fileSystemChoice = normaliseFsName(lastDash == std::string::npos ? label : label.substr(lastDash + 1));
    if (n == 0 || n > sel.view.size()) return sel;

    // View columns are FoundFsList's columns shifted left by one.
    sel.startSector = parseU64(sel.view[n - 1][kFfStartSector - 1]);
    sel.endSector = parseU64(sel.view[n - 1][kFfEndSector - 1]);
    sel.maxSector = sel.endSector;
    for (const auto& entry : logDriveTable) {
        if (!contains(entry, chars)) continue;
        const auto bar = entry.rfind('|');
        if (bar != std::string::npos && bar + 1 < entry.size()) {
            sel.maxSector = parseU64(entry.substr(bar + 1));
            break;
        }
    }
    sel.endSector = std::min(sel.endSector, sel.maxSector);
    for (std::size_t r = 0; r < FoundFsList.rowCount(); ++r)
        if (FoundFsList.cell(r, kFfSNo) == key && FoundFsList.cell(r, kFfFoundFileSystem) == name) {
            sel.listedStartSector = FoundFsList.u64At(r, kFfStartSector);
            break;
        }
    sel.valid = true;
    return sel;
}

void appendRecognisedDeepNtfsRows(WorkTable& deepNtfsVolumeList, const WorkTable& FoundFsList,
                                  std::string_view logicalDevicePath, std::uint64_t driveSectors) {
    const std::string key = driveKey(logicalDevicePath);
    for (std::size_t r = 0; r < FoundFsList.rowCount(); ++r) {
        if (FoundFsList.cell(r, kFfSNo) != key) continue;
        const std::uint64_t end = std::min(FoundFsList.u64At(r, kFfEndSector), driveSectors);
        deepNtfsVolumeList.append({key, decimal(static_cast<std::uint64_t>(deepNtfsVolumeList.rowCount() + 1)),
                                   FoundFsList.cell(r, kFfStartSector), decimal(end), FoundFsList.cell(r, kFfStartSector),
                                   decimal(driveSectors)});
    }
}

} // namespace snapmend::device
