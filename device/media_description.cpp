// Attaching and describing media: images named by the user, the JSON media description, and the
// removable disks of sysfs.
#include "device/media_description.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include <nlohmann/json.hpp>

#include "common/bytes.h"
#include "common/text.h"

namespace snapmend::device {

namespace fs = std::filesystem;

namespace {

using Json = nlohmann::json;

// A description larger than this is not a media description.
constexpr std::uintmax_t kMaxDescriptionBytes = 1 << 20;

Error invalid(std::string text) { return makeError(Errc::InvalidArgument, "media description: " + std::move(text)); }

// Reads the keys of one object, refusing unknown keys and wrong types by name.
class Fields {
public:
    Fields(const Json& object, std::string where) : m_obj(object), m_where(std::move(where)) {}

    std::optional<std::string> text(const char* key) {
        m_known.push_back(key);
        const auto it = m_obj.find(key);
        if (it == m_obj.end()) return std::nullopt;
        if (!it->is_string()) return fail(std::string(key) + " must be a text"), std::nullopt;
        return it->get<std::string>();
    }
    std::optional<std::uint64_t> number(const char* key, std::uint64_t max = std::numeric_limits<std::uint64_t>::max()) {
        m_known.push_back(key);
        const auto it = m_obj.find(key);
        if (it == m_obj.end()) return std::nullopt;
        if (!it->is_number_unsigned() || it->get<std::uint64_t>() > max)
            return fail(std::string(key) + " must be a whole number from 0 to " + decimal(max)), std::nullopt;
        return it->get<std::uint64_t>();
    }
    std::optional<bool> boolean(const char* key) {
        m_known.push_back(key);
        const auto it = m_obj.find(key);
        if (it == m_obj.end()) return std::nullopt;
        if (!it->is_boolean()) return fail(std::string(key) + " must be true or false"), std::nullopt;
        return it->get<bool>();
    }
    // A key read elsewhere.
    void allow(const char* key) { m_known.push_back(key); }
    void fail(std::string text) {
        if (m_error.empty()) m_error = m_where + ": " + std::move(text);
    }
    // The first problem, unknown keys included, or empty.
    std::string finish() {
        for (const auto& [key, value] : m_obj.items())
            if (std::find(m_known.begin(), m_known.end(), key) == m_known.end()) fail("unknown key \"" + key + "\"");
        return m_error;
    }

private:
    const Json& m_obj;
    std::string m_where;
    std::vector<std::string> m_known;
    std::string m_error;
};

fs::path resolve(const std::string& path, const fs::path& baseDir) {
    const fs::path p(path);
    return p.is_absolute() || baseDir.empty() ? p : baseDir / p;
}

std::string trimmedField(const ByteReader& r, std::size_t off, std::size_t len) {
    const auto bytes = r.slice(off, len);
    if (!bytes) return {};
    std::string s;
    for (const std::byte b : *bytes) s.push_back(static_cast<char>(b));
    return trim(s);
}

} // namespace

Result<MediaDescription> parseMediaDescription(std::string_view text, const fs::path& baseDir) {
    const Json root = Json::parse(text, nullptr, false);
    if (root.is_discarded()) return invalid("not valid JSON");
    if (!root.is_object()) return invalid("the top level must be an object");
    MediaDescription out;
    Fields top(root, "top level");
    out.computerName = top.text("computerName");
    for (const char* listKey : {"disks", "volumes"}) {
        const auto it = root.find(listKey);
        if (it != root.end() && !it->is_array()) top.fail(std::string(listKey) + " must be a list");
    }
    top.allow("disks");
    top.allow("volumes");
    if (auto e = top.finish(); !e.empty()) return invalid(e);

    if (const auto it = root.find("disks"); it != root.end()) {
        std::size_t i = 0;
        for (const Json& d : *it) {
            ++i;
            const std::string where = "disk " + decimal(static_cast<std::uint64_t>(i));
            if (!d.is_object()) return invalid(where + " must be an object");
            Fields f(d, where);
            DiskDescription disk;
            const auto path = f.text("path");
            if (auto v = f.text("model")) disk.model = *v;
            disk.vendor = f.text("vendor").value_or("");
            disk.revision = f.text("revision").value_or("");
            disk.serial = f.text("serial").value_or("");
            disk.bus = f.text("bus").value_or("USB");
            if (auto v = f.text("mediaType")) {
                if (*v == "removable") disk.removable = true;
                else if (*v == "fixed") disk.removable = false;
                else f.fail("mediaType must be \"removable\" or \"fixed\"");
            }
            disk.bytesPerSector = static_cast<std::uint32_t>(f.number("bytesPerSector", 65536).value_or(512));
            disk.sectorsPerTrack = static_cast<std::uint32_t>(f.number("sectorsPerTrack", 255).value_or(63));
            disk.heads = static_cast<std::uint32_t>(f.number("heads", 256).value_or(255));
            disk.cylinders = f.number("cylinders");
            if (auto e = f.finish(); !e.empty()) return invalid(e);
            if (!path || path->empty()) return invalid(where + ": path is missing");
            if (disk.bytesPerSector == 0 || disk.sectorsPerTrack == 0 || disk.heads == 0)
                return invalid(where + ": bytesPerSector, sectorsPerTrack and heads must not be 0");
            disk.path = resolve(*path, baseDir).string();
            out.disks.push_back(std::move(disk));
        }
    }
    if (const auto it = root.find("volumes"); it != root.end()) {
        std::size_t i = 0;
        for (const Json& v : *it) {
            ++i;
            const std::string where = "volume " + decimal(static_cast<std::uint64_t>(i));
            if (!v.is_object()) return invalid(where + " must be an object");
            Fields f(v, where);
            VolumeDescription vol;
            const auto path = f.text("path");
            if (auto l = f.text("letter")) {
                std::string t = *l;
                if (!t.empty() && t.back() == ':') t.pop_back();
                if (t.size() != 1 || !std::isalpha(static_cast<unsigned char>(t[0])))
                    f.fail("letter must be one drive letter such as \"E\"");
                else
                    vol.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(t[0])));
            }
            vol.label = f.text("label");
            vol.fileSystem = f.text("fileSystem");
            if (auto s = f.text("serial")) {
                char* end = nullptr;
                const unsigned long long n = std::strtoull(s->c_str(), &end, 16);
                if (s->empty() || *end != '\0' || n > 0xFFFFFFFFull)
                    f.fail("serial must be up to eight hexadecimal digits");
                else
                    vol.serial = static_cast<std::uint32_t>(n);
            }
            vol.freeBytes = f.number("freeBytes").value_or(0);
            vol.removable = f.boolean("removable").value_or(true);
            if (auto e = f.finish(); !e.empty()) return invalid(e);
            if (!path || path->empty()) return invalid(where + ": path is missing");
            vol.path = resolve(*path, baseDir).string();
            out.volumes.push_back(std::move(vol));
        }
    }
    return out;
}

Result<MediaDescription> readMediaDescription(const fs::path& file) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec) return makeError(Errc::Io, "cannot read " + file.string() + ": " + ec.message());
    if (size > kMaxDescriptionBytes) return invalid(file.string() + " is larger than 1 MiB");
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) return makeError(Errc::Io, "cannot read " + file.string());
    return parseMediaDescription(text.str(), file.parent_path());
}

PhysicalDiskInfo imageDiskInfo(int number, std::uint64_t sizeBytes, const DiskDescription& d) {
    PhysicalDiskInfo info;
    info.number = number;
    info.bytesPerSector = d.bytesPerSector;
    info.sectorsPerTrack = d.sectorsPerTrack;
    info.tracksPerCylinder = d.heads;
    const std::uint64_t cylinderBytes = std::uint64_t{d.heads} * d.sectorsPerTrack * d.bytesPerSector;
    info.cylinders = d.cylinders.value_or(cylinderBytes ? sizeBytes / cylinderBytes : 0);
    info.mediumBytes = sizeBytes;
    // An empty medium answers no geometry, like a reader without a card.
    info.geometryKnown = sizeBytes != 0;
    info.mediaType = d.removable ? kRemovableMediaType : kFixedMediaType;
    info.bus = d.bus;
    info.vendor = d.vendor;
    info.product = d.model.value_or(fs::path(d.path).filename().string());
    info.revision = d.revision;
    info.serial = d.serial;
    return info;
}

BootSectorVolume readVolumeBootSector(const DeviceMap& devices, std::string_view logicalDevicePath) {
    BootSectorVolume out;
    std::array<std::byte, kSectorSize> buf{};
    if (!devices.readSectors(logicalDevicePath, 0, 1, buf)) return out;
    const ByteReader r{Bytes(buf)};
    if (r.le8(510) != 0x55 || r.le8(511) != 0xAA) return out;
    if (r.matches(82, "FAT32")) {
        out.fileSystem = "FAT32";
        out.serial = *r.le32(67);
        out.label = trimmedField(r, 71, 11);
    } else if (r.matches(54, "FAT16") || r.matches(54, "FAT12")) {
        out.fileSystem = r.matches(54, "FAT16") ? "FAT16" : "FAT12";
        out.serial = *r.le32(39);
        out.label = trimmedField(r, 43, 11);
    } else if (r.matches(3, "NTFS")) {
        out.fileSystem = "NTFS";
        out.serial = *r.le32(72);
    }
    if (out.label == "NO NAME") out.label.clear();
    return out;
}

std::string hostComputerName() {
    std::array<char, HOST_NAME_MAX + 1> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0) return {};
    return name.data();
}

Result<MachineDrives> attachMedia(DeviceMap& devices, const MediaDescription& media,
                                  const std::vector<SysfsDisk>& sysfsDisks, std::vector<std::string>& notes) {
    MachineDrives machine;
    machine.computerName = media.computerName.value_or(hostComputerName());

    for (const DiskDescription& d : media.disks) {
        const auto n = devices.attachDisk(d.path);
        if (!n) return n.error();
        machine.disks.push_back(imageDiskInfo(*n, devices.disk(*n)->sizeBytes, d));
    }

    std::vector<const SysfsDisk*> listed;
    for (const SysfsDisk& s : sysfsDisks) {
        if (!s.removable) continue;
        const std::string node = s.devNode.string();
        bool attached = false;
        for (const auto& d : devices.disks()) attached = attached || d.path == node;
        if (attached) continue;
        if (s.sizeSectors == 0) continue;  // a reader without a card
        const auto n = devices.attachDisk(node);
        if (!n) {
            notes.push_back("removable disk " + node + " could not be opened (" + n.error().detail + ")");
            continue;
        }
        DiskDescription d;
        d.path = node;
        d.model = s.model;
        d.vendor = s.vendor;
        d.revision = s.revision;
        d.serial = s.serial;
        d.bus = busName(s.busType);
        d.bytesPerSector = s.logicalBlockSize;
        machine.disks.push_back(imageDiskInfo(*n, devices.disk(*n)->sizeBytes, d));
        listed.push_back(&s);
    }

    for (const VolumeDescription& v : media.volumes) {
        const char next = static_cast<char>(kFirstVolumeLetter + static_cast<int>(devices.volumes().size()));
        if (v.letter && *v.letter != next)
            return invalid(v.path + " would be drive " + std::string(1, next) + ": (drive letters are given in order from " +
                           std::string(1, kFirstVolumeLetter) + ":), not " + std::string(1, *v.letter) + ":");
        const auto letter = devices.attachVolume(v.path);
        if (!letter) return letter.error();
        const AttachedVolume* vol = devices.volume(*letter);
        const BootSectorVolume boot = readVolumeBootSector(devices, logicalDrivePath(*letter));
        LogicalDriveInfo info;
        info.letter = *letter;
        info.removable = v.removable;
        info.label = v.label.value_or(boot.label);
        info.fileSystem = v.fileSystem.value_or(boot.fileSystem);
        info.serial = v.serial.value_or(boot.serial);
        info.totalBytes = vol->sectorCount << kSectorShift;
        info.freeBytes = v.freeBytes;
        machine.drives.push_back(std::move(info));
    }

    // Partitions of removable disks become logical drives when their nodes are block devices.
    for (const SysfsDisk* s : listed) {
        for (const SysfsPartition& p : s->partitions) {
            struct stat st {};
            if (::stat(p.devNode.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
            const auto letter = devices.attachVolume(p.devNode.string());
            if (!letter) {
                notes.push_back("partition " + p.devNode.string() + " could not be opened (" + letter.error().detail + ")");
                continue;
            }
            const BootSectorVolume boot = readVolumeBootSector(devices, logicalDrivePath(*letter));
            LogicalDriveInfo info;
            info.letter = *letter;
            info.label = boot.label;
            info.fileSystem = boot.fileSystem;
            info.serial = boot.serial;
            info.totalBytes = devices.volume(*letter)->sectorCount << kSectorShift;
            machine.drives.push_back(std::move(info));
        }
    }
    return machine;
}

} // namespace snapmend::device
