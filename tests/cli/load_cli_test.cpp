// `snapmend basic --log` and `snapmend load` end to end: a card scanned and logged, then reloaded
// with another disk attached first, answering the disk-number question, and saved byte-exact.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

class LoadCli : public ::testing::Test {
protected:
    void SetUp() override {
        card = dir / "card.img";
        const std::string c = "'" + card.string() + "'";
        ASSERT_TRUE(test::run("truncate -s 34M " + c + " && mkfs.fat -F 32 -s 1 " + c + " >/dev/null"));
        const std::string m = "MTOOLS_SKIP_CHECK=1 ";
        ASSERT_TRUE(test::run(m + "mmd -i " + c + " ::/DCIM ::/DCIM/100CANON ::/Trip"));
        ASSERT_TRUE(test::run("head -c 70000 /dev/urandom > '" + (dir / "a").string() + "' && head -c 3000 /dev/urandom > '" +
                              (dir / "b").string() + "'"));
        ASSERT_TRUE(test::run(m + "mcopy -i " + c + " '" + (dir / "a").string() + "' ::/DCIM/100CANON/IMG_0001.JPG"));
        ASSERT_TRUE(test::run(m + "mcopy -i " + c + " '" + (dir / "b").string() + "' ::/Trip/beach.jpg"));
        ASSERT_TRUE(test::run(m + "mdeltree -i " + c + " ::/Trip"));
        ASSERT_TRUE(test::run("truncate -s 8M '" + (dir / "other.img").string() + "'"));
    }
    std::string q(const fs::path& p) const { return "'" + p.string() + "'"; }

    TempDir dir;
    fs::path card;
};

TEST_F(LoadCli, ReloadsUnderAnotherDiskNumberAndSavesTheSameFiles) {
    test::UnchangedGuard guard(card);
    const auto log = dir / "scan.QSL";
    const auto scanned = test::runCli(dir, "basic " + q(card) + " --json --out " + q(dir / "first") + " --log " + q(log));
    ASSERT_EQ(scanned.exitCode, 0) << scanned.err;
    ASSERT_TRUE(fs::exists(log));

    const std::string attach = " --disk " + q(dir / "other.img") + " --volume " + q(card);
    const auto loaded = test::runCli(dir, "load " + q(log) + attach + " --yes --json --out " + q(dir / "second"));
    ASSERT_EQ(loaded.exitCode, 0) << loaded.err;
    EXPECT_NE(loaded.err.find("Original Media connection order on Disk number '0' has been replaced with media of "
                              "disk number '1'"),
              std::string::npos);
    const auto a = nlohmann::json::parse(scanned.out);
    const auto b = nlohmann::json::parse(loaded.out);
    std::set<std::string> treeA, treeB;
    for (const auto& f : a["tree"]) treeA.insert(f.dump());
    for (const auto& f : b["tree"]) treeB.insert(f.dump());
    EXPECT_EQ(treeA, treeB);
    ASSERT_EQ(a["fileList"].size(), b["fileList"].size());
    ASSERT_GE(a["fileList"].size(), 2u);
    for (const auto& f : a["fileList"]) {
        const std::string saved = f["savedAs"];
        EXPECT_EQ(test::hashFile(dir / "first" / saved), test::hashFile(dir / "second" / saved)) << saved;
    }

    const auto refused = test::runCli(dir, "load " + q(log) + attach + " --no");
    EXPECT_EQ(refused.exitCode, 1);
}

TEST_F(LoadCli, RefusesDamagedLogsAndMissingMedia) {
    const auto log = dir / "scan.QSL";
    ASSERT_EQ(test::runCli(dir, "basic " + q(card) + " --log " + q(log)).exitCode, 0);
    fs::resize_file(log, fs::file_size(log) - 3);
    auto r = test::runCli(dir, "load " + q(log) + " --volume " + q(card));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("file is invalid or corrupted"), std::string::npos);

    ASSERT_EQ(test::runCli(dir, "basic " + q(card) + " --log " + q(log)).exitCode, 0);
    r = test::runCli(dir, "load " + q(log) + " --disk " + q(dir / "other.img"));
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("Original Media has been moved or removed."), std::string::npos);
}

} // namespace
} // namespace snapmend
