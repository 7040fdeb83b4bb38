// Volume parameters: from boot sectors written by mkfs.fat and mkntfs (checked against fsstat),
// from hand-built boot sectors for the corner cases, and by the FAT scan when the boot sector and
// the FATs are gone.
#include "device/volume_params.h"

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <regex>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "device/device_map.h"
#include "device/scan_target.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::device {
namespace {

using test::TempDir;
using test::UnchangedGuard;
using Sector = std::vector<std::byte>;

constexpr std::uint64_t kMiB = 1024 * 1024;

TargetState targetOn(int disk, std::string fs, std::uint64_t start, std::uint64_t end) {
    TargetState s;
    s.target.fileSystem = std::move(fs);
    s.target.startSector = start;
    s.target.endSector = end;
    s.targetKind = std::string(kKindPartition);
    s.devicePath = DevicePathTable[static_cast<std::size_t>(disk)];
    return s;
}

int attach(DeviceMap& devices, const std::filesystem::path& image) {
    auto disk = devices.attachDisk(image.string());
    EXPECT_TRUE(disk.has_value());
    return disk.has_value() ? *disk : 0;
}

// Expected parameters, field by field in the record's order.
VolumeParams fatParams(std::uint32_t spf, std::uint32_t spc, std::uint32_t rootSec, std::uint32_t rootStartSec,
                       std::uint32_t reserved, std::uint64_t cluster0, std::uint32_t firstFat, std::uint32_t secondFat) {
    VolumeParams p;
    p.SPF = spf;
    p.SPC = spc;
    p.RootSec = rootSec;
    p.RootStartSec = rootStartSec;
    p.ReserveSecStart = reserved;
    p.Cluster0Start = cluster0;
    p.firstFAT = firstFat;
    p.secondFAT = secondFat;
    return p;
}

VolumeParams ntfsParams(std::uint32_t spc, std::uint64_t cluster0, std::uint64_t mft, std::uint64_t mirror,
                        std::uint32_t perMftRecord, std::uint32_t perIndexRecord) {
    VolumeParams p;
    p.SPC = spc;
    p.Cluster0Start = cluster0;
    p.mftStart = mft;
    p.mftMirrStart = mirror;
    p.sectorsPerMftRecord = perMftRecord;
    p.sectorsPerIndexRecord = perIndexRecord;
    return p;
}

// ---- byte builders ----

Sector signed512() {
    Sector s(512);
    s[510] = std::byte{0x55};
    s[511] = std::byte{0xAA};
    return s;
}

Sector fatBoot(bool fat32, std::uint8_t spc, std::uint16_t reserved, std::uint32_t spf, std::uint16_t rootEntries,
               std::uint32_t rootCluster = 2) {
    Sector s = signed512();
    s[13] = std::byte{spc};
    putLe16(s, 14, reserved);
    s[16] = std::byte{2};  // number of FATs
    putLe16(s, 17, rootEntries);
    if (fat32) {
        putLe32(s, 36, spf);
        putLe32(s, 44, rootCluster);
        putAscii(s, 82, "FAT32   ");
    } else {
        putLe16(s, 22, static_cast<std::uint16_t>(spf));
        putAscii(s, 54, "FAT16   ");
    }
    return s;
}

Sector ntfsBoot(std::uint8_t spc, std::uint8_t perMftRecord, std::uint8_t perIndexRecord, std::uint64_t mftCluster,
                std::uint64_t mirrorCluster) {
    Sector s = signed512();
    putAscii(s, 3, "NTFS    ");
    s[13] = std::byte{spc};
    putLe64(s, 48, mftCluster);
    putLe64(s, 56, mirrorCluster);
    s[64] = std::byte{perMftRecord};
    s[68] = std::byte{perIndexRecord};
    return s;
}

// The first sector of a FAT: media byte, then FF.
Sector fatStart(std::uint8_t media = 0xF8) {
    Sector s(512);
    s[0] = std::byte{media};
    s[1] = s[2] = std::byte{0xFF};
    return s;
}

Sector fileRecord() {
    Sector s(512);
    putAscii(s, 0, "FILE");
    return s;
}

// A directory cluster's first sector: the "." and ".." entries.
Sector dirStart(std::uint32_t cluster) {
    Sector s(512);
    putAscii(s, 0, ".          ");
    s[11] = std::byte{0x10};
    putLe16(s, 20, static_cast<std::uint16_t>(cluster >> 16));
    putLe16(s, 26, static_cast<std::uint16_t>(cluster & 0xFFFF));
    putAscii(s, 32, "..         ");
    s[43] = std::byte{0x10};
    return s;
}

using Writes = std::vector<std::pair<std::uint64_t, Sector>>;

void writeAll(const std::filesystem::path& image, const Writes& writes) {
    for (const auto& [sector, bytes] : writes) test::writeSector(image, sector, bytes);
}

// ---- fsstat, the independent reading of what the tools wrote ----

std::uint64_t fsstatNumber(const std::string& out, const std::string& label) {
    const std::regex re(label + R"(:\s*([0-9]+))");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(out, m, re)) << "no '" << label << "' in fsstat output:\n" << out;
    return m.empty() ? 0 : std::stoull(m[1].str());
}

// ---- computeVolumeParams on volumes made by the tools ----

struct MkfsFatCase {
    const char* name;
    bool fat32;
    std::uint64_t imageMiB;
    std::uint64_t start;  // sector the volume begins at inside the image
    int spc;
};

TEST(VolumeParamsTest, FatVolumesMadeByMkfsMatchFsstat) {
    const MkfsFatCase cases[] = {
        {"FAT16 at sector 63, 4-sector clusters", false, 64, 63, 4},
        {"FAT16 volume image, 16-sector clusters", false, 64, 0, 16},
        {"FAT32 at sector 63, 1-sector clusters", true, 40, 63, 1},
        {"FAT32 volume image, 8-sector clusters", true, 300, 0, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = dir / "card.img";
        test::createImage(image, c.imageMiB * kMiB);
        const std::uint64_t sectors = c.imageMiB * kMiB / 512;
        const std::uint64_t volumeKiB = (sectors - c.start) / 2;
        ASSERT_TRUE(test::run("mkfs.fat -F " + std::string(c.fat32 ? "32" : "16") + " -S 512 -s " +
                              std::to_string(c.spc) + " --offset " + std::to_string(c.start) + " -h " +
                              std::to_string(c.start) + " " + image.string() + " " + std::to_string(volumeKiB)));
        const std::string fs = test::runOutput("fsstat -o " + std::to_string(c.start) + " " + image.string());
        const std::uint64_t fat0 = fsstatNumber(fs, R"(\* FAT 0)");
        const std::uint64_t fat1 = fsstatNumber(fs, R"(\* FAT 1)");
        const std::uint64_t clusterArea = fsstatNumber(fs, R"(\*\* Cluster Area)");
        const std::uint64_t rootDir = fsstatNumber(fs, R"(\*+ Root Directory)");
        const std::uint64_t spc = fsstatNumber(fs, "Cluster Size") / 512;

        UnchangedGuard guard(image);
        DeviceMap devices;
        TargetState state = targetOn(attach(devices, image), c.fat32 ? "FAT32" : "FAT16", c.start, sectors);
        ASSERT_TRUE(computeVolumeParams(devices, state, ""));
        const VolumeParams& p = state.calculatedParams;
        EXPECT_EQ(p.SPC, spc);
        EXPECT_EQ(p.ReserveSecStart, fat0);
        EXPECT_EQ(p.SPF, fat1 - fat0);
        EXPECT_EQ(p.firstFAT, c.start + fat0);
        EXPECT_EQ(p.secondFAT, c.start + fat1);
        EXPECT_EQ(p.Cluster0Start, c.start + clusterArea - 2 * spc);
        if (c.fat32) {
            EXPECT_EQ(p.RootSec, 0u);
            EXPECT_EQ(p.RootStartSec, (rootDir - clusterArea) / spc + 2);
        } else {
            EXPECT_EQ(p.RootSec, (clusterArea - rootDir));
            EXPECT_EQ(p.RootStartSec, c.start + rootDir);
        }
        EXPECT_EQ(p.mftStart, 0u);
        EXPECT_EQ(p.sectorsPerMftRecord, 0u);
    }
}

TEST(VolumeParamsTest, NtfsVolumeMadeByMkntfsMatchesFsstat) {
    struct Case {
        const char* name;
        int clusterBytes;
        bool zeroPrimaryBoot;  // the copy in the volume's last sector must stand in
        bool exclusiveEnd;     // the end is one past the last sector, as MBR partitions give it
    };
    const Case cases[] = {
        {"4 KiB clusters", 4096, false, false},
        {"1 KiB clusters", 1024, false, true},
        {"primary boot sector zeroed, end is the last sector (GUID form)", 4096, true, false},
        {"primary boot sector zeroed, end is one past it (MBR form)", 4096, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = dir / "ntfs.img";
        test::createImage(image, 16 * kMiB);
        ASSERT_TRUE(test::run("mkntfs -F -Q -s 512 -c " + std::to_string(c.clusterBytes) + " " + image.string()));
        const std::string fs = test::runOutput("fsstat " + image.string());
        const std::uint64_t spc = fsstatNumber(fs, "Cluster Size") / 512;
        const std::uint64_t mftCluster = fsstatNumber(fs, "First Cluster of MFT");
        const std::uint64_t mirrorCluster = fsstatNumber(fs, "First Cluster of MFT Mirror");
        const std::uint64_t mftRecordBytes = fsstatNumber(fs, "Size of MFT Entries");
        const std::uint64_t indexRecordBytes = fsstatNumber(fs, "Size of Index Records");
        if (c.zeroPrimaryBoot) test::writeSector(image, 0, test::zeroSector());

        UnchangedGuard guard(image);
        DeviceMap devices;
        // mkntfs keeps the boot sector's copy in the volume's last sector.
        const std::uint64_t last = 16 * kMiB / 512 - 1;
        TargetState state = targetOn(attach(devices, image), "NTFS", 0, c.exclusiveEnd ? last + 1 : last);
        ASSERT_TRUE(computeVolumeParams(devices, state, ""));
        const VolumeParams& p = state.calculatedParams;
        EXPECT_EQ(p.SPC, spc);
        EXPECT_EQ(p.Cluster0Start, 0u);
        EXPECT_EQ(p.mftStart, mftCluster * spc);
        EXPECT_EQ(p.mftMirrStart, mirrorCluster * spc);
        EXPECT_EQ(p.sectorsPerMftRecord, mftRecordBytes / 512);
        EXPECT_EQ(p.sectorsPerIndexRecord, indexRecordBytes / 512);
        EXPECT_EQ(p.SPF, 0u);
        EXPECT_EQ(p.firstFAT, 0u);
    }
}

// ---- computeVolumeParams on hand-built boot sectors ----

struct BootCase {
    const char* name;
    const char* fs;
    std::uint64_t start;
    std::uint64_t end;
    Writes writes;
    bool ok;
    VolumeParams expected;
};

TEST(VolumeParamsTest, BootSectorCases) {
    const Sector fat32Good = fatBoot(true, 8, 32, 1000, 0, 2);
    const std::vector<BootCase> cases = {
        {"FAT16 at 63: reserved 1, SPF 256, 512 root entries, 4-sector clusters", "FAT16", 63, 20000,
         {{63, fatBoot(false, 4, 1, 256, 512)}, {320, fatStart()}}, true,
         fatParams(256, 4, 32, 576, 1, 600, 64, 320)},
        {"FAT16 second FAT with the removable-media byte F0", "FAT16", 63, 20000,
         {{63, fatBoot(false, 4, 1, 256, 512)}, {320, fatStart(0xF0)}}, false, {}},
        {"FAT16 without 55 AA", "FAT16", 0, 20000,
         {{0, [] { Sector s = fatBoot(false, 4, 1, 256, 512); s[511] = std::byte{0}; return s; }()}, {257, fatStart()}},
         false, {}},
        {"FAT16 with 3-sector clusters", "FAT16", 0, 20000, {{0, fatBoot(false, 3, 1, 256, 512)}, {257, fatStart()}},
         false, {}},
        {"FAT16 with zero sectors per FAT", "FAT16", 0, 20000, {{0, fatBoot(false, 4, 1, 0, 512)}, {1, fatStart()}},
         false, {}},
        {"FAT32 from its boot sector", "FAT32", 2048, 30000, {{2048, fat32Good}, {3080, fatStart()}}, true,
         fatParams(1000, 8, 0, 2, 32, 4064, 2080, 3080)},
        {"FAT32 with a zeroed boot sector uses the backup", "FAT32", 2048, 30000,
         {{2054, fatBoot(true, 8, 32, 1000, 0, 5)}, {3080, fatStart()}}, true,
         fatParams(1000, 8, 0, 5, 32, 4064, 2080, 3080)},
        {"FAT32 whose second FAT disagrees takes the backup's numbers", "FAT32", 2048, 30000,
         {{2048, fat32Good}, {2054, fatBoot(true, 4, 32, 900, 0, 2)}, {2980, fatStart()}}, true,
         fatParams(900, 4, 0, 2, 32, 3872, 2080, 2980)},
        {"FAT32 with garbage cluster size falls back to the backup", "FAT32", 2048, 30000,
         {{2048, fatBoot(true, 0, 32, 1000, 0, 2)}, {2054, fat32Good}, {3080, fatStart()}}, true,
         fatParams(1000, 8, 0, 2, 32, 4064, 2080, 3080)},
        {"FAT32 second FAT with the removable-media byte F0", "FAT32", 2048, 30000,
         {{2048, fat32Good}, {2054, fat32Good}, {3080, fatStart(0xF0)}}, false, {}},
        {"FAT32 with neither boot sector", "FAT32", 2048, 30000, {{3080, fatStart()}}, false, {}},
        {"NTFS: F6 gives 2 sectors per MFT record", "NTFS", 63, 8000,
         {{63, ntfsBoot(8, 0xF6, 0xF4, 4, 100)}, {95, fileRecord()}, {863, fileRecord()}}, true,
         ntfsParams(8, 63, 95, 863, 2, 8)},
        {"NTFS: F6 gives 2 whatever the cluster size", "NTFS", 0, 8000,
         {{0, ntfsBoot(128, 0xF6, 1, 1, 2)}, {128, fileRecord()}, {256, fileRecord()}}, true,
         ntfsParams(128, 0, 128, 256, 2, 128)},
        {"NTFS: one cluster per MFT record with 8-sector clusters gives 8", "NTFS", 0, 8000,
         {{0, ntfsBoot(8, 1, 1, 4, 100)}, {32, fileRecord()}, {800, fileRecord()}}, true,
         ntfsParams(8, 0, 32, 800, 8, 8)},
        {"NTFS: one cluster per MFT record with 16-sector clusters fails", "NTFS", 0, 8000,
         {{0, ntfsBoot(16, 1, 1, 4, 100)}, {64, fileRecord()}, {1600, fileRecord()}}, false, {}},
        {"NTFS: a bad record size at start is taken from the copy at end", "NTFS", 0, 7999,
         {{0, ntfsBoot(16, 1, 1, 4, 100)}, {7999, ntfsBoot(8, 0xF6, 0xF4, 4, 100)}, {32, fileRecord()},
          {800, fileRecord()}},
         true,
         ntfsParams(8, 0, 32, 800, 2, 8)},
        {"NTFS: $MFT found only through the copy's cluster number", "NTFS", 0, 7999,
         {{0, ntfsBoot(8, 0xF6, 0xF4, 4, 100)}, {7999, ntfsBoot(8, 0xF6, 0xF4, 6, 100)}, {48, fileRecord()},
          {800, fileRecord()}},
         true,
         ntfsParams(8, 0, 48, 800, 2, 8)},
        {"NTFS: only the mirror is found", "NTFS", 0, 8000, {{0, ntfsBoot(8, 0xF6, 0xF4, 4, 100)}, {800, fileRecord()}},
         true,
         ntfsParams(8, 0, 0, 800, 2, 8)},
        {"NTFS: neither $MFT nor $MFTMirr", "NTFS", 0, 8000, {{0, ntfsBoot(8, 0xF6, 0xF4, 4, 100)}}, false, {}},
        {"NTFS: the full 64-bit cluster number is read", "NTFS", 0, 8000,
         {{0, ntfsBoot(8, 0xF6, 0xF4, (std::uint64_t{1} << 32) + 4, 100)}, {32, fileRecord()}, {800, fileRecord()}},
         true,
         ntfsParams(8, 0, 0, 800, 2, 8)},
        {"NTFS: no boot sector at either end", "NTFS", 0, 8000, {{32, fileRecord()}}, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = dir / "disk.img";
        test::createImage(image, 8192 * 512);
        writeAll(image, c.writes);
        UnchangedGuard guard(image);
        DeviceMap devices;
        TargetState state = targetOn(attach(devices, image), c.fs, c.start, c.end);
        EXPECT_EQ(computeVolumeParams(devices, state, ""), c.ok);
        // A failure leaves calculatedParams as they were (zero after a reset).
        EXPECT_EQ(state.calculatedParams, c.ok ? c.expected : VolumeParams{});
    }
}

// The second $MFT attempt of a logical drive reads through the drive's own path.
TEST(VolumeParamsTest, NtfsSecondMftAttemptOfLogicalDriveUsesItsOwnPath) {
    TempDir dir;
    const auto diskImage = dir / "disk.img";
    const auto driveImage = dir / "drive.img";
    test::createImage(diskImage, 4096 * 512);
    test::createImage(driveImage, 4096 * 512);
    writeAll(diskImage, {{0, ntfsBoot(8, 0xF6, 0xF4, 4, 100)}, {4000, ntfsBoot(8, 0xF6, 0xF4, 6, 100)},
                         {800, fileRecord()}});
    writeAll(driveImage, {{48, fileRecord()}});
    UnchangedGuard diskGuard(diskImage), driveGuard(driveImage);
    DeviceMap devices;
    const int disk = attach(devices, diskImage);
    const auto letter = devices.attachVolume(driveImage.string());
    ASSERT_TRUE(letter.has_value());

    for (const auto& [kind, mft] : {std::pair{kKindLogical, std::uint64_t{48}}, std::pair{kKindPartition, std::uint64_t{0}}}) {
        SCOPED_TRACE(kind);
        TargetState state = targetOn(disk, "NTFS", 0, 4000);
        state.targetKind = std::string(kind);
        ASSERT_TRUE(computeVolumeParams(devices, state, logicalDrivePath(*letter)));
        EXPECT_EQ(state.calculatedParams.mftStart, mft);
        EXPECT_EQ(state.calculatedParams.mftMirrStart, 800u);
    }
}

// Random boot sectors with a valid signature, at ordinary and extreme starts: never a crash, and
// whatever is accepted has a cluster size a later walker can divide by.
TEST(VolumeParamsTest, GarbageBootSectorsNeverCrash) {
    TempDir dir;
    const auto image = dir / "garbage.img";
    test::createImage(image, 4096 * 512);
    DeviceMap devices;
    const int disk = attach(devices, image);
    std::mt19937_64 rng(20240611);
    const std::uint64_t starts[] = {0, 63, ~std::uint64_t{0} >> 9, ~std::uint64_t{0} - 3};
    for (int round = 0; round < 300; ++round) {
        Sector boot(512);
        for (auto& b : boot) b = std::byte(static_cast<unsigned char>(rng()));
        boot[510] = std::byte{0x55};
        boot[511] = std::byte{0xAA};
        if (round % 3 == 0) boot[0] = std::byte{0xF8};  // also a plausible second FAT when it lands here
        test::writeSector(image, 0, boot);
        test::writeSector(image, 6, boot);
        test::writeSector(image, 4095, boot);
        UnchangedGuard guard(image);
        for (const char* fs : {"FAT16", "FAT32", "NTFS"}) {
            for (const std::uint64_t start : starts) {
                TargetState state = targetOn(disk, fs, start, start == 0 ? 4095 : ~std::uint64_t{0});
                if (computeVolumeParams(devices, state, "")) {
                    const std::uint32_t spc = state.calculatedParams.SPC;
                    EXPECT_TRUE(spc >= 1 && spc <= 128 && (spc & (spc - 1)) == 0) << fs << " SPC " << spc;
                }
            }
        }
    }
}

// ---- searchFatParams ----

struct SearchCase {
    const char* name;
    const char* fs;
    Writes writes;
    bool ok;
    VolumeParams expected;
};

TEST(VolumeParamsTest, SearchCases) {
    // High half 1, low half 14: FAT16 sees cluster 14, FAT32 sees 65550.
    Sector highHalf = dirStart(14);
    putLe16(highHalf, 20, 1);
    const std::vector<SearchCase> cases = {
        {"FAT32: clusters 10 and 14 at sectors 5000 and 5032", "FAT32", {{5000, dirStart(10)}, {5032, dirStart(14)}},
         true,
         fatParams(2452, 8, 0, 2, 32, 4920, 32, 2484)},
        {"FAT16: last F8 FF sector sets the reserved count", "FAT16",
         {{1, fatStart()}, {3, fatStart()}, {5000, dirStart(10)}, {5032, dirStart(14)}}, true,
         fatParams(2450, 8, 32, 4903, 3, 4920, 3, 2453)},
        {"FAT32: F8 FF at start + 36 sets the reserved count", "FAT32",
         {{36, fatStart()}, {5000, dirStart(10)}, {5032, dirStart(14)}}, true,
         fatParams(2450, 8, 0, 2, 36, 4920, 36, 2486)},
        {"the same cluster twice never fixes the volume", "FAT32", {{5000, dirStart(10)}, {5032, dirStart(10)}}, false,
         fatParams(0, 0, 0, 2, 32, 0, 0, 0)},
        {"a repeated cluster is passed over for the next hit", "FAT32",
         {{5000, dirStart(10)}, {5016, dirStart(10)}, {5032, dirStart(14)}}, true,
         fatParams(2452, 8, 0, 2, 32, 4920, 32, 2484)},
        {"a quotient of 12 sectors is no cluster size", "FAT32", {{5000, dirStart(10)}, {5036, dirStart(13)}}, false,
         fatParams(0, 0, 0, 2, 32, 0, 0, 0)},
        {"clusters 0 and 1 are not a first hit", "FAT32",
         {{4000, dirStart(0)}, {4100, dirStart(1)}, {5000, dirStart(10)}, {5032, dirStart(14)}}, true,
         fatParams(2452, 8, 0, 2, 32, 4920, 32, 2484)},
        {"FAT16 takes a later hit by its low 16 bits", "FAT16", {{5000, dirStart(10)}, {5032, highHalf}}, true,
         fatParams(2451, 8, 32, 4903, 1, 4920, 1, 2452)},
        {"FAT32 takes the high half too", "FAT32", {{5000, dirStart(10)}, {5032, highHalf}}, false,
         fatParams(0, 0, 0, 2, 32, 0, 0, 0)},
        {"a pair split across two read blocks", "FAT32", {{2040, dirStart(100)}, {2120, dirStart(110)}}, true,
         fatParams(612, 8, 0, 2, 32, 1240, 32, 644)},
        {"a pair that puts cluster 0 before sector 0 does not fix the volume", "FAT32",
         {{100, dirStart(40)}, {108, dirStart(41)}}, false, fatParams(0, 0, 0, 2, 32, 0, 0, 0)},
        {"no directory clusters", "FAT16", {}, false, fatParams(0, 0, 32, 0, 1, 0, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = dir / "card.img";
        test::createImage(image, 6000 * 512);
        writeAll(image, c.writes);
        UnchangedGuard guard(image);
        DeviceMap devices;
        TargetState state = targetOn(attach(devices, image), c.fs, 0, 6000);
        test::ScriptedSink sink;
        EXPECT_EQ(searchFatParams(devices, state, sink, {}), c.ok);
        EXPECT_EQ(state.calculatedParams, c.expected);
        ASSERT_FALSE(sink.statuses.empty());
        EXPECT_EQ(sink.statuses.front(), kCalculatingParamsText);
        if (!c.ok) {
            ASSERT_FALSE(sink.progressCalls.empty());
            EXPECT_EQ(sink.progressCalls.back(), std::make_pair(std::uint64_t{6000}, std::uint64_t{6000}));
        }
    }
}

// A FAT volume with real folders loses its boot sectors and both FATs; the scan finds the same
// cluster size and cluster 0 as the tool wrote.
TEST(VolumeParamsTest, SearchRecoversMkfsVolumeWithoutBootSectorAndFats) {
    const MkfsFatCase cases[] = {
        {"FAT16 at sector 63, 4-sector clusters", false, 32, 63, 4},
        {"FAT32 volume image, 1-sector clusters", true, 40, 0, 1},
        {"FAT32 at sector 2048, 8-sector clusters", true, 300, 2048, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = dir / "card.img";
        test::createImage(image, c.imageMiB * kMiB);
        const std::uint64_t sectors = c.imageMiB * kMiB / 512;
        const std::string start = std::to_string(c.start);
        ASSERT_TRUE(test::run("mkfs.fat -F " + std::string(c.fat32 ? "32" : "16") + " -S 512 -s " +
                              std::to_string(c.spc) + " --offset " + start + " -h " + start + " " + image.string() +
                              " " + std::to_string((sectors - c.start) / 2)));
        const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
        const std::string img = " -i " + image.string() + "@@" + std::to_string(c.start * 512) + " ";
        ASSERT_TRUE(test::run("head -c 20000 /dev/urandom > " + (dir / "IMG_0001.JPG").string()));
        ASSERT_TRUE(test::run(mt + "mmd" + img + "::/DCIM ::/DCIM/100CANON ::/DCIM/101CANON ::/MISC"));
        ASSERT_TRUE(test::run(mt + "mcopy" + img + (dir / "IMG_0001.JPG").string() + " ::/DCIM/100CANON/"));
        ASSERT_TRUE(test::run(mt + "mcopy" + img + (dir / "IMG_0001.JPG").string() + " ::/DCIM/101CANON/"));

        const std::string fs = test::runOutput("fsstat -o " + start + " " + image.string());
        const std::uint64_t fat0 = fsstatNumber(fs, R"(\* FAT 0)");
        const std::uint64_t fat1 = fsstatNumber(fs, R"(\* FAT 1)");
        const std::uint64_t clusterArea = fsstatNumber(fs, R"(\*\* Cluster Area)");
        const std::uint64_t spc = fsstatNumber(fs, "Cluster Size") / 512;
        // Wipe the boot sector, its FAT32 backup and both FATs.
        const std::vector<std::byte> zeros((2 * (fat1 - fat0)) * 512);
        test::writeSector(image, c.start, test::zeroSector());
        test::writeSector(image, c.start + 6, test::zeroSector());
        test::writeAt(image, (c.start + fat0) * 512, zeros);

        UnchangedGuard guard(image);
        DeviceMap devices;
        TargetState state = targetOn(attach(devices, image), c.fat32 ? "FAT32" : "FAT16", c.start, sectors);
        EXPECT_FALSE(computeVolumeParams(devices, state, ""));
        test::ScriptedSink sink;
        ASSERT_TRUE(searchFatParams(devices, state, sink, {}));
        EXPECT_EQ(state.calculatedParams.SPC, spc);
        EXPECT_EQ(state.calculatedParams.Cluster0Start, c.start + clusterArea - 2 * spc);
    }
}

TEST(VolumeParamsTest, SearchStopsWhenStopIsRequested) {
    TempDir dir;
    const auto image = dir / "blank.img";
    const std::uint64_t sectors = 40000;
    test::createImage(image, sectors * 512);
    // A pair the scan would find if it were let run.
    writeAll(image, {{30000, dirStart(10)}, {30032, dirStart(14)}});
    UnchangedGuard guard(image);
    DeviceMap devices;
    TargetState state = targetOn(attach(devices, image), "FAT32", 0, sectors);
    std::stop_source stop;
    test::ScriptedSink sink;
    sink.onProgress = [&](std::uint64_t, std::uint64_t) { stop.request_stop(); };
    EXPECT_FALSE(searchFatParams(devices, state, sink, stop.get_token()));
    ASSERT_FALSE(sink.progressCalls.empty());
    EXPECT_LT(sink.progressCalls.back().first, sectors);
    EXPECT_EQ(sink.progressCalls.back().second, sectors);
    EXPECT_EQ(state.calculatedParams.SPC, 0u);
}

TEST(VolumeParamsTest, SearchOnDeviceThatDoesNotOpenFails) {
    DeviceMap devices;
    TargetState state = targetOn(3, "FAT16", 0, 1000);
    test::ScriptedSink sink;
    EXPECT_FALSE(searchFatParams(devices, state, sink, {}));
    EXPECT_TRUE(sink.statuses.empty());
    EXPECT_EQ(state.calculatedParams, VolumeParams{});
}

} // namespace
} // namespace snapmend::device
