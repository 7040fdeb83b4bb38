// Reads whole disks from a sysfs tree: /sys/block/<name> links into /sys/devices, where the path
// shows the bus and the device folder holds vendor, model, revision and serial.
#include "device/sysfs_disks.h"

#include <algorithm>
#include <fstream>
#include <optional>

#include "common/text.h"

namespace snapmend::device {

namespace fs = std::filesystem;

namespace {

// Ancestor folders searched for a serial number (USB devices keep it at the USB device, a few
// levels above the block device).
constexpr int kSerialSearchDepth = 8;
// Disks read from one sysfs tree; a real machine has a few dozen.
constexpr std::size_t kMaxSysfsDisks = 256;

constexpr int kBusScsi = 1;
constexpr int kBusAta = 3;
constexpr int kBusUsbType = 7;
constexpr int kBusSd = 12;
constexpr int kBusNvme = 17;

std::string readLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    return trim(line);
}

std::optional<std::uint64_t> readNumber(const fs::path& file) {
    const std::string t = readLine(file);
    if (t.empty() || !std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return parseU64(t);
}

std::string firstOf(const fs::path& dir, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        std::string v = readLine(dir / n);
        if (!v.empty()) return v;
    }
    return {};
}

// Optical drives, floppies and virtual devices are not media this program reads.
bool ignoredName(std::string_view name) {
    for (std::string_view prefix : {"loop", "ram", "zram", "dm-", "sr", "fd", "md", "nbd"})
        if (startsWith(name, prefix)) return true;
    return false;
}

} // namespace

int busTypeFromSysfsPath(std::string_view path) {
    if (contains(path, "/usb")) return kBusUsbType;
    if (contains(path, "/mmc")) return kBusSd;
    if (contains(path, "/nvme")) return kBusNvme;
    if (contains(path, "/ata")) return kBusAta;
    if (contains(path, "/host")) return kBusScsi;
    return 0;
}

std::vector<SysfsDisk> readSysfsDisks(const fs::path& sysfsRoot, const fs::path& devRoot) {
    std::vector<SysfsDisk> disks;
    std::error_code ec;
    const fs::path blockDir = sysfsRoot / "block";
    if (!fs::is_directory(blockDir, ec)) return disks;
    std::vector<fs::path> entries;
    for (const auto& e : fs::directory_iterator(blockDir, ec)) {
        if (entries.size() >= kMaxSysfsDisks) break;
        entries.push_back(e.path());
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries) {
        const std::string name = entry.filename().string();
        if (ignoredName(name)) continue;
        const fs::path dir = fs::canonical(entry, ec);
        if (ec || !fs::is_directory(dir, ec)) continue;
        const auto size = readNumber(dir / "size");
        if (!size) continue;

        SysfsDisk d;
        d.name = name;
        d.devNode = devRoot / name;
        d.sizeSectors = *size;
        d.busType = busTypeFromSysfsPath(dir.generic_string());
        // An SD or MMC card is removable media whatever the reader reports.
        d.removable = readLine(dir / "removable") == "1" || d.busType == kBusSd;
        if (const auto lbs = readNumber(dir / "queue/logical_block_size"); lbs && *lbs != 0 && *lbs <= 65536)
            d.logicalBlockSize = static_cast<std::uint32_t>(*lbs);
        const fs::path device = dir / "device";
        d.vendor = readLine(device / "vendor");
        d.model = firstOf(device, {"model", "name"});
        d.revision = firstOf(device, {"rev", "fwrev", "firmware_rev"});
        d.serial = readLine(device / "serial");
        if (d.serial.empty()) {
            fs::path up = fs::canonical(device, ec);
            for (int i = 0; i < kSerialSearchDepth && !ec && up.has_parent_path() && up != up.root_path(); ++i) {
                d.serial = readLine(up / "serial");
                if (!d.serial.empty()) break;
                up = up.parent_path();
            }
        }
        for (const auto& p : fs::directory_iterator(dir, ec)) {
            if (!fs::exists(p.path() / "partition", ec)) continue;
            const auto start = readNumber(p.path() / "start");
            const auto count = readNumber(p.path() / "size");
            if (!start || !count) continue;
            d.partitions.push_back(SysfsPartition{p.path().filename().string(), devRoot / p.path().filename(), *start, *count});
        }
        std::sort(d.partitions.begin(), d.partitions.end(),
                  [](const SysfsPartition& a, const SysfsPartition& b) { return a.startSector < b.startSector; });
        disks.push_back(std::move(d));
    }
    return disks;
}

} // namespace snapmend::device
