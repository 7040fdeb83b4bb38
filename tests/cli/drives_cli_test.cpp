// 'snapmend drives' and the searches of 'snapmend partitions', run against the built program on
// images made with sfdisk and mkfs.fat; the sysfs reader is pointed at an empty folder.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

using test::runCli;
using test::TempDir;
using test::UnchangedGuard;

TEST(DrivesCli, PrintsTheTreeWithFoundPartitionsAndProperties) {
    TempDir dir;
    const auto card = dir / "card.img";
    const auto blank = dir / "blank.img";
    const auto vol = dir / "vol.img";
    test::run("truncate -s 64M " + card.string());
    test::run("mkfs.fat -F 32 --offset 63 " + card.string() + " 16000 >/dev/null 2>&1");  // no MBR at all
    test::createImage(blank, 512 << 10);
    test::run("truncate -s 16M " + vol.string() + " && mkfs.fat -F 16 -n CARD " + vol.string() + " >/dev/null");
    test::run("mkdir -p " + (dir / "sys").string());
    UnchangedGuard g1(card), g2(blank), g3(vol);

    const std::string media = (dir / "media.json").string();
    std::ofstream(media) << R"({"computerName": "LAB-PC", "disks": [{"path": "blank.img", "model": "SD Reader"}]})";
    const auto r = runCli(dir, "drives --sysfs '" + (dir / "sys").string() + "' --disk '" + card.string() +
                                   "' --volume '" + vol.string() + "' --media '" + media + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("My Computer\n"
                         "  Physical Drives\n"
                         "    Removable Media (Disk0 - 62.75 MB)\n"
                         "      Partition - 1 ( FAT32 )  [found]\n"
                         "    Removable Media (Disk1 - 0 Byte)\n"
                         "      Unknown Partition  [found]\n"
                         "  Logical Drives\n"
                         "    E:\\ (16.00 MB - CARD - FAT16)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  1. Model :                   SD Reader USB Device\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  12. System Name :            LAB-PC\n"), std::string::npos);
    EXPECT_NE(r.out.find("Found 1 more partitions in selected Disk ( Disk - 0 )\n"
                         "Found 1 more partitions in selected Disk ( Disk - 1 )\n"),
              std::string::npos);

    const auto j = runCli(dir, "drives --json --no-search --sysfs '" + (dir / "sys").string() + "' --disk '" +
                                   card.string() + "'");
    ASSERT_EQ(j.exitCode, 0) << j.err;
    const auto out = nlohmann::json::parse(j.out);
    EXPECT_EQ(out["tree"]["children"][0]["children"][0]["children"].size(), 0u);
    EXPECT_EQ(out["mediaList"], (nlohmann::json{"0", "Removable Media"}));

    const auto bad = runCli(dir, "drives --sysfs '" + (dir / "sys").string() + "' --disk '" + (dir / "none.img").string() + "'");
    EXPECT_EQ(bad.exitCode, 2);
}

TEST(PartitionsCli, SearchesADiskAndAVolume) {
    TempDir dir;
    const auto card = dir / "card.img";
    const std::string img = card.string();
    test::run("truncate -s 64M " + img);
    test::run("printf 'label: dos\\nstart=63, size=32064, type=c\\n' | sfdisk -q " + img);
    test::run("mkfs.fat -F 32 --offset 63 " + img + " 16032 >/dev/null 2>&1");
    test::run("mkfs.fat -F 32 --offset 32130 " + img + " 16000 >/dev/null 2>&1");
    UnchangedGuard guard(card);

    const auto r = runCli(dir, "partitions --search '" + img + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Partition - 1 ( FAT32 )                63          32127     15.66 MB\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Partition search (8 cylinders probed):\n"
                         "Partition - 2 ( FAT32 )             32130          64130     15.62 MB  [found]\n"
                         "Found 1 more partitions in selected Disk ( Disk - 0 )\n"),
              std::string::npos)
        << r.out;

    const auto vol = dir / "vol.img";
    test::run("truncate -s 16M " + vol.string() + " && mkfs.fat -F 16 -n CARD " + vol.string() + " >/dev/null");
    std::vector<std::byte> ntfs(512);
    const char oem[] = "NTFS    ";
    for (int i = 0; i < 8; ++i) ntfs[3 + i] = std::byte(oem[i]);
    ntfs[40] = std::byte{0x00};
    ntfs[41] = std::byte{0x08};  // 2048 sectors
    ntfs[510] = std::byte{0x55};
    ntfs[511] = std::byte{0xAA};
    test::writeSector(vol, 63, ntfs);
    UnchangedGuard volGuard(vol);
    const auto v = runCli(dir, "partitions --volume '" + vol.string() + "' --search");
    ASSERT_EQ(v.exitCode, 0) << v.err;
    EXPECT_EQ(v.out, "E:\\ (16.00 MB - CARD - FAT16): 32768 sectors\n"
                     "Recognised                       Start sector     End sector\n"
                     "Recognised1 - 16 MB - FAT16                 0          32768\n"
                     "Recognised2 - 1 MB - NTFS                  63           2111\n"
                     "Found 2 more partitions in selected Drive ( Drive - E: )\n");
    EXPECT_EQ(runCli(dir, "partitions --volume '" + vol.string() + "'").exitCode, 2);
}

} // namespace
} // namespace snapmend
