// Deep Search engines over hand-laid sectors: the FAT volume decisions (boot sectors, inferred
// pairs, strays, the FAT32 promotion), FAT location, the NTFS record filing, garbage and Stop.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <stop_token>

#include "common/bytes.h"
#include "common/text.h"
#include "device/device_map.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/deep_scan_ntfs.h"
#include "fsrecovery/deep_search.h"
#include "fsrecovery/session.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::fsrecovery {
namespace {

using test::TempDir;
using test::UnchangedGuard;
using Sector = std::array<std::byte, 512>;

// The first sector of a subdirectory cluster: "." naming self and ".." naming parent.
Sector dirSector(std::uint32_t self, std::uint32_t parent) {
    Sector s{};
    putAscii(s, 0, ".          ");
    s[11] = std::byte{0x10};
    putLe16(s, 20, static_cast<std::uint16_t>(self >> 16));
    putLe16(s, 26, static_cast<std::uint16_t>(self));
    putAscii(s, 32, "..         ");
    s[43] = std::byte{0x10};
    putLe16(s, 52, static_cast<std::uint16_t>(parent >> 16));
    putLe16(s, 58, static_cast<std::uint16_t>(parent));
    return s;
}

// A FAT32 boot sector at sector s: spc, reserved sectors and sectors per FAT as given.
Sector fat32Boot(std::uint8_t spc, std::uint16_t reserved, std::uint32_t spf, std::uint32_t total) {
    Sector s{};
    s[0x0D] = std::byte{spc};
    putLe16(s, 0x0E, reserved);
    putLe32(s, 0x20, total);
    putLe32(s, 0x24, spf);
    putLe32(s, 0x2C, 2);
    putAscii(s, 0x52, "FAT32   ");
    s[510] = std::byte{0x55};
    s[511] = std::byte{0xAA};
    return s;
}

class DeepImage {
public:
    explicit DeepImage(std::uint64_t sectors, const char* fs) : m_session(m_devices) {
        test::createImage(m_path, sectors * 512);
        EXPECT_TRUE(m_devices.attachDisk(m_path.string()));
        auto& t = m_session.target;
        t.devicePath = device::DevicePathTable[0];
        t.target.fileSystem = fs;
        t.target.searchMode = std::string(kDeepSearchMode);
        t.target.endSector = sectors;
    }
    Session& session() { return m_session; }
    const std::filesystem::path& path() const { return m_path; }
    void put(std::uint64_t sector, std::span<const std::byte> bytes) { test::writeAt(m_path, sector * 512, bytes); }

    // Scans and decides; returns (Cluster0Start, SPC, PartType) of every volume.
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> volumes() {
        test::ScriptedSink sink;
        DeepScanFat(m_session, sink, {});
        DecideDeepVolumes(m_session, 0, sink);
        std::vector<std::tuple<std::uint64_t, std::uint64_t, std::string>> out;
        const auto& v = m_session.DeepVolumeList;
        for (std::size_t r = 0; r < v.rowCount(); ++r)
            out.emplace_back(v.u64At(r, kBsCluster0Start), v.u64At(r, kBsSpc), v.cell(r, kBsPartType));
        return out;
    }
    // The volume number each directory row got, by its sector.
    std::map<std::uint64_t, std::uint64_t> volumeOfRows() const {
        std::map<std::uint64_t, std::uint64_t> out;
        const auto& d = m_session.DirClusterList;
        for (std::size_t r = 0; r < d.rowCount(); ++r) out[d.u64At(r, kDcSector)] = d.u64At(r, kDcFileSystem);
        return out;
    }

private:
    TempDir m_dir;
    std::filesystem::path m_path = m_dir / "disk.img";
    device::DeviceMap m_devices;
    Session m_session;
};

using Volume = std::tuple<std::uint64_t, std::uint64_t, std::string>;

TEST(DeepFatVolumes, InferredFromDirectoryPairsWithTheirClusterSizeAndBase) {
    struct Dir {
        std::uint32_t self, parent;
    };
    struct Case {
        const char* name;
        const char* fs;
        std::uint64_t base;
        std::uint64_t spc;
        std::vector<Dir> dirs;
        std::vector<Volume> expected;
    };
    const Case cases[] = {
        {"fat32 4-sector clusters", "FAT32", 3000, 4, {{3, 0}, {7, 3}, {9, 3}}, {{3000, 4, "FAT32"}}},
        {"one sector per cluster", "FAT16", 1000, 1, {{5, 0}, {6, 5}}, {{1000, 1, "FAT16"}}},
        {"fat16 choice promoted by a cluster beyond 65536", "FAT16", 90000, 1, {{3, 0}, {70000, 3}},
         {{90000, 1, "FAT32"}}},
        {"a stray directory pairs with nothing", "FAT32", 2000, 8, {{3, 0}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeepImage img(200000, c.fs);
        for (const auto& d : c.dirs) img.put(c.base + d.self * c.spc, dirSector(d.self, d.parent));
        UnchangedGuard guard(img.path());
        EXPECT_EQ(img.volumes(), c.expected);
        for (const auto& [sector, volume] : img.volumeOfRows()) EXPECT_EQ(volume, c.expected.empty() ? 0u : 1u) << sector;
    }
}

TEST(DeepFatVolumes, BootSectorVolumeAndInferredVolumeInOneRange) {
    DeepImage img(40000, "FAT32");
    // Volume 1 at sector 100: 32 reserved, 2 x 200-sector FATs, 2 sectors per cluster.
    img.put(100, fat32Boot(2, 32, 200, 10000));
    const std::uint64_t c0 = 100 + 32 + 2 * (200 - 2);
    img.put(c0 + 3 * 2, dirSector(3, 0));
    // Volume 2 without a boot sector: cluster 0 at 20000, 4 sectors per cluster, same clusters.
    img.put(20000 + 3 * 4, dirSector(3, 0));
    img.put(20000 + 5 * 4, dirSector(5, 3));
    // A copy of volume 2's directory whose "." does not fit any line stays out.
    img.put(30001, dirSector(3, 0));
    EXPECT_EQ(img.volumes(), (std::vector<Volume>{{c0, 2, "FAT32"}, {20000, 4, "FAT32"}}));
    EXPECT_EQ(img.volumeOfRows(), (std::map<std::uint64_t, std::uint64_t>{
                                      {c0 + 6, 1}, {20012, 2}, {20020, 2}, {30001, 0}}));

    // Listing and the tree keep both volumes' folders although their cluster numbers are equal.
    test::ScriptedSink sink;
    BuildDeepFatTree(img.session(), sink);
    std::vector<std::uint64_t> volumesOfCluster3;
    for (const auto& n : img.session().recovered.folders)
        if (n.selfCluster == 3) volumesOfCluster3.push_back(n.cluster0Start);
    EXPECT_EQ(volumesOfCluster3, (std::vector<std::uint64_t>{c0, 20000}));
    ASSERT_TRUE(SwitchToFolderVolume(img.session(), 20000));
    EXPECT_EQ(img.session().params().SPC, 4u);
}

TEST(DeepFatVolumes, LocateFatsPrefersThePairThatEndsAtClusterTwo) {
    DeepImage img(20000, "FAT32");
    Sector fat{};
    fat[0] = std::byte{0xF8};
    fat[1] = fat[2] = std::byte{0xFF};
    // A stray FAT-looking sector first, then the real FATs of 300 sectors ending at cluster 2.
    const std::uint64_t c0 = 10000, spc = 4, first = c0 + 2 * spc - 600;
    for (const std::uint64_t s : {first - 50, first, first + 300}) img.put(s, fat);
    auto& v = img.session().DeepVolumeList;
    WorkTable::Row row(kBsEndSector + 1, "0");
    row[kBsSpc] = decimal(spc);
    row[kBsCluster0Start] = decimal(c0);
    row[kBsPartType] = "FAT32";
    v.append(row);
    test::ScriptedSink sink;
    ASSERT_TRUE(LocateFats(img.session(), 1, sink));
    EXPECT_EQ(v.u64At(0, kBsFirstFat), first);
    EXPECT_EQ(v.u64At(0, kBsSecondFat), first + 300);
    EXPECT_EQ(v.u64At(0, kBsSpf), 300u);
    EXPECT_EQ(img.session().params().firstFAT, first);
}

// A 1024-byte MFT record: flags, own number, and a resident $FILE_NAME (Win32 namespace).
std::array<std::byte, 1024> mftRecord(std::uint8_t flags, std::uint32_t self, std::uint32_t parent,
                                      std::u16string_view name) {
    std::array<std::byte, 1024> r{};
    putAscii(r, 0, "FILE");
    putLe16(r, 4, 0x30);   // update sequence array offset
    putLe16(r, 6, 3);      // its count: the number and one entry per sector
    putLe16(r, 0x14, 0x38);  // first attribute
    putLe16(r, 0x16, flags);
    putLe32(r, 0x18, 0x200);
    putLe32(r, 0x1C, 1024);
    putLe32(r, 0x2C, self);
    putLe16(r, 0x30, 7);  // sequence number, also at the end of both sectors
    putLe16(r, 510, 7);
    putLe16(r, 1022, 7);
    const std::size_t a = 0x38, value = 0x18, len = 0x42 + 2 * name.size();
    putLe32(r, a, 0x30);
    putLe32(r, a + 4, static_cast<std::uint32_t>((value + len + 7) & ~std::size_t{7}));
    putLe32(r, a + 0x10, static_cast<std::uint32_t>(len));
    putLe16(r, a + 0x14, value);
    putLe64(r, a + value, parent);
    putLe64(r, a + value + 8, 130000000000000000ull);  // creation time
    r[a + value + 0x40] = std::byte(name.size());
    r[a + value + 0x41] = std::byte{1};
    for (std::size_t i = 0; i < name.size(); ++i) putLe16(r, a + value + 0x42 + 2 * i, name[i]);
    putLe32(r, (a + ((value + len + 7) & ~std::size_t{7})), 0xFFFFFFFF);
    return r;
}

TEST(DeepNtfs, FilesRecordsWhereverTheyLieAndNestsChildrenMetBeforeTheirParents) {
    DeepImage img(4096, "NTFS");
    img.put(2000, mftRecord(3, 70, 64, u"Beach"));      // before its parent
    img.put(2100, mftRecord(3, 64, 5, u"Trips"));
    img.put(2102, mftRecord(2, 65, 5, u"Old"));         // deleted directory
    img.put(2104, mftRecord(1, 80, 70, u"sunset.jpg"));
    img.put(2106, mftRecord(3, 66, 9999, u"Lost"));     // parent never seen
    // Garbage: "FILE" with the wrong allocated size is not taken.
    std::array<std::byte, 1024> wrong = mftRecord(3, 90, 5, u"Wrong");
    putLe32(wrong, 0x1C, 4096);
    img.put(2200, wrong);
    // A record whose second sector is the first of the next block.
    img.put(kDeepBlockSectors * 2 - 1, mftRecord(3, 71, 64, u"Straddle"));
    UnchangedGuard guard(img.path());

    Session& s = img.session();
    SetDeepNtfsVolume(s);
    EXPECT_EQ(s.params().SPC, kDeepNtfsDefaultSpc);
    s.recovered.ensureRoot();
    test::ScriptedSink sink;
    DeepScanNtfs(s, sink, {});
    AssembleDeepNtfsTree(s);

    std::map<std::string, int> paths;  // path -> deleted
    const auto& rt = s.recovered;
    rt.tree.forEach([&](ItemId id, int) {
        std::string path = rt.tree.label(id);
        for (ItemId p = rt.tree.parent(id); p != kNoItem; p = rt.tree.parent(p)) path = rt.tree.label(p) + "/" + path;
        const NodeId n = rt.nodeOf(id);
        paths[path] = n == kNoNode ? 0 : rt.folders[n].deleted;
    });
    EXPECT_EQ(paths, (std::map<std::string, int>{{"Root", 0},
                                                 {"Root/LST_Miscellaneous", 0},
                                                 {"Root/LST_Miscellaneous/Lost", 0},
                                                 {"Root/Old", 1},
                                                 {"Root/Trips", 0},
                                                 {"Root/Trips/Beach", 0},
                                                 {"Root/Trips/Straddle", 0}}));
    ASSERT_EQ(s.NtfsFileTable.rowCount(), 1u);
    EXPECT_EQ(s.NtfsFileTable.cell(0, 0), "70|2104|");
}

TEST(DeepScan, GarbageNeitherCrashesNorHangsAndStopKeepsWhatWasRead) {
    for (const char* fs : {"FAT32", "NTFS"}) {
        SCOPED_TRACE(fs);
        DeepImage img(8 * kDeepBlockSectors, fs);
        // Random sectors, many of them dressed as directory starts, boot sectors or records.
        std::mt19937 rng(7);
        std::vector<std::byte> junk(8 * kDeepBlockSectors * 512);
        for (auto& b : junk) b = std::byte(rng());
        for (std::size_t s = 0; s < 8 * kDeepBlockSectors; s += 3) {
            const auto sector = std::span(junk).subspan(s * 512, 512);
            switch (s % 4) {
                case 0: putAscii(sector, 0, ".  "), putAscii(sector, 32, ".. "); break;
                case 1: putAscii(sector, 0x52, "FAT32"), putLe16(sector, 510, 0xAA55); break;
                default: putAscii(sector, 0, "FILE"), putLe16(sector, 0x1C, 1024), putLe64(sector, 0x20, 0); break;
            }
        }
        img.put(0, junk);
        UnchangedGuard guard(img.path());
        Session& s = img.session();
        test::ScriptedSink sink;
        ASSERT_TRUE(StartDeepSearch(s, sink));
        const auto all = DeepSearchWorker(s, sink, {});
        EXPECT_FALSE(all.stopped);
        EXPECT_GT(all.dirClusters + all.fileRecords, 0u);

        // Stop while the first block is read: its rows are kept and assembled, no other block is read.
        std::stop_source stop;
        sink.onProgress = [&](std::uint64_t, std::uint64_t) { StopDeepSearch(stop); };
        ASSERT_TRUE(StartDeepSearch(s, sink));
        const auto part = DeepSearchWorker(s, sink, stop.get_token());
        EXPECT_TRUE(part.stopped);
        EXPECT_GT(part.dirClusters + part.fileRecords, 0u);
        EXPECT_LT(part.dirClusters + part.fileRecords, all.dirClusters + all.fileRecords);
        EXPECT_EQ(s.recovered.tree.label(s.recovered.tree.firstItem()), "Root");
    }
}

TEST(DeepSearchStart, RefusesAnUnknownFileSystem) {
    DeepImage img(64, "Unknown");
    test::ScriptedSink sink;
    EXPECT_FALSE(StartDeepSearch(img.session(), sink));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, kSelectFileSystemType);
}

} // namespace
} // namespace snapmend::fsrecovery
