// The logical drive search: a reformatted card whose older NTFS boot sector survives behind a
// mkfs.fat FAT16 volume, repeated searches, oversized NTFS totals, the partial last block, stopping,
// and what selecting a "Recognised" item sets.
#include "device/logical_drive_search.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "device/partition_table.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::device {
namespace {

using test::ScriptedSink;
using test::TempDir;
using test::UnchangedGuard;

std::vector<std::byte> ntfsBootSector(std::uint64_t totalSectors) {
    std::vector<std::byte> s(kSectorSize);
    putAscii(s, 3, "NTFS    ");    // OEM name
    putLe64(s, 40, totalSectors);  // total sectors
    s[510] = std::byte{0x55};
    s[511] = std::byte{0xAA};
    return s;
}

struct Drive {
    explicit Drive(const std::filesystem::path& image) {
        const auto letter = devices.attachVolume(image.string());
        EXPECT_TRUE(letter);
        path = logicalDrivePath(*letter);
        const std::string label = "E:\\ (16.00 MB - CARD - FAT16)";
        item = tree.insert(tree.insert(kNoItem, "Logical Drives"), label);
        request = {path, label, item, devices.volume(*letter)->sectorCount};
        logDriveTable = {path + "|" + std::to_string(request.endSector)};
    }
    std::vector<std::string> children() const {
        std::vector<std::string> out;
        for (const ItemId c : tree.children(item)) out.push_back(tree.label(c));
        return out;
    }
    DeviceMap devices;
    std::string path;
    ItemTree tree;
    ItemId item = kNoItem;
    WorkTable found{foundFsColumns()};
    LogicalSearchRequest request;
    std::vector<std::string> logDriveTable;
};

// 16 MiB FAT16 at sector 0 with the boot sector of an earlier 512 MiB NTFS volume at sector 63.
std::filesystem::path reformattedCard(const TempDir& dir) {
    const auto image = dir / "card.img";
    test::run("truncate -s 16M " + image.string());
    test::run("mkfs.fat -F 16 -n CARD " + image.string() + " >/dev/null");
    test::writeSector(image, 63, ntfsBootSector(1048576));
    return image;
}

TEST(LogicalDriveSearch, FindsFat16AndTheOlderNtfsBehindIt) {
    TempDir dir;
    const auto image = reformattedCard(dir);
    UnchangedGuard guard(image);
    Drive d(image);
    ScriptedSink sink;
    const auto r = searchLogicalDrive(d.devices, d.tree, d.found, d.request, sink, {});

    // The NTFS total (1048576) exceeds the drive (32768 sectors): the drive's count replaces it.
    EXPECT_EQ(d.children(), (std::vector<std::string>{"Recognised1 - 16 MB - FAT16", "Recognised2 - 16 MB - NTFS"}));
    ASSERT_EQ(d.found.rowCount(), 2u);
    EXPECT_EQ(d.found.row(0), (WorkTable::Row{"Log|\\\\.\\E:|", "Recognised1", "FAT16", "0", "32768", "16 MB", "32",
                                              "4", "32", "68", "4", "92", "4", "36", "32768", "FAT16"}));
    EXPECT_EQ(d.found.cell(1, kFfStartSector), "63");
    EXPECT_EQ(d.found.cell(1, kFfEndSector), "32831");
    EXPECT_EQ(r.message, "Found 2 more partitions in selected Drive ( Drive - E: )");
    EXPECT_EQ(r.lastAdded, d.tree.children(d.item).back());

    // Searching again adds nothing.
    const auto again = searchLogicalDrive(d.devices, d.tree, d.found, d.request, sink, {});
    EXPECT_EQ(again.foundCount, 0);
    EXPECT_EQ(d.found.rowCount(), 2u);
    EXPECT_EQ(again.message, "No more partitions found in selected Drive ( Drive - E: )");

    // Selecting Recognised2 chooses NTFS and clips its end to the drive.
    const auto sel = selectRecognisedItem(d.tree, r.lastAdded, d.found, d.logDriveTable);
    ASSERT_TRUE(sel.valid);
    EXPECT_EQ(sel.view.size(), 2u);
    EXPECT_EQ(sel.view[1][0], "Recognised2");
    EXPECT_EQ(sel.fileSystemChoice, "NTFS");
    EXPECT_EQ(sel.startSector, 63u);
    EXPECT_EQ(sel.endSector, 32768u);
    EXPECT_EQ(sel.maxSector, 32768u);
    EXPECT_EQ(sel.listedStartSector, 63u);
    EXPECT_EQ(sel.logicalDevicePath, d.path);

    WorkTable deep(deepNtfsVolumeColumns());
    appendRecognisedDeepNtfsRows(deep, d.found, d.path, sel.maxSector);
    ASSERT_EQ(deep.rowCount(), 2u);
    EXPECT_EQ(deep.row(1), (WorkTable::Row{"Log|\\\\.\\E:|", "2", "63", "32768", "63", "32768"}));
}

TEST(LogicalDriveSearch, ReadsThePartialLastBlockAndStopsOnRequest) {
    TempDir dir;
    const auto image = dir / "stick.img";
    test::createImage(image, 2500 * kSectorSize);  // two full blocks and 452 sectors
    test::writeSector(image, 2400, ntfsBootSector(50));
    UnchangedGuard guard(image);
    {
        Drive d(image);
        ScriptedSink sink;
        const auto r = searchLogicalDrive(d.devices, d.tree, d.found, d.request, sink, {});
        EXPECT_EQ(r.sectorsRead, 2500u);
        EXPECT_EQ(d.children(), std::vector<std::string>{"Recognised1 - 0 MB - NTFS"});
    }
    {
        Drive d(image);
        std::stop_source stop;
        ScriptedSink sink;
        sink.onProgress = [&](std::uint64_t done, std::uint64_t) {
            if (done == 0) stop.request_stop();  // the first block is still read
        };
        const auto r = searchLogicalDrive(d.devices, d.tree, d.found, d.request, sink, stop.get_token());
        EXPECT_TRUE(r.stopped);
        EXPECT_EQ(r.sectorsRead, 1024u);
        EXPECT_EQ(r.message, "No more partitions found in selected Drive ( Drive - E: )");
    }
    {
        // A drive that cannot be opened reads nothing and says so.
        Drive d(image);
        d.request.logicalDevicePath = logicalDrivePath('Q');
        ScriptedSink sink;
        const auto r = searchLogicalDrive(d.devices, d.tree, d.found, d.request, sink, {});
        EXPECT_FALSE(r.deviceOpened);
        EXPECT_EQ(r.message, "No more partitions found in selected Drive ( Drive - E: )");
    }
}

TEST(LogicalDriveSearch, PassesOverEmptyAndGarbageBootSectors) {
    TempDir dir;
    const auto image = dir / "stick.img";
    test::createImage(image, 1024 * kSectorSize);
    test::writeSector(image, 10, ntfsBootSector(0));  // no length
    auto noName = ntfsBootSector(100);
    putAscii(noName, 3, "XXXX");
    test::writeSector(image, 20, noName);
    UnchangedGuard guard(image);
    Drive d(image);
    d.request.endSector = ~std::uint64_t{0};  // a property list claiming far more than the drive
    ScriptedSink sink;
    const auto r = searchLogicalDrive(d.devices, d.tree, d.found, d.request, sink, {});
    EXPECT_EQ(r.foundCount, 0);
    EXPECT_EQ(r.sectorsRead, 1024u);
}

} // namespace
} // namespace snapmend::device
