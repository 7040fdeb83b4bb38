// `snapmend deep --log` and `snapmend load` end to end on real scans: a disk with two FAT32
// volumes and a disk with an NTFS partition are scanned and logged, the log is read field by field
// by a reader of the layout, then reloaded with another disk attached first and saved byte-exact.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/log_reader.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

std::string randomText(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(gen());
    return s;
}

// Writes files (path below the root -> size) into a FAT image through mtools.
void fillFat(const TempDir& dir, const fs::path& vol, const std::map<std::string, std::size_t>& files, unsigned seed) {
    const std::string m = "MTOOLS_SKIP_CHECK=1 ";
    std::set<std::string> made;
    for (const auto& [path, size] : files) {
        for (auto slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
            if (made.insert(path.substr(0, slash)).second) {
                ASSERT_TRUE(test::run(m + "mmd -i " + q(vol) + " '::/" + path.substr(0, slash) + "'"));
            }
        const auto src = dir / ("src" + std::to_string(++seed));
        std::ofstream(src, std::ios::binary) << randomText(size, seed);
        ASSERT_TRUE(test::run(m + "mcopy -i " + q(vol) + " " + q(src) + " '::/" + path + "'"));
    }
}

// Two FAT32 volumes on one MBR disk, numbering their folders alike.
bool twoFatVolumes(const TempDir& dir, const fs::path& disk, std::string&) {
    const auto a = dir / "a.img", b = dir / "b.img";
    for (const auto& v : {a, b})
        if (!test::run("truncate -s 40M " + q(v) + " && mkfs.fat -F 32 -s 1 " + q(v) + " >/dev/null")) return false;
    fillFat(dir, a, {{"DCIM/100CANON/IMG_0001.JPG", 70000}, {"DCIM/100CANON/IMG_0002.JPG", 5000}}, 10);
    fillFat(dir, b, {{"DCIM/100CANON/IMG_0001.JPG", 30000}, {"Trip/Day1/beach.jpg", 9000}}, 20);
    return test::run("truncate -s 90M " + q(disk) +
                     " && printf 'label: dos\\nstart=2048, size=81920, type=c\\nstart=86016, type=c\\n' | sfdisk -q " +
                     q(disk)) &&
           test::run("dd if=" + q(a) + " of=" + q(disk) + " bs=512 seek=2048 conv=notrunc status=none") &&
           test::run("dd if=" + q(b) + " of=" + q(disk) + " bs=512 seek=86016 conv=notrunc status=none");
}

// One NTFS partition at sector 2048 with nested folders.
bool ntfsPartition(const TempDir& dir, const fs::path& disk, std::string& why) {
    const auto vol = dir / "ntfs.img";
    const auto a = dir / "a.bin", b = dir / "b.bin";
    std::ofstream(a, std::ios::binary) << randomText(70000, 1);
    std::ofstream(b, std::ios::binary) << randomText(3000, 2);
    if (!test::makeNtfsVolume(vol, 32,
                              "mkdir -p DCIM/100CANON Trip && cp " + q(a) + " DCIM/100CANON/IMG_0001.JPG && cp " + q(b) +
                                  " Trip/note.txt",
                              why))
        return false;
    return test::run("truncate -s 40M " + q(disk) + " && printf 'label: dos\\nstart=2048, type=7\\n' | sfdisk -q " +
                     q(disk)) &&
           test::run("dd if=" + q(vol) + " of=" + q(disk) + " bs=512 seek=2048 conv=notrunc status=none");
}

struct Case {
    const char* name;
    bool (*build)(const TempDir&, const fs::path&, std::string&);
    const char* fileSystem;
    const char* choice;      // how the disk is chosen on the command line
    const char* targetKind;
    std::uint64_t diskSectors;
};

// Reads a Deep Search log field by field and checks it against what the scan reported.
void expectDeepLog(const std::vector<std::byte>& bytes, const Case& c, const nlohmann::json& doc) {
    test::LogFieldReader r{bytes};
    const std::string model = "disk.img USB Device";
    EXPECT_EQ(r.s8(), c.targetKind);
    EXPECT_EQ(r.s8(), "KestrevanWIN7SR2013");
    EXPECT_EQ(r.s8(), model);
    EXPECT_EQ(r.u32(), 2u);
    EXPECT_EQ(r.s8(), "PHY");
    const std::string identity = r.s8();
    EXPECT_TRUE(identity.starts_with(model + "||")) << identity;
    EXPECT_TRUE(identity.ends_with("||" + std::to_string(c.diskSectors) + "||0")) << identity;
    EXPECT_EQ(r.u16(), 0u);  // the disk the log was saved from

    EXPECT_EQ(r.u16(), 0u);  // diskIndex
    r.u32();                 // partitionIndex
    EXPECT_EQ(r.s8(), c.fileSystem);
    EXPECT_EQ(r.s8(), "Deep Search");
    for (int i = 0; i < 4; ++i) r.u64();  // start, end, listed start, listed end
    for (int set = 0; set < 2; ++set) {   // calculated and active parameters
        for (int i = 0; i < 5; ++i) r.u32();
        r.u64();
        r.u32(), r.u32(), r.u64(), r.u64(), r.u32(), r.u32();
    }
    EXPECT_EQ(r.s8(), c.fileSystem);  // partType of the active parameters

    const bool ntfs = std::string(c.fileSystem) == "NTFS";
    std::set<std::uint64_t> volumeStarts;
    if (!ntfs) {
        const auto& volumes = doc["volumes"];
        ASSERT_EQ(r.u64(), volumes.size());
        for (const auto& v : volumes) {
            std::vector<std::string> row;
            for (int col = 0; col < 12; ++col) row.push_back(r.s8());
            EXPECT_EQ(row[6], std::to_string(v["cluster0Start"].get<std::uint64_t>()));
            EXPECT_EQ(row[10], "FAT32");
            volumeStarts.insert(v["cluster0Start"].get<std::uint64_t>());
        }
    }

    EXPECT_GT(r.u64(), 0u);  // folder count
    EXPECT_EQ(r.L(), u"Root");
    EXPECT_EQ(r.s8(), "Root_Item");
    for (int i = 0; i < 2; ++i) EXPECT_EQ(r.u32(), 0u);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(r.u64(), 0u);
    EXPECT_EQ(r.u32(), 0u);
    EXPECT_EQ(r.u64(), 0u);  // a Deep record's sixth number

    std::multiset<std::string> paths;
    std::vector<std::string> stack;
    for (;;) {
        const std::u16string line = r.L();
        if (line == u"KestrevanWIN7SR2013/:*?\"<>|") break;
        std::size_t depth = 0;
        while (depth < line.size() && line[depth] == u'\t') ++depth;
        ASSERT_GE(depth, 1u);
        ASSERT_LE(depth, stack.size() + 1);
        stack.resize(depth - 1);
        stack.push_back(utf16ToUtf8(line.substr(depth)));
        std::string path;
        for (const auto& part : stack) path += (path.empty() ? "" : "/") + part;
        paths.insert(path);
        EXPECT_EQ(r.s8(), stack.back());
        const std::uint32_t self = r.u32();
        r.u32(), r.u64(), r.u64(), r.u32();
        const std::uint64_t cluster0Start = r.u64();
        // Every FAT folder keeps the volume it was found on.
        if (!ntfs && self != 268435455u) {
            EXPECT_EQ(volumeStarts.count(cluster0Start), 1u) << path;
        }
    }
    std::multiset<std::string> reported;
    for (const auto& f : doc["tree"]) reported.insert(f["path"].get<std::string>());
    EXPECT_EQ(paths, reported);

    if (ntfs) {
        const std::uint64_t records = r.u64();
        EXPECT_GE(records, doc["fileList"].size());
        for (std::uint64_t i = 0; i < records * 6; ++i) r.S();
        EXPECT_EQ(r.u32(), 0u);  // reserved
        // The partition slot of the disk: drive, row, start, end, cluster 0, the disk's end.
        ASSERT_EQ(r.u32(), 1u);
        std::vector<std::string> row;
        for (int col = 0; col < 6; ++col) row.push_back(r.s8());
        const std::string end = std::to_string(c.diskSectors);
        EXPECT_EQ(row, (std::vector<std::string>{"0", "1", "2048", end, "2048", end}));
    }
    EXPECT_EQ(r.pos, bytes.size());
}

TEST(DeepLogCli, LogIsTheLayoutAndReloadsUnderAnotherDiskNumberWithTheSameFiles) {
    const Case cases[] = {
        {"two FAT32 volumes", twoFatVolumes, "FAT32", "", "Hard Disk", 90u << 11},
        {"an NTFS partition", ntfsPartition, "NTFS", " --partition 1", "part", 40u << 11},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto disk = dir / "disk.img";
        std::string why;
        if (!c.build(dir, disk, why)) {
            ADD_FAILURE() << "fixture: " << why;
            continue;
        }
        ASSERT_TRUE(test::run("truncate -s 8M " + q(dir / "other.img")));
        test::UnchangedGuard guard(disk);
        const auto log = dir / "deep.QSL";

        const auto scanned = test::runCli(dir, "deep " + q(disk) + c.choice + " --fs " + c.fileSystem +
                                                   " --json --out " + q(dir / "first") + " --log " + q(log));
        ASSERT_EQ(scanned.exitCode, 0) << scanned.err;
        const auto a = nlohmann::json::parse(scanned.out);
        ASSERT_GE(a["fileList"].size(), 3u);
        expectDeepLog(test::readAt(log, 0, static_cast<std::size_t>(fs::file_size(log))), c, a);

        const auto loaded = test::runCli(dir, "load " + q(log) + " --disk " + q(dir / "other.img") + " --disk " +
                                                  q(disk) + " --yes --json --out " + q(dir / "second"));
        ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
        EXPECT_NE(loaded.err.find("Original Media connection order on Disk number '0' has been replaced with media "
                                  "of disk number '1'"),
                  std::string::npos);
        const auto b = nlohmann::json::parse(loaded.out);
        EXPECT_EQ(b["mode"], "Deep Search");
        std::multiset<std::string> treeA, treeB;
        for (const auto& f : a["tree"]) treeA.insert(f.dump());
        for (const auto& f : b["tree"]) treeB.insert(f.dump());
        EXPECT_EQ(treeA, treeB);
        ASSERT_EQ(a["fileList"].size(), b["fileList"].size());
        for (const auto& f : a["fileList"]) {
            const std::string saved = f["savedAs"];
            EXPECT_EQ(test::hashFile(dir / "first" / saved), test::hashFile(dir / "second" / saved)) << saved;
        }
    }
}

} // namespace
} // namespace snapmend
