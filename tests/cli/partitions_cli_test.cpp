// `snapmend partitions`: the printed list, its JSON form and the refusals, run against the built
// program on an image partitioned with sfdisk.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

using test::TempDir;
using test::UnchangedGuard;

using test::CliRun;
using test::runCli;
using test::slurp;

// 64 MiB: a formatted FAT16 primary and an unformatted primary of type 0x07, named by its code.
std::filesystem::path makeCardImage(const TempDir& dir) {
    const auto image = dir / "card.img";
    const std::string img = image.string();
    test::run("truncate -s 64M " + img);
    test::run("printf 'label: dos\\nstart=2048, size=32768, type=6\\nstart=34816, size=65536, type=7\\n' | sfdisk " +
              img);
    test::run("mkfs.fat -F 16 --offset 2048 " + img + " 16384");
    return image;
}

TEST(PartitionsCli, ListsPartitionsAsText) {
    TempDir dir;
    const auto image = makeCardImage(dir);
    UnchangedGuard guard(image);
    const auto r = runCli(dir, "partitions '" + image.string() + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, image.string() + ": 131072 sectors\n"
                     "Partition                    Start sector     End sector         Size\n"
                     "Partition - 1 ( FAT16 )              2048          34816     16.00 MB\n"
                     "Partition - 2 ( NTFS )              34816         100352     32.00 MB\n");
    EXPECT_EQ(r.err, "");
}

TEST(PartitionsCli, ListsPartitionsAsJson) {
    TempDir dir;
    const auto image = makeCardImage(dir);
    UnchangedGuard guard(image);
    const auto r = runCli(dir, "partitions --json '" + image.string() + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["image"], image.string());
    EXPECT_EQ(j["sectors"], 131072);
    EXPECT_EQ(j["notes"], nlohmann::json::array());
    ASSERT_EQ(j["partitions"].size(), 2u);
    const nlohmann::json first = {{"number", 1},         {"label", "Partition - 1 ( FAT16 )"},
                                  {"fileSystem", "FAT16"}, {"startSector", 2048},
                                  {"endSector", 34816},    {"sizeBytes", 16777216}};
    EXPECT_EQ(j["partitions"][0], first);
    EXPECT_EQ(j["partitions"][1]["fileSystem"], "NTFS");
    EXPECT_EQ(j["partitions"][1]["sizeBytes"], 65536ull * 512);
}

TEST(PartitionsCli, SaysSoWhenNoPartitionIsRecognised) {
    TempDir dir;
    const auto image = dir / "blank.img";
    test::createImage(image, 1 << 20);
    UnchangedGuard guard(image);

    const auto text = runCli(dir, "partitions '" + image.string() + "'");
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.out, image.string() + ": 2048 sectors\n"
                        "No recognised partition was found; the disk can be searched for lost partitions.\n"
                        "note: no partition table marker (55 AA) at sector 0\n");

    const auto json = runCli(dir, "partitions '" + image.string() + "' --json");
    ASSERT_EQ(json.exitCode, 0);
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["partitions"], nlohmann::json::array());
    EXPECT_EQ(j["notes"].size(), 1u);
}

TEST(PartitionsCli, RefusesBadUsageAndUnreadableImages) {
    TempDir dir;
    const struct {
        const char* name;
        std::string arguments;
    } cases[] = {
        {"missing image", "partitions '" + (dir / "absent.img").string() + "'"},
        {"a folder", "partitions '" + dir.path().string() + "'"},
        {"no image", "partitions"},
        {"two images", "partitions a.img b.img"},
        {"unknown option", "partitions --verbose a.img"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = runCli(dir, c.arguments);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snapmend partitions: ", 0), 0u) << r.err;
    }
}

TEST(PartitionsCli, NamesAVolumeImageInsteadOfReadingItsBootCodeAsATable) {
    test::TempDir dir;
    const auto image = dir / "stick.img";
    test::run("truncate -s 48M '" + image.string() + "' && mkfs.fat -F 16 '" + image.string() + "'");
    test::UnchangedGuard guard(image);
    const auto r = test::runCli(dir, "partitions '" + image.string() + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Sector 0 holds a FAT16 boot sector"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Partition - "), std::string::npos) << r.out;
}

} // namespace
} // namespace snapmend
