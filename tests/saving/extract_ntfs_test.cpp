#include <gtest/gtest.h>

#include "common/bytes.h"
#include "device/device_map.h"
#include "saving/extract_ntfs.h"
#include "tests/support/test_media.h"

namespace snapmend::saving {
namespace {

using device::DevicePathTable;
using test::TempDir;
using test::UnchangedGuard;

std::vector<std::byte> bytesOf(std::initializer_list<int> v) {
    std::vector<std::byte> out;
    for (int b : v) out.push_back(std::byte(static_cast<std::uint8_t>(b)));
    return out;
}

TEST(DecodeDataRuns, SaveRules) {
    constexpr auto kOut = kRunOutsideVolume;
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::optional<std::vector<DataRun>> runs;
    };
    const Case cases[] = {
        {"first offset is unsigned", bytesOf({0x11, 0x04, 0x80, 0}), std::vector<DataRun>{{0x80, 4}}},
        {"4-byte first offset unsigned", bytesOf({0x41, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0}),
         std::vector<DataRun>{{0xFFFFFFFF, 1}}},
        {"later offsets are signed deltas", bytesOf({0x11, 0x02, 0x0A, 0x11, 0x01, 0xFB, 0x21, 0x03, 0x00, 0x01, 0}),
         std::vector<DataRun>{{10, 2}, {5, 1}, {5 + 256, 3}}},
        {"offset size 0 is a sparse run", bytesOf({0x11, 0x02, 0x0A, 0x01, 0x03, 0}),
         std::vector<DataRun>{{10, 2}, {10, 3, true}}},
        {"delta before the volume", bytesOf({0x11, 0x02, 0x03, 0x11, 0x01, 0xF0, 0}),
         std::vector<DataRun>{{3, 2}, {kOut, 1}}},
        {"empty list", bytesOf({0}), std::vector<DataRun>{}},
        {"no terminator before the end", bytesOf({0x11, 0x02, 0x0A}), std::vector<DataRun>{{10, 2}}},
        {"5-byte length field", bytesOf({0x15, 1, 0, 0, 0, 0, 0x0A, 0}), std::nullopt},
        {"5-byte offset field", bytesOf({0x51, 1, 1, 0, 0, 0, 0, 0}), std::nullopt},
        {"run crossing the end", bytesOf({0x21, 0x02, 0x0A}), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeDataRuns(c.bytes, 0, c.bytes.size()), c.runs);
    }
}

constexpr std::size_t kAttr = 0x98;  // where the records below put their data attribute

// A 1024-byte MFT record with the given attributes from kAttr, an end marker after them, and the
// update-sequence protection applied the way it is on disk.
std::vector<std::byte> makeRecord(const std::vector<std::byte>& attributes) {
    std::vector<std::byte> rec(1024);
    putAscii(rec, 0, "FILE");
    putLe16(rec, 4, 0x30);  // update sequence array
    putLe16(rec, 6, 3);     // sequence number + two sectors
    putLe16(rec, 0x14, kAttr);
    putLe16(rec, 0x16, 1);
    std::copy(attributes.begin(), attributes.end(), rec.begin() + kAttr);
    putLe32(rec, kAttr + attributes.size(), 0xFFFFFFFF);
    putLe16(rec, 0x30, 0x0007);
    for (std::size_t i = 0; i < 2; ++i) {
        rec[0x32 + 2 * i] = rec[510 + 512 * i];
        rec[0x33 + 2 * i] = rec[511 + 512 * i];
        putLe16(rec, 510 + 512 * i, 0x0007);
    }
    return rec;
}

std::vector<std::byte> residentData(std::span<const std::byte> content) {
    std::vector<std::byte> a(24 + (content.size() + 7) / 8 * 8);
    putLe32(a, 0, 0x80);
    putLe32(a, 4, static_cast<std::uint32_t>(a.size()));
    putLe32(a, 16, static_cast<std::uint32_t>(content.size()));
    putLe16(a, 20, 24);
    std::copy(content.begin(), content.end(), a.begin() + 24);
    return a;
}

std::vector<std::byte> nonResidentData(const std::vector<std::byte>& runs, std::uint64_t realSize) {
    std::vector<std::byte> a(0x40 + (runs.size() + 7) / 8 * 8);
    putLe32(a, 0, 0x80);
    putLe32(a, 4, static_cast<std::uint32_t>(a.size()));
    a[8] = std::byte{1};
    putLe16(a, 0x20, 0x40);
    putLe64(a, 0x30, realSize);
    std::copy(runs.begin(), runs.end(), a.begin() + 0x40);
    return a;
}

struct TinyNtfs {
    static constexpr std::uint64_t kRecordSector = 4;
    static constexpr std::uint64_t kVolumeStart = 32;
    static constexpr std::uint32_t kClusters = 24;

    explicit TinyNtfs(std::uint32_t spc) {
        image = dir / "ntfs.img";
        params.partType = "NTFS";
        params.SPC = spc;
        params.Cluster0Start = kVolumeStart;
        test::createImage(image, (kVolumeStart + std::uint64_t{kClusters} * spc) * 512);
        for (std::uint32_t c = 0; c < kClusters; ++c) {
            std::vector<std::byte> data(std::size_t{spc} * 512);
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = clusterByte(c, i);
            test::writeAt(image, (kVolumeStart + std::uint64_t{c} * spc) * 512, data);
        }
        EXPECT_TRUE(devices.attachDisk(image.string()));
    }
    static std::byte clusterByte(std::uint32_t cluster, std::size_t offset) {
        return std::byte(static_cast<std::uint8_t>(cluster * 41 + offset / 512 * 3 + offset % 253 + 1));
    }
    std::vector<std::byte> expected(const std::vector<std::uint32_t>& clusters, std::uint64_t size) const {
        std::vector<std::byte> out;
        for (std::uint32_t c : clusters)
            for (std::size_t i = 0; i < std::size_t{params.SPC} * 512 && out.size() < size; ++i)
                out.push_back(clusterByte(c, i));
        return out;
    }
    void writeRecord(const std::vector<std::byte>& rec) { test::writeAt(image, kRecordSector * 512, rec); }
    ExtractOutcome extract(SaveContext& ctx, std::uint64_t size, std::uint64_t sector = kRecordSector) {
        const SourceVolume source{devices, DevicePathTable[0], params};
        return ExtractNtfsFile(source, ctx, (out / "f.bin").string(), "f.bin", size, sector, false);
    }

    TempDir dir;
    TempDir out;
    std::filesystem::path image;
    device::VolumeParams params;
    device::DeviceMap devices;
};

std::vector<std::byte> fileBytes(const std::filesystem::path& p) {
    return test::readAt(p, 0, static_cast<std::size_t>(std::filesystem::file_size(p)));
}

TEST(ExtractNtfsFile, ResidentContentIsWrittenOnlyWhenItFitsTheRecord) {
    std::vector<std::byte> content(700);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = std::byte(static_cast<std::uint8_t>(i * 7 + 3));
    struct Case {
        const char* name;
        std::uint64_t size;
        bool created;
    };
    // 0x98 + 24 + 700 = 876 fits in the record; 400 bytes more do not.
    const Case cases[] = {{"700 bytes at 0x98", 700, true}, {"1100 bytes at 0x98", 1100, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TinyNtfs vol(2);
        vol.writeRecord(makeRecord(residentData(content)));
        UnchangedGuard guard(vol.image);
        SaveContext ctx;
        const auto outcome = vol.extract(ctx, c.size);
        EXPECT_EQ(outcome.created, c.created);
        EXPECT_EQ(std::filesystem::exists(vol.out / "f.bin"), c.created);
        // The content crosses byte 510, so it only comes out right with the fixups applied.
        if (c.created) {
            EXPECT_EQ(fileBytes(vol.out / "f.bin"), content);
        }
    }
}

TEST(ExtractNtfsFile, NonResidentRunsAreReadClusterByCluster) {
    struct Case {
        const char* name;
        std::uint32_t spc;
        std::vector<std::byte> runs;
        std::uint64_t size;
        std::vector<std::uint32_t> clusters;
        std::uint64_t written;  // shorter than size when clusters lie beyond the device
    };
    const Case cases[] = {
        {"sector chunks, negative delta", 2, bytesOf({0x11, 0x02, 0x0A, 0x11, 0x01, 0xFB, 0}), 2600, {10, 11, 5},
         2600},
        {"4 KiB chunks", 8, bytesOf({0x11, 0x02, 0x0A, 0x11, 0x01, 0xFB, 0}), 10000, {10, 11, 5}, 10000},
        {"size ends inside the first run", 2, bytesOf({0x11, 0x03, 0x02, 0}), 1500, {2, 3}, 1500},
        {"run beyond the device is cut", 2, bytesOf({0x11, 0x01, 0x04, 0x31, 0x04, 0x00, 0x00, 0x10, 0}), 5000,
         {4}, 1024},
        {"run crossing the device's end is cut there", 2, bytesOf({0x11, 0x05, 0x16, 0}), 5000, {22, 23}, 2048},
        {"size 0 is an empty file", 2, bytesOf({0x11, 0x02, 0x0A, 0}), 0, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TinyNtfs vol(c.spc);
        vol.writeRecord(makeRecord(nonResidentData(c.runs, c.size)));
        UnchangedGuard guard(vol.image);
        SaveContext ctx;
        const auto outcome = vol.extract(ctx, c.size);
        EXPECT_TRUE(outcome.created);
        EXPECT_EQ(outcome.bytes, c.written);
        EXPECT_EQ(outcome.complete, c.written == c.size);
        EXPECT_EQ(fileBytes(vol.out / "f.bin"), vol.expected(c.clusters, c.written));
    }
}

TEST(ExtractNtfsFile, SparseRunsAreZerosNotTheClustersBeforeThem) {
    TinyNtfs vol(2);
    // Cluster 10, one sparse cluster, then cluster 11 (delta +1 from the last real run).
    vol.writeRecord(makeRecord(nonResidentData(bytesOf({0x11, 0x01, 0x0A, 0x01, 0x01, 0x11, 0x01, 0x01, 0}), 3072)));
    UnchangedGuard guard(vol.image);
    SaveContext ctx;
    const auto outcome = vol.extract(ctx, 3072);
    EXPECT_TRUE(outcome.complete);
    auto want = vol.expected({10}, 1024);
    want.resize(2048, std::byte{0});
    const auto last = vol.expected({11}, 1024);
    want.insert(want.end(), last.begin(), last.end());
    EXPECT_EQ(fileBytes(vol.out / "f.bin"), want);
}

TEST(ExtractNtfsFile, RecordsWithoutUsableDataAttribute) {
    struct Case {
        const char* name;
        std::vector<std::byte> record;
        std::uint64_t sector;
        bool created;  // an (empty) output file
    };
    const Case cases[] = {
        {"no data attribute: empty file", makeRecord({}), TinyNtfs::kRecordSector, true},
        {"record past the device's end: nothing", makeRecord({}), 1u << 20, false},
        {"runs that do not decode: nothing", makeRecord(nonResidentData(bytesOf({0x15, 1, 0, 0, 0, 0, 1, 0}), 512)),
         TinyNtfs::kRecordSector, false},
        {"no runs: nothing", makeRecord(nonResidentData(bytesOf({0}), 512)), TinyNtfs::kRecordSector, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TinyNtfs vol(2);
        vol.writeRecord(c.record);
        UnchangedGuard guard(vol.image);
        SaveContext ctx;
        const auto outcome = vol.extract(ctx, 512, c.sector);
        EXPECT_EQ(outcome.created, c.created);
        EXPECT_EQ(std::filesystem::exists(vol.out / "f.bin"), c.created);
        if (c.created) {
            EXPECT_EQ(std::filesystem::file_size(vol.out / "f.bin"), 0u);
        }
    }
}

} // namespace
} // namespace snapmend::saving
