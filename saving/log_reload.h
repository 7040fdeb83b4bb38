// Loading a recovery log back into a session: the mode rules, re-finding the medium the log was
// saved from (the same disk under another number, the same card under another drive letter), and
// rebuilding the tree and tables. The file is parsed in full before anything is applied, so a log
// that fails for any reason leaves the session exactly as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/engine_sink.h"
#include "device/device_map.h"
#include "device/drive_enum.h"
#include "device/sysfs_disks.h"
#include "fsrecovery/session.h"
#include "saving/recovery_log.h"

namespace snapmend::saving {

inline constexpr std::string_view kLogLoaded =
    "The Recovery scanning Log (index of recovered files and folders) has been loaded successfully.";
inline constexpr std::string_view kLoadingTreeStatus = "Please wait, It may take some time to load the tree...";
inline constexpr std::string_view kMediumMovedOrRemoved =
    "Original Media has been moved or removed.\n\nThe drive from which selected recovery Log (index of recovered "
    "files and folders) file was saved, seems to be moved or disconnected. Recovery for selected drive cannot "
    "continue with this log file. Please select the correct drive from tree and continue with recovery.";
inline constexpr std::string_view kSwitchToDeepQuestion =
    "The Log that you have selected was saved in deep Recovery mode. Do you want to switch to Deep mode of "
    "Kestrevan \u2013 Recovery?";
inline constexpr std::string_view kSwitchToBasicQuestion =
    "The Log that you have selected was saved in basic Recovery mode. Do you want to switch to Basic mode of "
    "Kestrevan \u2013 Recovery?";

// "Original Media connection order on Disk number '1' has been replaced with media of disk number
// '2' since you saved the selected recovery Log.\n\nDo you want to continue?"
std::string diskReplacedQuestion(std::string_view savedNumber, std::string_view newNumber);
// The same for drive letters, naming the two device paths.
std::string driveReplacedQuestion(std::string_view savedPath, std::string_view newPath);

// The identity texts of the attached disks (model||size||sectors||number) and the texts of the
// attached logical drives (path|sectors): the drive list's diskIdentityTable and logDriveTable.
struct MediaTables {
    std::vector<std::string> diskIdentityTable;
    std::vector<std::string> logDriveTable;
};

// The identity a volume image read through a disk of its own gets: the one the drive listing
// gives the same image attached as a disk (its file name as the model, its size, its disk
// number). The physical listing skips such disks, yet a target read through one is logged in the
// PHY form; this keeps its identity the same from run to run and whichever way it is attached.
std::string volumeImageIdentity(const device::DeviceMap& devices, int disk);

// The tables of a drive list built over devices, with volumeImageIdentity appended for every
// volume-only disk.
MediaTables mediaTablesOf(const device::DeviceMap& devices, const device::DriveList& list);

// Describes the attached media as the drive queries would: a disk by what sysfs says of the block
// device it is (model, vendor, bus), otherwise by its file name as an undescribed image; every
// volume as a removable drive. Volume-only disks are left out, as the physical listing skips them.
device::MachineDrives describeAttachedMedia(const device::DeviceMap& devices,
                                            const std::vector<device::SysfsDisk>& sysfsDisks = {});

// listDrives over describeAttachedMedia, then mediaTablesOf: what a log is written and re-found with.
MediaTables attachedMediaTables(const device::DeviceMap& devices,
                                const std::vector<device::SysfsDisk>& sysfsDisks = {});

// The main dialog's part of a load: a log to load without asking, and the mode-switch flag.
struct LogLoadState {
    std::string pendingLogPath;
    bool switching = false;
};

enum class LoadStatus : std::uint8_t {
    Loaded,
    NotOpened,        // the file cannot be opened: nothing is shown
    WrongMagic,       // kLogWrongMagic was shown
    Corrupt,          // kLogCorrupted was shown
    SwitchMode,       // the user agreed to load the log in the other mode: pendingLogPath holds it
    SwitchDeclined,
    MediumMissing,    // kMediumMovedOrRemoved was shown
    MediumRefused,    // the user did not accept the replacement medium
};

struct LoadOutcome {
    LoadStatus status = LoadStatus::NotOpened;
    std::uint32_t logMode = 0;
    bool endProgram = false;          // a pending log that cannot be opened ends the program
    std::uint64_t recoveredItems = 0;  // 10 after a load: enough to offer Save and Save Log
    std::string rangeText;            // "Search Range : ..." of the loaded target
    std::string devicePath;           // where the medium was found
};

// Loads path (empty: state.pendingLogPath) into session for the dialog of dialogMode (1 or 2).
// Messages and questions go through sink. Only a Loaded outcome changes the session.
LoadOutcome LoadRecoveryLog(fsrecovery::Session& session, std::uint32_t dialogMode, std::filesystem::path path,
                            const MediaTables& tables, LogLoadState& state, EngineSink& sink);

// Puts a parsed log into session: target, parameters, tree (AddFolder in its log-loading form),
// tables. devicePath is where the medium was found.
void applyRecoveryLog(fsrecovery::Session& session, RecoveryLog log, const std::string& devicePath,
                      EngineSink& sink);

} // namespace snapmend::saving
