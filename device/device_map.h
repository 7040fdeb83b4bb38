// The device layer: maps the device paths the engines use ("\\.\PhysicalDrive%d" for a whole
// disk, "\\.\E:" for a logical drive) to attached media (image files or block devices) and
// reads whole 512-byte sectors from them. Every medium is opened read-only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace snapmend::device {

inline constexpr std::size_t kSectorSize = 512;
// One sector's bytes, and a read-only view of them.
using Sector = std::array<std::byte, kSectorSize>;
using SectorView = std::span<const std::byte, kSectorSize>;
inline constexpr std::uint32_t kSectorShift = 9;
// Disk numbers index DevicePathTable; every per-disk table has this many entries.
inline constexpr int kMaxDisks = 26;
inline constexpr char kFirstVolumeLetter = 'E';

// "\\.\PhysicalDrive" + number, as the engines name a whole disk.
std::string physicalDrivePath(int disk);
// "\\.\" + letter + ":", a logical drive.
std::string logicalDrivePath(char letter);
// The disk number in a "\\.\PhysicalDrive%d" path, or nullopt.
std::optional<int> diskNumberOf(std::string_view path);
// The drive letter in a "\\.\E:" path, or nullopt.
std::optional<char> volumeLetterOf(std::string_view path);

// "\\.\PhysicalDrive0" .. "\\.\PhysicalDrive25", filled once and never changed.
extern const std::array<std::string, kMaxDisks> DevicePathTable;

// 'N' (sector reads through the operating system's file interface) is the only access mode here.
char detectAccessMode();

// One opened read-only file or block device.
class Medium;

// An open handle on a device path, for long scans: openDevice once, then seekDevice and read.
// Copies share the underlying descriptor; each copy has its own position.
class DeviceHandle {
public:
    DeviceHandle() = default;
    bool valid() const { return m_medium != nullptr; }
    explicit operator bool() const { return valid(); }

    // Bytes of the device (the volume's length for a logical drive).
    std::uint64_t sizeBytes() const { return m_length; }
    std::uint64_t sectorCount() const { return m_length >> kSectorShift; }

    // Positions at an absolute byte offset of the device; returns it (all ones on failure).
    std::uint64_t seek(std::uint64_t byteOffset);
    std::uint64_t position() const { return m_position; }

    // Reads at the current position and advances by the bytes read. Returns the bytes read;
    // the part of the buffer that could not be read is zero-filled, so a short read never
    // leaves an earlier block's bytes looking like new data.
    std::size_t read(std::span<std::byte> buffer);
    // Reads at an absolute byte offset without moving the position; same zero-fill rule.
    std::size_t readAt(std::uint64_t byteOffset, std::span<std::byte> buffer) const;

    // Tells the kernel the handle will be read front to back.
    void adviseSequential() const;

private:
    friend class DeviceMap;
    DeviceHandle(std::shared_ptr<const Medium> medium, std::uint64_t base, std::uint64_t length)
        : m_medium(std::move(medium)), m_base(base), m_length(length) {}

    std::shared_ptr<const Medium> m_medium;
    std::uint64_t m_base = 0;    // byte offset of the device's first byte on the medium
    std::uint64_t m_length = 0;  // bytes the device spans
    std::uint64_t m_position = 0;
};

// seekDevice(handle, byte offset): the new position, or all ones on failure.
std::uint64_t seekDevice(DeviceHandle& handle, std::uint64_t byteOffset);

struct AttachedDisk {
    int number = 0;
    std::string path;        // image file or block device
    std::uint64_t sizeBytes = 0;
    bool volumeOnly = false;  // a volume image read through itself: not listed as a physical disk
    bool blockDevice = false;
};

struct AttachedVolume {
    char letter = 0;
    int disk = 0;                 // disk the volume is read through
    std::uint64_t firstSector = 0;  // first sector of the volume on that disk
    std::uint64_t sectorCount = 0;
    std::string path;
};

class DeviceMap {
public:
    // sysfsRoot is where partition block devices are traced back to their disk (tests use a fake tree).
    explicit DeviceMap(std::string sysfsRoot = "/sys");
    ~DeviceMap();
    DeviceMap(const DeviceMap&) = delete;
    DeviceMap& operator=(const DeviceMap&) = delete;

    char accessMode() const { return m_accessMode; }

    // Attaches an image file or block device as the next physical disk; returns its number.
    Result<int> attachDisk(const std::string& path);
    // Attaches an image file or block device as the next logical drive (E:, F:, ...). A volume
    // image gets a disk number of its own with the volume at sector 0; a partition of a real
    // disk is mapped onto that disk (attached as well when it is not yet) and its start.
    Result<char> attachVolume(const std::string& path);

    const std::vector<AttachedDisk>& disks() const { return m_disks; }
    const std::vector<AttachedVolume>& volumes() const { return m_volumes; }
    const AttachedDisk* disk(int number) const;
    const AttachedVolume* volume(char letter) const;

    // Reads count whole sectors from startSector of the device into buffer. True only when all
    // count x 512 bytes were read. A path that names no device, or a buffer that is too small,
    // leaves the buffer untouched; a short read zero-fills what could not be read.
    bool readSectors(std::string_view path, std::uint64_t startSector, std::uint32_t count,
                     std::span<std::byte> buffer) const;

    // Opens the device read-only for a long scan; an invalid handle when the path names nothing.
    DeviceHandle openDevice(std::string_view path) const;

    // deviceOpens: whether the path can be opened at all.
    bool deviceOpens(std::string_view path) const { return openDevice(path).valid(); }

private:
    std::shared_ptr<const Medium> mediumOf(int disk) const;

    std::string m_sysfsRoot;
    char m_accessMode;
    std::vector<AttachedDisk> m_disks;
    std::vector<AttachedVolume> m_volumes;
    std::vector<std::shared_ptr<const Medium>> m_media;  // parallel to m_disks
};

} // namespace snapmend::device
