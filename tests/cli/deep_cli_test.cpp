// `snapmend deep` end to end: FAT cards re-formatted or with their boot sector zeroed, two volumes
// in one range, an NTFS volume whose boot sector and $MFT record are gone, and the usage errors.
// Every image is checked unchanged.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

using test::TempDir;
using test::UnchangedGuard;

std::string content(const std::string& path, std::size_t size) {
    std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(path)));
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

struct SourceFile {
    std::string path;
    std::size_t size;
};

// Files in nested folders; every path has a folder below the root so it survives losing the root.
const SourceFile kFiles[] = {
    {"DCIM/100CANON/IMG_0001.JPG", 70000},
    {"DCIM/100CANON/Holiday at the lake.jpg", 300001},
    {"DCIM/101NIKON/DSCN0001.JPG", 1},
    {"Trips/Beach/Sunset over sea.jpg", 150000},
};

// A FAT volume image made with mkfs.fat and filled with kFiles through mtools.
std::filesystem::path makeFatVolume(const TempDir& dir, const std::string& name, const std::string& mkfs,
                                    const std::string& size) {
    const auto vol = dir / name;
    const std::string v = "'" + vol.string() + "'";
    test::run("truncate -s " + size + " " + v + " && mkfs.fat " + mkfs + " " + v + " >/dev/null");
    const std::string env = "MTOOLS_SKIP_CHECK=1 ";
    std::set<std::string> made;
    for (const auto& f : kFiles) {
        for (std::size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1))
            if (const auto folder = f.path.substr(0, slash); made.insert(folder).second)
                test::run(env + "mmd -i " + v + " '::/" + folder + "'");
        const auto local = dir / ("src-" + std::to_string(&f - kFiles));
        std::ofstream(local, std::ios::binary) << content(f.path, f.size);
        test::run(env + "mcopy -i " + v + " '" + local.string() + "' '::/" + f.path + "'");
    }
    return vol;
}

struct Outcome {
    nlohmann::json doc;
    std::map<std::string, nlohmann::json> files;  // by path below "Root"
    std::set<std::string> folders;
};

Outcome runDeep(const TempDir& dir, const std::string& args, int exitCode = 0) {
    const auto r = test::runCli(dir, "deep " + args + " --json");
    EXPECT_EQ(r.exitCode, exitCode) << r.err;
    Outcome o;
    if (r.exitCode != exitCode) return o;
    o.doc = nlohmann::json::parse(r.out);
    for (const auto& f : o.doc["fileList"]) o.files[f["path"].get<std::string>()] = f;
    for (const auto& f : o.doc["tree"]) o.folders.insert(f["path"].get<std::string>());
    return o;
}

// The path below a root-level folder: root-level names may be lost with the root directory.
std::string tail(const std::string& path) { return path.substr(path.find('/') + 1); }

// Files found whose paths end in what lies below their root-level folder, saved byte-exact.
void expectFilesSaved(const Outcome& o, const std::filesystem::path& out) {
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.path);
        bool found = false;
        for (const auto& [path, j] : o.files) {
            if (path.size() < tail(f.path).size() || path.compare(path.size() - tail(f.path).size(), std::string::npos, tail(f.path)) != 0)
                continue;
            found = true;
            EXPECT_EQ(j["size"].get<std::size_t>(), f.size);
            EXPECT_EQ(test::slurp(out / j["savedAs"].get<std::string>()), content(f.path, f.size));
        }
        EXPECT_TRUE(found) << o.doc.dump(1);
    }
}

TEST(DeepCliFat, QuickFormattedCardGivesBackTheOldFoldersAndFiles) {
    TempDir dir;
    const auto image = makeFatVolume(dir, "card.img", "-F 32 -s 2", "80M");
    // The new file system only rewrites the boot sectors, the FATs and the root cluster.
    test::run("mkfs.fat -F 32 -s 2 '" + image.string() + "' >/dev/null");
    UnchangedGuard guard(image);
    const auto out = dir / "out";
    const auto o = runDeep(dir, "'" + image.string() + "' --fs FAT32 --out '" + out.string() + "'");
    ASSERT_EQ(o.doc["volumes"].size(), 1u);
    EXPECT_EQ(o.doc["volumes"][0]["sectorsPerCluster"], 2);
    for (const char* folder : {"100CANON", "101NIKON", "Beach"}) {
        bool found = false;
        for (const auto& p : o.folders) found = found || p.ends_with(std::string("/") + folder);
        EXPECT_TRUE(found) << folder;
    }
    expectFilesSaved(o, out);
}

TEST(DeepCliFat, ZeroedBootSectorsAreInferredWithTheirClusterSize) {
    struct Case {
        const char* name;
        const char* mkfs;
        const char* size;
        const char* fs;
        std::vector<std::uint64_t> zeroed;  // the boot sector and its backup
        int spc;
    };
    const Case cases[] = {
        {"fat32", "-F 32 -s 4", "160M", "FAT32", {0, 6}, 4},
        {"fat16", "-F 16 -s 8", "48M", "FAT16", {0}, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = makeFatVolume(dir, "card.img", c.mkfs, c.size);
        for (const auto s : c.zeroed) test::writeSector(image, s, test::zeroSector());
        UnchangedGuard guard(image);
        const auto out = dir / "out";
        const auto o = runDeep(dir, "'" + image.string() + "' --fs " + c.fs + " --out '" + out.string() + "'");
        ASSERT_EQ(o.doc["volumes"].size(), 1u);
        EXPECT_EQ(o.doc["volumes"][0]["sectorsPerCluster"], c.spc);
        EXPECT_TRUE(o.doc["volumes"][0]["inferred"].get<bool>());
        EXPECT_NE(o.doc["volumes"][0]["firstFAT"], 0);
        // The root directory survives, so even root-level folders keep their names.
        EXPECT_EQ(o.folders.count("DCIM/100CANON"), 1u) << o.doc["tree"].dump();
        EXPECT_EQ(o.folders.count("Trips/Beach"), 1u);
        expectFilesSaved(o, out);
    }
}

TEST(DeepCliFat, TwoVolumesInOneRangeShareOneRoot) {
    TempDir dir;
    // Same layout twice: the volumes use the same cluster numbers for their folders.
    const auto first = makeFatVolume(dir, "a.img", "-F 32 -s 1", "40M");
    const auto second = makeFatVolume(dir, "b.img", "-F 32 -s 1", "40M");
    test::run("MTOOLS_SKIP_CHECK=1 mmd -i '" + second.string() + "' ::/ONLY2");
    // The second volume loses its boot sectors: it is inferred, the first found by its boot sector.
    test::writeSector(second, 0, test::zeroSector());
    test::writeSector(second, 6, test::zeroSector());
    const auto disk = dir / "disk.img";
    test::run("truncate -s 90M '" + disk.string() + "' && printf 'label: dos\\nstart=2048, size=81920, type=c\\nstart=86016, "
              "type=c\\n' | sfdisk -q '" + disk.string() + "'");
    test::run("dd if='" + first.string() + "' of='" + disk.string() + "' bs=512 seek=2048 conv=notrunc status=none");
    test::run("dd if='" + second.string() + "' of='" + disk.string() + "' bs=512 seek=86016 conv=notrunc status=none");
    UnchangedGuard guard(disk);
    const auto out = dir / "out";
    const auto o = runDeep(dir, "'" + disk.string() + "' --fs FAT32 --out '" + out.string() + "'");
    ASSERT_EQ(o.doc["volumes"].size(), 2u);
    EXPECT_EQ(o.doc["volumes"][0]["cluster0Start"], 2048 + 32 + 2 * 630 - 2);  // 32 reserved, 630-sector FATs
    EXPECT_TRUE(o.doc["volumes"][1]["inferred"].get<bool>());
    // Both volumes' folders are there, although both volumes number them alike.
    std::multiset<std::string> folders;
    for (const auto& f : o.doc["tree"]) folders.insert(f["path"].get<std::string>());
    EXPECT_EQ(folders.count("DCIM/100CANON"), 2u) << o.doc["tree"].dump();
    EXPECT_EQ(folders.count("ONLY2"), 1u);
    // Each volume's copy is read from its own volume; the second gets a collision name.
    std::size_t copies = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
        if (entry.path().filename().string().starts_with("Holiday at the lake")) {
            ++copies;
            EXPECT_EQ(test::slurp(entry.path()), content("DCIM/100CANON/Holiday at the lake.jpg", 300001));
        }
    EXPECT_EQ(copies, 2u);
}

TEST(DeepCliNtfs, VolumeWithoutBootSectorAndMftRecordGivesBackNamedNestedFolders) {
    TempDir dir;
    const auto src = dir / "src";
    std::filesystem::create_directories(src);
    std::string fill = "mkdir -p DCIM/100CANON 'Trips/Beach' && rmdir DCIM/100CANON && mkdir DCIM/100CANON";
    const SourceFile files[] = {{"DCIM/100CANON/IMG_0001.JPG", 70000}, {"Trips/Beach/Sunset over sea.jpg", 150000},
                                {"Trips/note.txt", 300}};
    for (const auto& f : files) {
        const auto local = src / std::to_string(&f - files);
        std::ofstream(local, std::ios::binary) << content(f.path, f.size);
        fill += " && cp '" + local.string() + "' '" + f.path + "'";
    }
    const auto image = dir / "ntfs.img";
    std::string why;
    if (!test::makeNtfsVolume(image, 32, fill, why)) GTEST_SKIP() << why;
    // mkntfs -c 4096 puts the MFT at cluster 4 on a volume this small; read where it is.
    const auto boot = test::readAt(image, 0, 512);
    std::uint64_t mftCluster = 0;
    for (int i = 7; i >= 0; --i) mftCluster = (mftCluster << 8) | static_cast<std::uint8_t>(boot[0x30 + i]);
    test::writeSector(image, 0, test::zeroSector());
    test::writeSector(image, mftCluster * 8, test::zeroSector());
    test::writeSector(image, mftCluster * 8 + 1, test::zeroSector());

    UnchangedGuard guard(image);
    const auto out = dir / "out";
    const auto o = runDeep(dir, "'" + image.string() + "' --fs NTFS --out '" + out.string() + "'");
    for (const char* folder : {"DCIM", "DCIM/100CANON", "Trips", "Trips/Beach"}) EXPECT_EQ(o.folders.count(folder), 1u) << folder;
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        ASSERT_EQ(o.files.count(f.path), 1u) << o.doc.dump(1);
        EXPECT_EQ(o.files.at(f.path)["size"].get<std::size_t>(), f.size);
        EXPECT_EQ(test::slurp(out / f.path), content(f.path, f.size));
    }
}

TEST(DeepCliUsage, RefusesAMissingKindAndBadRanges) {
    TempDir dir;
    const auto image = dir / "blank.img";
    test::createImage(image, 1 << 20);
    const std::string i = "'" + image.string() + "'";
    struct Case {
        std::string args;
        int exitCode;
        const char* says;
    };
    const Case cases[] = {
        {"deep " + i, 2, "Select file system type for recovery of selected drive."},
        {"deep " + i + " --fs Unknown", 2, "Select file system type"},
        {"deep " + i + " --fs EXT4", 2, "--fs"},
        {"deep " + i + " --fs FAT32 --range 100:100", 2, "End Sector"},
        {"deep " + i + " --fs FAT32 --range 0:4096", 2, "outside"},
        {"deep " + i + " --fs FAT32 --range x:10", 2, "--range"},
        {"deep '" + (dir / "missing.img").string() + "' --fs NTFS", 2, ""},
        {"deep " + i + " --fs FAT16 --range 0:2048", 0, ""},  // nothing there: Root alone
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = test::runCli(dir, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

} // namespace
} // namespace snapmend
