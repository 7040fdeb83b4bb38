// Layout numbers of the target volume (FAT16, FAT32, NTFS), computed from its boot sector or,
// for a FAT volume whose boot sector is unusable, by scanning for the FAT and directory clusters.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

#include "common/engine_sink.h"

namespace snapmend::device {

class DeviceMap;
struct TargetState;

// Field names are the program's own column names; widths are those the recovery log stores.
// All sector numbers are absolute on the device named by devicePath.
struct VolumeParams {
    std::uint32_t SPF = 0;              // sectors per FAT
    std::uint32_t SPC = 0;              // sectors per cluster
    std::uint32_t RootSec = 0;          // FAT16 root-directory sectors
    std::uint32_t RootStartSec = 0;     // FAT16: first root sector; FAT32: root cluster
    std::uint32_t ReserveSecStart = 0;  // reserved-sector count
    std::uint64_t Cluster0Start = 0;    // sector where cluster 0 would begin; NTFS: volume start
    std::uint32_t firstFAT = 0;
    std::uint32_t secondFAT = 0;
    std::string partType;               // file-system name, only in activeParams
    std::uint64_t mftStart = 0;
    std::uint64_t mftMirrStart = 0;
    std::uint32_t sectorsPerMftRecord = 0;
    std::uint32_t sectorsPerIndexRecord = 0;

    // First sector of FAT cluster c (c >= 2).
    std::uint64_t clusterSector(std::uint64_t c) const { return Cluster0Start + c * SPC; }
    bool operator==(const VolumeParams&) const = default;
};

// Reads the boot sector of the target's volume and writes state.calculatedParams. The
// logicalDevicePath is the drive's own path, used for the second $MFT attempt of a "Logical" target.
// Silent: false means the caller decides what to do.
bool computeVolumeParams(const DeviceMap& devices, TargetState& state, std::string_view logicalDevicePath);

// Scans the volume for the first FAT sector and for two directory clusters that fix the cluster
// size and data start; writes state.calculatedParams. Reads in large blocks through one handle,
// reports progress through the sink (throttled) and stops within one block once stop is requested.
bool searchFatParams(const DeviceMap& devices, TargetState& state, EngineSink& sink, std::stop_token stop);

// Copies calculatedParams into activeParams the way the Basic Search driver does, and sets
// activeParams.partType to the target's file system.
void activateParams(TargetState& state);

inline constexpr std::string_view kCalculatingParamsText = "Calculating Partition Params: ";
inline constexpr std::string_view kValidatingPartitionText = "Validating Partition ...";
inline constexpr std::string_view kUnableToCalculateParams =
    "Unable to calculate partition parameters.\n\nPlease select the partition from the list of Logical Drive or "
    "click on \u2018Search more Partitions\u2019 in case of deleted or missing Drives.";

} // namespace snapmend::device
