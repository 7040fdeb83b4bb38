// `snapmend basic` end to end: FAT volumes made with mkfs.fat and mtools, files deleted the way a
// user deletes them, then the recovered tree, the JSON summary and the saved files compared with
// what was written, and the image checked unchanged.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

using test::TempDir;
using test::UnchangedGuard;

struct SourceFile {
    std::string path;  // inside the volume
    std::size_t size;
    bool deleted;
    // A deleted entry without a long name loses its first character to the deletion mark.
    const char* listedAs = nullptr;
};

// Nested folders, long and short names, a file spanning many clusters, an empty file; then some
// files and a whole folder deleted.
const SourceFile kFiles[] = {
    {"DCIM/100CANON/IMG_0001.JPG", 70000, false},
    {"DCIM/100CANON/IMG_0002.JPG", 4096, true, "DCIM/100CANON/_MG_0002.JPG"},
    {"DCIM/100CANON/Holiday at the lake.jpg", 1048579, true},
    {"DCIM/101NIKON/DSCN0001.JPG", 1, false},
    {"DCIM/101NIKON/Long folder name here/A photo with a long name.jpeg", 33333, false},
    {"Trip 2013/Beach Day.jpg", 250000, true},
    {"Trip 2013/Sunset Over Sea.jpg", 8191, true},
    {"Notes.txt", 0, false},
    {"PICT0001.JPG", 123457, false},
};

std::string content(const std::string& path, std::size_t size) {
    std::mt19937 rng(static_cast<unsigned>(std::hash<std::string>{}(path)));
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// Builds the volume image with the given mkfs.fat options; returns its path.
std::filesystem::path makeVolume(const TempDir& dir, const std::string& mkfsOptions, const std::string& size) {
    const auto vol = dir / "vol.img";
    const std::string v = "'" + vol.string() + "'";
    test::run("truncate -s " + size + " " + v);
    test::run("mkfs.fat " + mkfsOptions + " " + v);
    const auto src = dir / "src";
    std::filesystem::create_directories(src);
    const std::string env = "MTOOLS_SKIP_CHECK=1 ";
    std::set<std::string> made;
    for (const auto& f : kFiles) {
        for (std::size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1)) {
            const std::string folder = f.path.substr(0, slash);
            if (made.insert(folder).second) test::run(env + "mmd -i " + v + " '::/" + folder + "'");
        }
        const auto local = src / std::to_string(&f - kFiles);
        std::ofstream(local, std::ios::binary) << content(f.path, f.size);
        test::run(env + "mcopy -i " + v + " '" + local.string() + "' '::/" + f.path + "'");
    }
    for (const auto& f : kFiles)
        if (f.deleted && f.path.rfind("Trip 2013/", 0) != 0) test::run(env + "mdel -i " + v + " '::/" + f.path + "'");
    test::run(env + "mdeltree -i " + v + " '::/Trip 2013'");
    return vol;
}

struct FsCase {
    const char* name;
    const char* mkfs;
    const char* size;
    bool partitioned;  // put the volume in an MBR disk at sector 2048
};

void PrintTo(const FsCase& c, std::ostream* os) { *os << c.name; }

class BasicCli : public ::testing::TestWithParam<FsCase> {};

TEST_P(BasicCli, RecoversEveryFileWithItsFolderPathAndDeletedMark) {
    const auto& fs = GetParam();
    TempDir dir;
    auto image = makeVolume(dir, fs.mkfs, fs.size);
    if (fs.partitioned) {
        const auto disk = dir / "disk.img";
        test::run("truncate -s 80M '" + disk.string() + "'");
        test::run("printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk '" + disk.string() + "'");
        test::run("dd if='" + image.string() + "' of='" + disk.string() + "' bs=512 seek=2048 conv=notrunc status=none");
        image = disk;
    }
    UnchangedGuard guard(image);
    const auto out = dir / "recovered";
    const auto run = test::runCli(dir, "basic '" + image.string() + "' --out '" + out.string() + "' --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);

    std::map<std::string, nlohmann::json> listed;
    for (const auto& f : doc["fileList"]) listed[f["path"].get<std::string>()] = f;
    for (const auto& f : kFiles) {
        SCOPED_TRACE(f.path);
        const std::string path = f.listedAs ? f.listedAs : f.path;
        ASSERT_EQ(listed.count(path), 1u) << run.out;
        const auto& j = listed[path];
        EXPECT_EQ(j["size"].get<std::size_t>(), f.size);
        EXPECT_EQ(j["deleted"].get<bool>(), f.deleted);
        EXPECT_EQ(j["savedAs"], path);
        EXPECT_EQ(test::slurp(out / path), content(f.path, f.size)) << "saved content differs";
    }
    bool tripDeleted = false;
    for (const auto& folder : doc["tree"])
        if (folder["path"] == "Trip 2013") tripDeleted = folder["deleted"].get<bool>();
    EXPECT_TRUE(tripDeleted);

    // Nothing outside the destination.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.path())) {
        const auto rel = std::filesystem::relative(entry.path(), dir.path()).string();
        EXPECT_TRUE(rel.rfind("recovered", 0) == 0 || rel.rfind("src", 0) == 0 || rel.find(".img") != std::string::npos ||
                    rel.rfind("std", 0) == 0)
            << rel;
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, BasicCli,
                         ::testing::Values(FsCase{"fat16_volume", "-F 16 -s 4", "48M", false},
                                           FsCase{"fat32_partition", "-F 32 -s 1 -h 2048", "64M", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BasicCliNtfs, RecoversResidentNonResidentAndDeletedFilesUnderTheirFolders) {
    TempDir dir;
    struct NtfsFile {
        std::string path;
        std::size_t size;
        bool deleted;
    };
    const NtfsFile files[] = {
        {"DCIM/100CANON/IMG_0001.JPG", 70000, false},
        {"DCIM/100CANON/Holiday at the lake.jpg", 1048579, true},
        {"Docs/note.txt", 300, false},  // small enough to live inside its record
        {"Docs/Old/big.bin", 200000, false},
        {"Trip 2013/Beach Day.jpg", 250000, true},
        {"Empty.txt", 0, false},
    };
    const auto src = dir / "src";
    std::filesystem::create_directories(src);
    std::string fill = "mkdir -p DCIM/100CANON Docs/Old 'Trip 2013'";
    for (const auto& f : files) {
        const auto local = src / std::to_string(&f - files);
        std::ofstream(local, std::ios::binary) << content(f.path, f.size);
        fill += " && cp '" + local.string() + "' '" + f.path + "'";
    }
    fill += " && rm 'DCIM/100CANON/Holiday at the lake.jpg' && rm -r 'Trip 2013'";
    const auto image = dir / "ntfs.img";
    std::string why;
    if (!test::makeNtfsVolume(image, 48, fill, why)) GTEST_SKIP() << why;

    UnchangedGuard guard(image);
    const auto out = dir / "recovered";
    const auto run = test::runCli(dir, "basic '" + image.string() + "' --out '" + out.string() + "' --json");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);
    EXPECT_EQ(doc["fileSystem"], "NTFS");
    std::map<std::string, nlohmann::json> listed;
    for (const auto& f : doc["fileList"]) listed[f["path"].get<std::string>()] = f;
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        ASSERT_EQ(listed.count(f.path), 1u) << run.out;
        EXPECT_EQ(listed[f.path]["size"].get<std::size_t>(), f.size);
        EXPECT_EQ(listed[f.path]["deleted"].get<bool>(), f.deleted);
        EXPECT_EQ(test::slurp(out / f.path), content(f.path, f.size)) << "saved content differs";
    }
}

TEST(BasicCliUsage, RefusesBadArgumentsAndUnreadableImages) {
    TempDir dir;
    const auto image = dir / "blank.img";
    test::createImage(image, 1 << 20);
    struct Case {
        std::string args;
        int exitCode;
    };
    const Case cases[] = {
        {"basic", 2},
        {"basic '" + (dir / "missing.img").string() + "'", 2},
        {"basic '" + image.string() + "' --partition 0", 2},
        {"basic '" + image.string() + "' --volume --partition 1", 2},
        {"basic '" + image.string() + "' --on-collision maybe", 2},
        {"basic '" + image.string() + "'", 1},  // no partition, no boot sector
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto r = test::runCli(dir, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_FALSE(r.err.empty());
    }
}

TEST(BasicCliStop, InterruptKeepsWhatWasFoundAndStillPrintsTheTree) {
    TempDir dir;
    const auto image = dir / "big.img";
    // A large sparse volume: the scan of its data area takes long enough to interrupt.
    test::run("truncate -s 24G '" + image.string() + "'");
    test::run("mkfs.fat -F 32 -s 8 '" + image.string() + "'");
    test::run("MTOOLS_SKIP_CHECK=1 mmd -i '" + image.string() + "' ::/KEEP");
    UnchangedGuard guard(image);

    const auto outFile = dir / "out.txt";
    const auto errFile = dir / "err.txt";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen(outFile.c_str(), "w", stdout);
        std::freopen(errFile.c_str(), "w", stderr);
        execl(SNAPMEND_CLI, SNAPMEND_CLI, "basic", image.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Wait for the scan to report progress, then press Ctrl-C.
    for (int i = 0; i < 200 && test::slurp(errFile).find('%') == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const auto printed = test::slurp(outFile);
    EXPECT_NE(printed.find("Root"), std::string::npos);
    EXPECT_NE(printed.find("KEEP"), std::string::npos) << printed;  // found before the stop
    EXPECT_NE(test::slurp(errFile).find("Stopped"), std::string::npos);
}

} // namespace
} // namespace snapmend
