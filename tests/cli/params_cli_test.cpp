// `snapmend params`: the parameters of a partition or a whole volume image, from the boot sector or
// by the scan, as text and JSON, and the refusals; run against the built program and checked
// against fsstat's reading of what mkfs.fat and mkntfs wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/volume_params.h"
#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

using test::TempDir;
using test::UnchangedGuard;

using test::CliRun;
using test::slurp;

CliRun runParams(const TempDir& dir, const std::string& arguments) { return test::runCli(dir, "params " + arguments); }

// The "name: value" lines after the first one.
std::map<std::string, std::string> fieldsOf(const std::string& out) {
    std::map<std::string, std::string> fields;
    std::istringstream in(out);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos) fields[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return fields;
}

std::string firstLine(const std::string& out) { return out.substr(0, out.find('\n')); }

std::uint64_t fsstatNumber(const std::string& out, const std::string& label) {
    const std::regex re(label + R"(:\s*([0-9]+))");
    std::smatch m;
    EXPECT_TRUE(std::regex_search(out, m, re)) << "no '" << label << "' in fsstat output:\n" << out;
    return m.empty() ? 0 : std::stoull(m[1].str());
}

struct FatLayout {
    std::uint64_t spc, fat0, fat1, rootDir, clusterArea;
};

FatLayout fsstatFat(const std::filesystem::path& image, std::uint64_t start) {
    const std::string fs = test::runOutput("fsstat -o " + std::to_string(start) + " " + image.string());
    return {fsstatNumber(fs, "Cluster Size") / 512, fsstatNumber(fs, R"(\* FAT 0)"), fsstatNumber(fs, R"(\* FAT 1)"),
            fsstatNumber(fs, R"(\*+ Root Directory)"), fsstatNumber(fs, R"(\*\* Cluster Area)")};
}

// 64 MiB card: one FAT16 partition at sector 63 with 4-sector clusters and a few camera folders.
std::filesystem::path makeFat16Card(const TempDir& dir) {
    const auto image = dir / "card.img";
    const std::string img = image.string();
    test::run("truncate -s 64M " + img);
    test::run("printf 'label: dos\\nstart=63, type=6\\n' | sfdisk " + img);
    test::run("mkfs.fat -F 16 -S 512 -s 4 --offset 63 -h 63 " + img + " " + std::to_string((131072 - 63) / 2));
    const std::string mt = "MTOOLS_SKIP_CHECK=1 ";
    const std::string at = " -i " + img + "@@" + std::to_string(63 * 512) + " ";
    test::run(mt + "mmd" + at + "::/DCIM ::/DCIM/100CANON ::/DCIM/101CANON");
    test::run("head -c 30000 /dev/urandom > " + (dir / "IMG_0001.JPG").string());
    test::run(mt + "mcopy" + at + (dir / "IMG_0001.JPG").string() + " ::/DCIM/100CANON/");
    return image;
}

TEST(ParamsCli, Fat16PartitionFromBootSectorAsTextAndJson) {
    TempDir dir;
    const auto image = makeFat16Card(dir);
    const FatLayout l = fsstatFat(image, 63);
    UnchangedGuard guard(image);

    const CliRun text = runParams(dir, image.string());
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(firstLine(text.out), "FAT16 partition 1: start 63, end 131072, parameters from the boot sector");
    auto f = fieldsOf(text.out);
    EXPECT_EQ(f["SPC"], std::to_string(l.spc));
    EXPECT_EQ(f["SPF"], std::to_string(l.fat1 - l.fat0));
    EXPECT_EQ(f["ReserveSecStart"], std::to_string(l.fat0));
    EXPECT_EQ(f["RootSec"], std::to_string(l.clusterArea - l.rootDir));
    EXPECT_EQ(f["RootStartSec"], std::to_string(63 + l.rootDir));
    EXPECT_EQ(f["Cluster0Start"], std::to_string(63 + l.clusterArea - 2 * l.spc));
    EXPECT_EQ(f["firstFAT"], std::to_string(63 + l.fat0));
    EXPECT_EQ(f["secondFAT"], std::to_string(63 + l.fat1));
    EXPECT_EQ(f["partType"], "FAT16");
    EXPECT_EQ(f["mftStart"], "0");
    EXPECT_EQ(f.size(), 13u);

    const CliRun json = runParams(dir, image.string() + " --partition 1 --json");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    const auto j = nlohmann::json::parse(json.out);
    EXPECT_EQ(j["partition"], 1);
    EXPECT_EQ(j["fileSystem"], "FAT16");
    EXPECT_EQ(j["startSector"], 63);
    EXPECT_EQ(j["source"], "boot sector");
    // The JSON carries the same numbers as the text.
    for (const auto& [name, value] : j["params"].items())
        EXPECT_EQ(value.is_string() ? value.get<std::string>() : value.dump(), f[name]) << name;
}

TEST(ParamsCli, Fat16PartitionWithoutBootSectorAndFatsIsScanned) {
    TempDir dir;
    const auto image = makeFat16Card(dir);
    const FatLayout l = fsstatFat(image, 63);
    test::writeSector(image, 63, test::zeroSector());
    test::writeAt(image, (63 + l.fat0) * 512, std::vector<std::byte>(2 * (l.fat1 - l.fat0) * 512));
    UnchangedGuard guard(image);

    const CliRun r = runParams(dir, image.string());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(firstLine(r.out), "FAT16 partition 1: start 63, end 131072, parameters from the scan");
    auto f = fieldsOf(r.out);
    EXPECT_EQ(f["SPC"], std::to_string(l.spc));
    EXPECT_EQ(f["Cluster0Start"], std::to_string(63 + l.clusterArea - 2 * l.spc));
    EXPECT_NE(r.err.find(device::kCalculatingParamsText), std::string::npos);
}

TEST(ParamsCli, NtfsVolumeImageWithoutPartitionTable) {
    TempDir dir;
    const auto image = dir / "ntfs.img";
    ASSERT_TRUE(test::run("truncate -s 16M " + image.string() + " && mkntfs -F -Q -s 512 -c 4096 " + image.string()));
    const std::string fs = test::runOutput("fsstat " + image.string());
    UnchangedGuard guard(image);

    const CliRun r = runParams(dir, image.string());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(firstLine(r.out), "NTFS volume (whole image): start 0, end 32768, parameters from the boot sector");
    auto f = fieldsOf(r.out);
    EXPECT_EQ(f["SPC"], "8");
    EXPECT_EQ(f["Cluster0Start"], "0");
    EXPECT_EQ(f["mftStart"], std::to_string(fsstatNumber(fs, "First Cluster of MFT") * 8));
    EXPECT_EQ(f["mftMirrStart"], std::to_string(fsstatNumber(fs, "First Cluster of MFT Mirror") * 8));
    EXPECT_EQ(f["sectorsPerMftRecord"], "2");
    EXPECT_EQ(f["sectorsPerIndexRecord"], "8");
    EXPECT_EQ(f["partType"], "NTFS");

    const CliRun json = runParams(dir, image.string() + " --json");
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_TRUE(nlohmann::json::parse(json.out)["partition"].is_null());
}

TEST(ParamsCli, Refusals) {
    struct Case {
        const char* name;
        const char* setup;  // shell command run in the test folder; IMG is the image
        const char* args;   // after the image path
        int exitCode;
        std::string errContains;
    };
    const Case cases[] = {
        {"no such partition", "truncate -s 64M IMG && printf 'label: dos\\nstart=2048, type=6\\n' | sfdisk IMG",
         "--partition 2", 2, "no partition 2"},
        {"unknown file system on a blank image", "truncate -s 4M IMG", "", 1, "unknown"},
        {"a FAT32 partition with nothing in it", "truncate -s 64M IMG && printf 'label: dos\\nstart=2048, type=c\\n' | sfdisk IMG",
         "", 1, std::string(device::kUnableToCalculateParams)},
        {"an image that cannot be opened", "true", "", 2, "snapmend params: "},
        {"a partition number that is not one", "truncate -s 4M IMG", "--partition 0", 2, "--partition"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string img = (dir / "disk.img").string();
        ASSERT_TRUE(test::run(std::regex_replace(c.setup, std::regex("IMG"), img)));
        const bool exists = std::filesystem::exists(img);
        std::optional<UnchangedGuard> guard;
        if (exists) guard.emplace(img);
        const CliRun r = runParams(dir, img + " " + c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.errContains), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        if (!exists) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
    }
}

} // namespace
} // namespace snapmend
