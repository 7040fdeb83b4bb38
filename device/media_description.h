// The media the program lists, on a machine without drive letters: disk and volume images (or
// block devices) named on the command line or in a JSON media description, and the removable disks
// sysfs reports. attachMedia attaches them and describes them the way the drive queries do.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "device/device_map.h"
#include "device/drive_enum.h"
#include "device/sysfs_disks.h"

namespace snapmend::device {

// Geometry of an image disk that describes none: 512-byte sectors, 63 per track, 255 heads.
inline constexpr std::uint32_t kDefaultBytesPerSector = 512;
inline constexpr std::uint32_t kDefaultSectorsPerTrack = 63;
inline constexpr std::uint32_t kDefaultHeads = 255;

struct DiskDescription {
    std::string path;
    std::optional<std::string> model;  // the product; shown as model + bus + " Device"
    std::string vendor;
    std::string revision;
    std::string serial;
    std::string bus = "USB";
    bool removable = true;
    std::uint32_t bytesPerSector = kDefaultBytesPerSector;
    std::uint32_t sectorsPerTrack = kDefaultSectorsPerTrack;
    std::uint32_t heads = kDefaultHeads;
    std::optional<std::uint64_t> cylinders;  // default: size / (heads x sectors per track x bytes)
};

struct VolumeDescription {
    std::string path;
    std::optional<char> letter;  // must be the next free letter
    std::optional<std::string> label;       // default: the boot sector's label
    std::optional<std::string> fileSystem;  // default: the boot sector's file system
    std::optional<std::uint32_t> serial;    // default: the boot sector's serial number
    std::uint64_t freeBytes = 0;
    bool removable = true;
};

struct MediaDescription {
    std::optional<std::string> computerName;  // default: the host name
    std::vector<DiskDescription> disks;
    std::vector<VolumeDescription> volumes;
};

// Parses a JSON media description; relative paths are taken from baseDir.
Result<MediaDescription> parseMediaDescription(std::string_view json, const std::filesystem::path& baseDir);
Result<MediaDescription> readMediaDescription(const std::filesystem::path& file);

// The default geometry of an image disk of sizeBytes.
PhysicalDiskInfo imageDiskInfo(int number, std::uint64_t sizeBytes, const DiskDescription& description);

// What a volume's boot sector tells: file system, label and serial number.
struct BootSectorVolume {
    std::string fileSystem;  // "FAT32", "FAT16", "NTFS" or empty
    std::string label;
    std::uint32_t serial = 0;
};
BootSectorVolume readVolumeBootSector(const DeviceMap& devices, std::string_view logicalDevicePath);

// Attaches the described disks, then the removable sysfs disks that are not attached already,
// then the described volumes and the partitions of those sysfs disks that are block devices, and
// returns their descriptions. A path that cannot be opened is an error for a described medium
// and skipped (it is noted) for a sysfs one.
Result<MachineDrives> attachMedia(DeviceMap& devices, const MediaDescription& media,
                                  const std::vector<SysfsDisk>& sysfsDisks, std::vector<std::string>& notes);

std::string hostComputerName();

} // namespace snapmend::device
