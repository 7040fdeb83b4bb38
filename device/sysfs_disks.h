// Removable block devices as Linux describes them under /sys/block: size, block size, vendor,
// model, revision, serial, the bus taken from the device's sysfs path, and the partitions with
// their start and size. The root is a parameter so tests read a fake tree.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace snapmend::device {

struct SysfsPartition {
    std::string name;
    std::filesystem::path devNode;
    std::uint64_t startSector = 0;  // 512-byte units, as sysfs counts
    std::uint64_t sectorCount = 0;
};

struct SysfsDisk {
    std::string name;  // sdb, mmcblk0
    std::filesystem::path devNode;
    bool removable = false;
    std::uint64_t sizeSectors = 0;  // 512-byte units; 0 when no medium is in the reader
    std::uint32_t logicalBlockSize = 512;
    int busType = 0;  // index of the bus-name table
    std::string vendor;
    std::string model;
    std::string revision;
    std::string serial;
    std::vector<SysfsPartition> partitions;

    std::uint64_t sizeBytes() const { return sizeSectors * 512; }
};

// The bus type of a device from its resolved sysfs path ("/usb" USB, "/ata" ATA, "/mmc" the SD
// bus slot, "/host" SCSI), 0 when none shows.
int busTypeFromSysfsPath(std::string_view devicePath);

// Every whole disk under sysfsRoot/block, by name; devRoot is where the device nodes are.
// Loop, RAM and device-mapper devices are left out: they are no medium of their own.
std::vector<SysfsDisk> readSysfsDisks(const std::filesystem::path& sysfsRoot, const std::filesystem::path& devRoot);

} // namespace snapmend::device
