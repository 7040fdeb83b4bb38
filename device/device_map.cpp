#include "device/device_map.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

namespace snapmend::device {

namespace {

constexpr std::string_view kDiskPrefix = "\\\\.\\PhysicalDrive";
constexpr std::string_view kVolumePrefix = "\\\\.\\";

std::array<std::string, kMaxDisks> makeDevicePathTable() {
    std::array<std::string, kMaxDisks> table;
    for (int i = 0; i < kMaxDisks; ++i) table[static_cast<std::size_t>(i)] = physicalDrivePath(i);
    return table;
}

std::string errnoText(int err) { return std::strerror(err); }

} // namespace

const std::array<std::string, kMaxDisks> DevicePathTable = makeDevicePathTable();

std::string physicalDrivePath(int disk) { return std::string(kDiskPrefix) + std::to_string(disk); }

std::string logicalDrivePath(char letter) { return std::string(kVolumePrefix) + letter + ':'; }

std::optional<int> diskNumberOf(std::string_view path) {
    if (path.substr(0, kDiskPrefix.size()) != kDiskPrefix) return std::nullopt;
    const auto digits = path.substr(kDiskPrefix.size());
    if (digits.empty() || digits.size() > 2) return std::nullopt;
    int n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    if (n >= kMaxDisks) return std::nullopt;
    return n;
}

std::optional<char> volumeLetterOf(std::string_view path) {
    if (path.size() != kVolumePrefix.size() + 2 || path.substr(0, kVolumePrefix.size()) != kVolumePrefix ||
        path.back() != ':')
        return std::nullopt;
    char letter = path[kVolumePrefix.size()];
    if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
    if (letter < 'A' || letter > 'Z') return std::nullopt;
    return letter;
}

char detectAccessMode() { return 'N'; }

// An opened read-only descriptor; closed when the last handle goes.
class Medium {
public:
    Medium(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~Medium() { ::close(m_fd); }
    Medium(const Medium&) = delete;
    Medium& operator=(const Medium&) = delete;

    int fd() const { return m_fd; }
    std::uint64_t size() const { return m_size; }

    // pread until the request is met, the medium ends or an error stops it.
    std::size_t readAt(std::uint64_t offset, std::span<std::byte> out) const {
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::pread(m_fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

private:
    int m_fd;
    std::uint64_t m_size;
};

namespace {

struct Opened {
    std::shared_ptr<const Medium> medium;
    bool blockDevice = false;
    dev_t rdev = 0;
};

Result<Opened> openMedium(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return makeError(Errc::Io, "cannot open " + path + ": " + errnoText(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return makeError(Errc::Io, "cannot examine " + path + ": " + errnoText(err));
    }
    std::uint64_t size = 0;
    Opened out;
    if (S_ISREG(st.st_mode)) {
        size = static_cast<std::uint64_t>(st.st_size);
    } else if (S_ISBLK(st.st_mode)) {
        if (::ioctl(fd, BLKGETSIZE64, &size) != 0) {
            const int err = errno;
            ::close(fd);
            return makeError(Errc::Io, "cannot read the size of " + path + ": " + errnoText(err));
        }
        out.blockDevice = true;
        out.rdev = st.st_rdev;
    } else {
        ::close(fd);
        return makeError(Errc::Unsupported, path + " is neither an image file nor a block device");
    }
    out.medium = std::make_shared<const Medium>(fd, size);
    return out;
}

std::optional<std::uint64_t> readSysfsNumber(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::uint64_t v = 0;
    if (!(in >> v)) return std::nullopt;
    return v;
}

} // namespace

std::uint64_t DeviceHandle::seek(std::uint64_t byteOffset) {
    if (!m_medium) return ~std::uint64_t{0};
    m_position = byteOffset;
    return m_position;
}

std::uint64_t seekDevice(DeviceHandle& handle, std::uint64_t byteOffset) { return handle.seek(byteOffset); }

std::size_t DeviceHandle::readAt(std::uint64_t byteOffset, std::span<std::byte> buffer) const {
    std::size_t got = 0;
    if (m_medium && byteOffset < m_length) {
        const std::uint64_t room = m_length - byteOffset;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(room, buffer.size()));
        got = m_medium->readAt(m_base + byteOffset, buffer.first(want));
    }
    if (got < buffer.size()) std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(got), buffer.end(), std::byte{0});
    return got;
}

std::size_t DeviceHandle::read(std::span<std::byte> buffer) {
    const std::size_t got = readAt(m_position, buffer);
    m_position += got;
    return got;
}

void DeviceHandle::adviseSequential() const {
    if (m_medium)
        ::posix_fadvise(m_medium->fd(), static_cast<off_t>(m_base), static_cast<off_t>(m_length),
                        POSIX_FADV_SEQUENTIAL);
}

DeviceMap::DeviceMap(std::string sysfsRoot) : m_sysfsRoot(std::move(sysfsRoot)), m_accessMode(detectAccessMode()) {}
DeviceMap::~DeviceMap() = default;

Result<int> DeviceMap::attachDisk(const std::string& path) {
    if (static_cast<int>(m_disks.size()) >= kMaxDisks)
        return makeError(Errc::Unsupported, "no more than 26 disks can be attached");
    auto opened = openMedium(path);
    if (!opened) return opened.error();
    AttachedDisk d;
    d.number = static_cast<int>(m_disks.size());
    d.path = path;
    d.sizeBytes = opened->medium->size();
    d.blockDevice = opened->blockDevice;
    m_disks.push_back(d);
    m_media.push_back(opened->medium);
    return d.number;
}

Result<char> DeviceMap::attachVolume(const std::string& path) {
    const char letter = static_cast<char>(kFirstVolumeLetter + static_cast<int>(m_volumes.size()));
    if (letter > 'Z') return makeError(Errc::Unsupported, "no drive letter is left for " + path);
    auto opened = openMedium(path);
    if (!opened) return opened.error();

    AttachedVolume v;
    v.letter = letter;
    v.path = path;
    v.sectorCount = opened->medium->size() >> kSectorShift;

    // A partition block device is read through its disk, at the partition's start.
    if (opened->blockDevice) {
        namespace fs = std::filesystem;
        const fs::path sys = fs::path(m_sysfsRoot) / "dev/block" /
                             (std::to_string(major(opened->rdev)) + ":" + std::to_string(minor(opened->rdev)));
        std::error_code ec;
        if (fs::exists(sys / "partition", ec)) {
            const auto start = readSysfsNumber(sys / "start");
            const auto size = readSysfsNumber(sys / "size");
            const fs::path parentDir = fs::canonical(sys, ec).parent_path();
            if (start && size && !ec) {
                const std::string parentDev = "/dev/" + parentDir.filename().string();
                int diskNo = -1;
                for (const auto& d : m_disks)
                    if (d.path == parentDev) diskNo = d.number;
                if (diskNo < 0) {
                    auto attached = attachDisk(parentDev);
                    if (attached) diskNo = *attached;
                }
                if (diskNo >= 0) {
                    v.disk = diskNo;
                    v.firstSector = *start;
                    v.sectorCount = *size;
                    m_volumes.push_back(v);
                    return letter;
                }
            }
        }
    }

    // Otherwise the volume is its own disk, with the volume at sector 0.
    if (static_cast<int>(m_disks.size()) >= kMaxDisks)
        return makeError(Errc::Unsupported, "no more than 26 disks can be attached");
    AttachedDisk d;
    d.number = static_cast<int>(m_disks.size());
    d.path = path;
    d.sizeBytes = opened->medium->size();
    d.volumeOnly = true;
    d.blockDevice = opened->blockDevice;
    m_disks.push_back(d);
    m_media.push_back(opened->medium);
    v.disk = d.number;
    v.firstSector = 0;
    m_volumes.push_back(v);
    return letter;
}

const AttachedDisk* DeviceMap::disk(int number) const {
    if (number < 0 || number >= static_cast<int>(m_disks.size())) return nullptr;
    return &m_disks[static_cast<std::size_t>(number)];
}

const AttachedVolume* DeviceMap::volume(char letter) const {
    for (const auto& v : m_volumes)
        if (v.letter == letter) return &v;
    return nullptr;
}

std::shared_ptr<const Medium> DeviceMap::mediumOf(int number) const {
    if (number < 0 || number >= static_cast<int>(m_media.size())) return nullptr;
    return m_media[static_cast<std::size_t>(number)];
}

DeviceHandle DeviceMap::openDevice(std::string_view path) const {
    if (const auto n = diskNumberOf(path)) {
        if (auto medium = mediumOf(*n)) {
            const auto size = medium->size();
            return DeviceHandle(std::move(medium), 0, size);
        }
        return {};
    }
    if (const auto letter = volumeLetterOf(path)) {
        if (const auto* v = volume(*letter)) {
            if (auto medium = mediumOf(v->disk)) {
                const std::uint64_t base = v->firstSector << kSectorShift;
                const std::uint64_t size = medium->size();
                const std::uint64_t length = base >= size ? 0 : std::min(v->sectorCount << kSectorShift, size - base);
                return DeviceHandle(std::move(medium), base, length);
            }
        }
    }
    return {};
}

bool DeviceMap::readSectors(std::string_view path, std::uint64_t startSector, std::uint32_t count,
                            std::span<std::byte> buffer) const {
    const std::uint64_t bytes = static_cast<std::uint64_t>(count) << kSectorShift;
    if (count == 0 || buffer.size() < bytes) return false;
    if (startSector > (~std::uint64_t{0} >> kSectorShift)) return false;  // offset would not fit 64 bits
    const DeviceHandle handle = openDevice(path);
    if (!handle) return false;
    return handle.readAt(startSector << kSectorShift, buffer.first(static_cast<std::size_t>(bytes))) == bytes;
}

} // namespace snapmend::device
