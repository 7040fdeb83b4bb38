#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>

#include "device/device_map.h"
#include "tests/support/test_media.h"

namespace snapmend::device {
namespace {

using test::TempDir;
using test::UnchangedGuard;

// An image whose sector n is filled with the byte (n % 251) + 1, so every sector is told apart.
void writeNumberedSectors(const std::filesystem::path& image, std::uint64_t sectors) {
    std::ofstream out(image, std::ios::binary | std::ios::trunc);
    for (std::uint64_t n = 0; n < sectors; ++n) {
        const std::string s(512, static_cast<char>(n % 251 + 1));
        out.write(s.data(), 512);
    }
}

std::vector<std::byte> filled(std::size_t n, std::uint8_t v) { return std::vector<std::byte>(n, std::byte{v}); }

TEST(DevicePaths, NameDisksAndDrivesAndParseBack) {
    EXPECT_EQ(DevicePathTable[0], "\\\\.\\PhysicalDrive0");
    EXPECT_EQ(DevicePathTable[25], "\\\\.\\PhysicalDrive25");
    EXPECT_EQ(logicalDrivePath('E'), "\\\\.\\E:");
    EXPECT_EQ(diskNumberOf("\\\\.\\PhysicalDrive12"), 12);
    EXPECT_EQ(diskNumberOf("\\\\.\\PhysicalDrive26"), std::nullopt);
    EXPECT_EQ(diskNumberOf("\\\\.\\PhysicalDrive"), std::nullopt);
    EXPECT_EQ(diskNumberOf("\\\\.\\PhysicalDrive1x"), std::nullopt);
    EXPECT_EQ(volumeLetterOf("\\\\.\\e:"), 'E');
    EXPECT_EQ(volumeLetterOf("\\\\.\\E"), std::nullopt);
    EXPECT_EQ(detectAccessMode(), 'N');
}

class DeviceMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir / "disk.img";
        writeNumberedSectors(image, 64);
        ASSERT_TRUE(devices.attachDisk(image.string()));
    }
    TempDir dir;
    std::filesystem::path image;
    DeviceMap devices;
};

TEST_F(DeviceMapTest, ReadsWholeSectorsAtTheirOffsets) {
    UnchangedGuard guard(image);
    auto buf = filled(3 * 512, 0);
    ASSERT_TRUE(devices.readSectors(DevicePathTable[0], 10, 3, buf));
    EXPECT_EQ(buf[0], std::byte{11});
    EXPECT_EQ(buf[512], std::byte{12});
    EXPECT_EQ(buf[3 * 512 - 1], std::byte{13});
}

TEST_F(DeviceMapTest, ShortAndFailedReadsNeverLookLikeData) {
    UnchangedGuard guard(image);
    struct Case {
        const char* name;
        std::string path;
        std::uint64_t start;
        std::uint32_t count;
        bool untouched;  // buffer left as it was (nothing opened)
        std::size_t realBytes;  // bytes that really came from the medium
    };
    const Case cases[] = {
        {"no such device", DevicePathTable[5], 0, 1, true, 0},
        {"not a device path", "/etc/passwd", 0, 1, true, 0},
        {"starts past the end", DevicePathTable[0], 64, 1, false, 0},
        {"far past the end", DevicePathTable[0], 1ull << 40, 2, false, 0},
        {"straddles the end", DevicePathTable[0], 63, 2, false, 512},
        {"offset overflows 64 bits", DevicePathTable[0], ~0ull, 1, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto buf = filled(c.count * 512, 0xAB);  // stale content from an earlier read
        EXPECT_FALSE(devices.readSectors(c.path, c.start, c.count, buf));
        if (c.untouched || c.start == ~0ull) {
            EXPECT_EQ(buf, filled(c.count * 512, 0xAB));
            continue;
        }
        for (std::size_t i = c.realBytes; i < buf.size(); ++i) {
            ASSERT_EQ(buf[i], std::byte{0}) << "stale byte at " << i;
        }
        if (c.realBytes) {
            EXPECT_EQ(buf[0], std::byte{64});
        }
    }
}

TEST_F(DeviceMapTest, RejectsABufferTooSmallForTheCount) {
    auto buf = filled(512, 0xAB);
    EXPECT_FALSE(devices.readSectors(DevicePathTable[0], 0, 2, buf));
    EXPECT_EQ(buf, filled(512, 0xAB));
}

TEST_F(DeviceMapTest, StreamingHandleSeeksAndReadsSequentially) {
    UnchangedGuard guard(image);
    auto handle = devices.openDevice(DevicePathTable[0]);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle.sectorCount(), 64u);
    EXPECT_EQ(seekDevice(handle, 62 * 512), 62u * 512);
    auto buf = filled(512, 0);
    EXPECT_EQ(handle.read(buf), 512u);
    EXPECT_EQ(buf[0], std::byte{63});
    EXPECT_EQ(handle.read(buf), 512u);
    EXPECT_EQ(buf[0], std::byte{64});
    EXPECT_EQ(handle.read(buf), 0u);  // the end: nothing read, nothing stale
    EXPECT_EQ(buf, filled(512, 0));
    EXPECT_FALSE(devices.openDevice("\\\\.\\PhysicalDrive9"));
}

TEST(DeviceMap, SectorPastFourGigaSectorsReadsItsOwnByteOffset) {
    TempDir dir;
    const auto image = dir / "sparse.img";
    const std::uint64_t sector = 1ull << 32;  // byte 2^41
    test::createImage(image, (sector + 1) * 512);
    auto marker = filled(512, 0x5A);
    test::writeSector(image, sector, marker);
    DeviceMap devices;
    ASSERT_TRUE(devices.attachDisk(image.string()));
    auto buf = filled(512, 0);
    ASSERT_TRUE(devices.readSectors(DevicePathTable[0], sector, 1, buf));
    EXPECT_EQ(buf, marker);
    ASSERT_TRUE(devices.readSectors(DevicePathTable[0], 0, 1, buf));  // 32-bit truncation would land here
    EXPECT_EQ(buf, filled(512, 0));
}

TEST(DeviceMap, VolumeImageIsItsOwnHiddenDiskWithTheVolumeAtSectorZero) {
    TempDir dir;
    const auto disk = dir / "disk.img";
    const auto vol = dir / "vol.img";
    writeNumberedSectors(disk, 8);
    writeNumberedSectors(vol, 16);
    DeviceMap devices;
    ASSERT_EQ(devices.attachDisk(disk.string()).value(), 0);
    const auto letter = devices.attachVolume(vol.string());
    ASSERT_TRUE(letter);
    EXPECT_EQ(*letter, 'E');
    const auto* v = devices.volume('E');
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->disk, 1);
    EXPECT_EQ(v->firstSector, 0u);
    EXPECT_EQ(v->sectorCount, 16u);
    EXPECT_TRUE(devices.disk(1)->volumeOnly);
    EXPECT_FALSE(devices.disk(0)->volumeOnly);

    auto a = filled(512, 0), b = filled(512, 0);
    ASSERT_TRUE(devices.readSectors(logicalDrivePath('E'), 5, 1, a));
    ASSERT_TRUE(devices.readSectors(DevicePathTable[1], 5, 1, b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(a[0], std::byte{6});
    EXPECT_FALSE(devices.readSectors(logicalDrivePath('F'), 0, 1, a));
}

TEST(DeviceMap, RefusesWhatCannotBeOpenedOrIsNoMedium) {
    TempDir dir;
    DeviceMap devices;
    const auto missing = devices.attachDisk((dir / "missing.img").string());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, Errc::Io);
    const auto folder = devices.attachDisk(dir.path().string());
    ASSERT_FALSE(folder);
    EXPECT_TRUE(devices.disks().empty());
}

TEST(DeviceMap, OpensMediaReadOnly) {
    TempDir dir;
    const auto image = dir / "disk.img";
    writeNumberedSectors(image, 4);
    DeviceMap devices;
    ASSERT_TRUE(devices.attachDisk(image.string()));
    // Find our descriptor and check its access mode in the kernel's own record.
    bool found = false;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const auto target = std::filesystem::read_symlink(fd.path(), ec);
        if (ec || target != std::filesystem::canonical(image)) continue;
        std::ifstream info("/proc/self/fdinfo/" + fd.path().filename().string());
        std::string key;
        std::string flags;
        while (info >> key) {
            if (key == "flags:") {
                info >> flags;
                break;
            }
        }
        const auto mode = std::stoul(flags, nullptr, 8) & O_ACCMODE;
        EXPECT_EQ(mode, static_cast<unsigned long>(O_RDONLY));
        found = true;
    }
    EXPECT_TRUE(found);
}

} // namespace
} // namespace snapmend::device
