// How the command line turns an image path and its options into a scan target: a partition of a
// disk image, or a volume image (or stick) whose sector 0 is itself a boot sector.
#pragma once

#include <optional>
#include <string>

#include "device/device_map.h"
#include "device/scan_target.h"

namespace snapmend::cli {

struct TargetChoice {
    std::string image;
    std::optional<unsigned long> partition;  // 1-based, as labelled
    bool forceVolume = false;
};

struct ChosenTarget {
    device::TargetState state;
    std::string logicalDevicePath;  // set when the image is taken as a logical drive
    std::string description;        // for the first output line
    std::string rangeText;
    device::TargetSelection selection;  // what the target was filled from, for a chosen range
};

// The file system a boot sector announces ("FAT32", "FAT16", "NTFS"), or empty.
std::string bootSectorFileSystem(const device::DeviceMap& devices, const std::string& path, std::uint64_t sector);

// Attaches the image to devices and fills the target for mode. Throws UsageError for a bad
// partition number; returns an error text (exit 2 for an unreadable image, 1 otherwise) through
// the failure fields.
struct ChooseFailure {
    int exitCode = 0;
    std::string text;
};
std::optional<ChosenTarget> chooseTarget(device::DeviceMap& devices, const TargetChoice& choice, std::string_view mode,
                                         ChooseFailure& failure);

} // namespace snapmend::cli
