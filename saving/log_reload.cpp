#include "saving/log_reload.h"

#include "common/progress_throttle.h"
#include "common/text.h"
#include "device/media_description.h"
#include "device/scan_target.h"
#include "fsrecovery/fat/fat_walker.h"
#include "fsrecovery/folder_listing.h"

namespace snapmend::saving {

namespace {

// A disk identity splits before its last "||": the description and size, then the disk number.
struct IdentityParts {
    std::string head;
    std::string number;
};
IdentityParts splitIdentity(std::string_view identity) {
    const auto bar = identity.rfind("||");
    if (bar == std::string_view::npos) return {std::string(identity), {}};
    std::string number;
    for (const char c : identity.substr(bar + 2))
        if (c != '|') number += c;
    return {std::string(identity.substr(0, bar)), trim(number)};
}

std::string afterLastBar(std::string_view text) {
    const auto bar = text.rfind('|');
    return bar == std::string_view::npos ? std::string() : std::string(text.substr(bar + 1));
}

// Disk numbers a table may name; anything else is no disk this program can open.
std::optional<int> diskNumber(std::string_view text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos || text.size() > 3)
        return std::nullopt;
    const int n = parseInt32(text);
    if (n >= device::kMaxDisks) return std::nullopt;
    return n;
}

enum class Found : std::uint8_t { Yes, Missing, Refused };

Found findPhysical(const LogMedia& media, const MediaTables& tables, EngineSink& sink, LogLoadState& state,
                   std::string& devicePath) {
    const std::string saved = trim(media.diskIdentity);
    for (const auto& entry : tables.diskIdentityTable) {
        if (trim(entry) != saved) continue;
        devicePath = device::physicalDrivePath(media.currentDisk);
        return Found::Yes;
    }
    const IdentityParts savedParts = splitIdentity(saved);
    for (const auto& entry : tables.diskIdentityTable) {
        const IdentityParts parts = splitIdentity(trim(entry));
        if (parts.head != savedParts.head) continue;
        const auto number = diskNumber(parts.number);
        if (!number) continue;
        if (sink.ask(diskReplacedQuestion(savedParts.number, parts.number)) != Answer::Yes) return Found::Refused;
        state.pendingLogPath.clear();
        devicePath = device::physicalDrivePath(*number);
        return Found::Yes;
    }
    return Found::Missing;
}

Found findLogical(const LogMedia& media, const MediaTables& tables, EngineSink& sink, LogLoadState& state,
                  std::string& devicePath) {
    const std::string count = decimal(media.sectorCount);
    const std::string key = media.drivePath + "|" + count;
    for (const auto& entry : tables.logDriveTable) {
        if (entry != key) continue;
        devicePath = media.drivePath;
        return Found::Yes;
    }
    // The first drive of the same size is offered.
    for (const auto& entry : tables.logDriveTable) {
        if (afterLastBar(entry) != count) continue;
        const std::string path = entry.substr(0, entry.rfind('|'));
        if (sink.ask(driveReplacedQuestion(media.drivePath, path)) != Answer::Yes) return Found::Refused;
        state.pendingLogPath.clear();
        devicePath = path;
        return Found::Yes;
    }
    return Found::Missing;
}

LoadOutcome ended(LoadStatus status, LogLoadState& state) {
    state.pendingLogPath.clear();
    LoadOutcome outcome;
    outcome.status = status;
    return outcome;
}

} // namespace

std::string diskReplacedQuestion(std::string_view savedNumber, std::string_view newNumber) {
    return "Original Media connection order on Disk number '" + std::string(savedNumber) +
           "' has been replaced with media of disk number '" + std::string(newNumber) +
           "' since you saved the selected recovery Log.\n\nDo you want to continue?";
}

std::string driveReplacedQuestion(std::string_view savedPath, std::string_view newPath) {
    return "Original Media connection order on Drive letter '" + std::string(savedPath) +
           "' has been replaced with media of drive letter '" + std::string(newPath) +
           "' since you saved the selected recovery Log.\n\nDo you want to continue?";
}

namespace {

// A medium named by the user is described as removable even when sysfs calls it fixed: otherwise
// the listing would give it no identity and a log of it could never be re-found.
device::DiskDescription describeDisk(const device::AttachedDisk& disk, const std::vector<device::SysfsDisk>& sysfs) {
    device::DiskDescription d;
    d.path = disk.path;
    for (const auto& s : sysfs) {
        if (s.devNode.string() != disk.path) continue;
        d.model = s.model;
        d.vendor = s.vendor;
        d.revision = s.revision;
        d.serial = s.serial;
        d.bus = device::busName(s.busType);
        d.bytesPerSector = s.logicalBlockSize;
        break;
    }
    return d;
}

// Every drive record carries a mode name; none of the tables depends on it.
constexpr std::string_view kListingMode = "Basic Search";

} // namespace

std::string volumeImageIdentity(const device::DeviceMap& devices, int disk) {
    const device::AttachedDisk* d = devices.disk(disk);
    if (!d) return {};
    device::MachineDrives machine;
    machine.disks.push_back(device::imageDiskInfo(disk, d->sizeBytes, describeDisk(*d, {})));
    device::DriveList list;
    device::resetDriveList(list);
    device::listPhysicalDisks(devices, machine, kListingMode, list);
    return list.diskIdentityTable.empty() ? std::string() : list.diskIdentityTable.front();
}

MediaTables mediaTablesOf(const device::DeviceMap& devices, const device::DriveList& list) {
    MediaTables tables{list.diskIdentityTable, list.logDriveTable};
    for (const auto& disk : devices.disks())
        if (disk.volumeOnly)
            if (auto identity = volumeImageIdentity(devices, disk.number); !identity.empty())
                tables.diskIdentityTable.push_back(std::move(identity));
    return tables;
}

device::MachineDrives describeAttachedMedia(const device::DeviceMap& devices,
                                            const std::vector<device::SysfsDisk>& sysfsDisks) {
    device::MachineDrives machine;
    for (const auto& disk : devices.disks())
        if (!disk.volumeOnly)
            machine.disks.push_back(device::imageDiskInfo(disk.number, disk.sizeBytes, describeDisk(disk, sysfsDisks)));
    for (const auto& volume : devices.volumes()) {
        device::LogicalDriveInfo info;
        info.letter = volume.letter;
        info.totalBytes = volume.sectorCount << device::kSectorShift;
        machine.drives.push_back(std::move(info));
    }
    return machine;
}

MediaTables attachedMediaTables(const device::DeviceMap& devices, const std::vector<device::SysfsDisk>& sysfsDisks) {
    device::DriveList list;
    device::listDrives(devices, describeAttachedMedia(devices, sysfsDisks), kListingMode, list);
    return mediaTablesOf(devices, list);
}

void applyRecoveryLog(fsrecovery::Session& session, RecoveryLog log, const std::string& devicePath,
                      EngineSink& sink) {
    session.clearResults();
    auto& state = session.target;
    state.targetKind = std::move(log.targetKind);
    state.target = std::move(log.target);
    state.calculatedParams = std::move(log.calculatedParams);
    state.activeParams = std::move(log.activeParams);
    state.devicePath = devicePath;
    session.logicalDevicePath = device::volumeLetterOf(devicePath) ? devicePath : std::string();

    auto& rt = session.recovered;
    const bool ntfs = state.activeParams.partType == "NTFS";
    rt.deepSearch = log.deep();
    rt.ntfsDates = ntfs;
    if (!ntfs && !log.deep()) {
        // As after a scan: expanding a FAT folder names its child folders from its directory.
        rt.tree.setExpandingHandler([&session](ItemTree&, ItemId item) {
            const auto node = session.recovered.nodeOf(item);
            if (node != fsrecovery::kNoNode) fsrecovery::fat::nameChildFolders(session, node);
        });
    }

    ProgressThrottle throttle(sink);
    const std::uint64_t total = (log.tree.size() - 1) + log.ntfsFiles.size();
    std::uint64_t done = 0;
    rt.loadingLog = true;
    const ItemId root = rt.ensureRoot();
    std::vector<ItemId> items(log.tree.size(), kNoItem);
    items[0] = root;
    for (std::size_t i = 1; i < log.tree.size(); ++i) {
        auto& r = log.tree[i].record;
        items[i] = rt.AddFolder(items[log.tree[i].parent], std::move(r.name), r.selfCluster, r.parentCluster, r.date,
                                r.time, r.deleted != 0, r.cluster0Start);
        throttle.update(++done, total);
    }
    rt.loadingLog = false;

    for (auto& row : log.deepVolumes) session.DeepVolumeList.append(std::move(row));
    for (auto& row : log.ntfsFiles) {
        session.NtfsFileTable.append(std::move(row));
        throttle.update(++done, total);
    }
    session.ntfsReserved = log.ntfsReserved;
    for (auto& row : log.deepNtfsVolumes) session.DeepNtfsVolumeList.append(std::move(row));
    throttle.flush();
    // More than one file record: the listing has something to show.
    session.resultsFound = session.NtfsFileTable.rowCount() >= 2;
    session.loadedFromLog = true;

    rt.tree.expand(root);
    rt.tree.sortChildren(root);
}

LoadOutcome LoadRecoveryLog(fsrecovery::Session& session, std::uint32_t dialogMode, std::filesystem::path path,
                            const MediaTables& tables, LogLoadState& state, EngineSink& sink) {
    const bool fromPending = path.empty();
    if (fromPending) {
        path = state.pendingLogPath;
        state.switching = false;
    }
    sink.status(fsrecovery::countsText(0, 0));

    auto bytes = readLogFile(path);
    if (!bytes) {
        LoadOutcome outcome;
        if (bytes.error().code != kLogErrCorrupt) {
            outcome.endProgram = fromPending;
            return outcome;
        }
        sink.message(MessageKind::Information, kLogCorrupted);
        return ended(LoadStatus::Corrupt, state);
    }

    const auto header = parseLogHeader(*bytes);
    if (!header) {
        const bool magic = header.error().code == kLogErrWrongMagic;
        sink.message(MessageKind::Information, magic ? kLogWrongMagic : kLogCorrupted);
        return ended(magic ? LoadStatus::WrongMagic : LoadStatus::Corrupt, state);
    }
    if (header->mode != dialogMode) {
        const bool otherTreeMode = (dialogMode == kBasicSearchMode && header->mode == kDeepSearchMode) ||
                                   (dialogMode == kDeepSearchMode && header->mode == kBasicSearchMode);
        if (!otherTreeMode) {
            sink.message(MessageKind::Information, kMediumMovedOrRemoved);
            return ended(LoadStatus::MediumMissing, state);
        }
        const auto question = header->mode == kDeepSearchMode ? kSwitchToDeepQuestion : kSwitchToBasicQuestion;
        LoadOutcome outcome;
        outcome.logMode = header->mode;
        if (sink.ask(question) != Answer::Yes) {
            outcome.status = LoadStatus::SwitchDeclined;
            return outcome;
        }
        // The other mode loads the same file without asking for it.
        state.pendingLogPath = path.string();
        state.switching = true;
        outcome.status = LoadStatus::SwitchMode;
        return outcome;
    }

    // Everything is read and checked before the medium is looked for or the session touched.
    auto log = parseRecoveryLog(*bytes);
    if (!log || log->media.form == LogMedia::Form::None) {
        // A media block with an unknown tag names no medium to read the tree's files from.
        sink.message(MessageKind::Information, kLogCorrupted);
        return ended(LoadStatus::Corrupt, state);
    }

    std::string devicePath;
    const Found found = log->media.form == LogMedia::Form::Logical
                            ? findLogical(log->media, tables, sink, state, devicePath)
                            : findPhysical(log->media, tables, sink, state, devicePath);
    if (found == Found::Missing) {
        sink.message(MessageKind::Information, kMediumMovedOrRemoved);
        return ended(LoadStatus::MediumMissing, state);
    }
    if (found == Found::Refused) return ended(LoadStatus::MediumRefused, state);

    LoadOutcome outcome;
    outcome.logMode = log->mode;
    outcome.rangeText = device::searchRangeText(log->target.startSector, log->target.endSector);
    sink.status(outcome.rangeText);
    sink.status(kLoadingTreeStatus);
    applyRecoveryLog(session, std::move(*log), devicePath, sink);

    outcome.status = LoadStatus::Loaded;
    outcome.recoveredItems = 10;
    outcome.devicePath = devicePath;
    sink.status(fsrecovery::countsText(0, 0));
    sink.message(MessageKind::Information, kLogLoaded);
    // Selecting the first item lists the root folder.
    fsrecovery::FolderListingWorker(session, session.recovered.tree.firstItem(), sink);
    return outcome;
}

} // namespace snapmend::saving
