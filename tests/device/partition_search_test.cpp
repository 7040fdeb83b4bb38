// The cylinder probe for lost partitions: boot sectors written byte by byte at track and cylinder
// starts of sparse images, one mkfs.fat card whose MBR was zeroed, the end steps (first item or
// whole-disk partition), stopping, the automatic and waiting variants, and damaged input.
#include "device/partition_search.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/text.h"
#include "device/partition_table.h"
#include "device/media_description.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::device {
namespace {

using test::ScriptedSink;
using test::TempDir;
using test::UnchangedGuard;

constexpr std::uint64_t kCyl = 16065;

// A boot sector that names its file system the way the probe reads it.
std::vector<std::byte> bootSector(std::string_view fs, std::uint64_t totalSectors) {
    std::vector<std::byte> s(kSectorSize);
    s[510] = std::byte{0x55};
    s[511] = std::byte{0xAA};
    if (fs == "FAT32") {
        putAscii(s, 82, "FAT32   ");                                 // file-system type text
        putLe32(s, 32, static_cast<std::uint32_t>(totalSectors));   // 32-bit total sectors
    } else if (fs == "FAT16") {
        putAscii(s, 54, "FAT16   ");
        if (totalSectors < 65536) putLe16(s, 19, static_cast<std::uint16_t>(totalSectors));  // 16-bit total
        else putLe32(s, 32, static_cast<std::uint32_t>(totalSectors));
    } else {
        putAscii(s, 3, "NTFS    ");                                   // OEM name
        putLe64(s, 40, totalSectors);                                 // 64-bit total sectors
    }
    return s;
}

// A drive list holding one disk image (attached as disk 0) under "Physical Drives".
struct OneDisk {
    OneDisk(const std::filesystem::path& image, std::uint64_t cylinders = 0) {
        EXPECT_TRUE(devices.attachDisk(image.string()));
        resetDriveList(list);
        const std::uint64_t bytes = devices.disk(0)->sizeBytes;
        diskItem = list.tree.insert(list.physicalGroup, "Removable Media (Disk0 - " + trim(formatSize(bytes)) + ")");
        request.disk = 0;
        request.devicePath = DevicePathTable[0];
        request.diskItem = diskItem;
        request.geometry = {cylinders ? cylinders : bytes / (kCyl * kSectorSize) + 1, 255, 63};
        request.diskTotalSectors = bytes / kSectorSize;
        request.mode = "Basic Search";
    }
    std::vector<std::string> childLabels() const {
        std::vector<std::string> out;
        for (const ItemId c : list.tree.children(diskItem)) out.push_back(list.tree.label(c));
        return out;
    }
    DeviceMap devices;
    DriveList list;
    ItemId diskItem = kNoItem;
    PartitionSearchRequest request;
};

TEST(PartitionSearch, FindsLostPartitionsAtTrackAndCylinderStarts) {
    TempDir dir;
    const auto image = dir / "card.img";
    test::createImage(image, 8 * kCyl * kSectorSize);
    test::writeSector(image, 63, bootSector("FAT32", 2 * kCyl - 63));          // head 1 of cylinder 0
    test::writeSector(image, 2 * kCyl, bootSector("FAT16", 20000));             // first sector of cylinder 2
    test::writeSector(image, 4 * kCyl + 63, bootSector("NTFS", 3 * kCyl));     // head 1 of cylinder 4
    test::writeSector(image, 2048, bootSector("FAT32", 1000));                  // no track or cylinder start
    UnchangedGuard guard(image);

    OneDisk d(image);
    ScriptedSink sink;
    const auto r = partitionSearch(d.devices, d.list, d.request, sink, {});
    EXPECT_EQ(d.childLabels(), (std::vector<std::string>{"Partition - 1 ( FAT32 )", "Partition - 2 ( FAT16 )",
                                                         "Partition - 3 ( NTFS )"}));
    const auto& entry = d.list.partitions[0];
    ASSERT_EQ(entry.partitionCount, 3u);
    EXPECT_EQ(entry.slots[0].startSector, 63u);
    EXPECT_EQ(entry.slots[0].endSector, 2 * kCyl);
    EXPECT_EQ(entry.slots[1].startSector, 2 * kCyl);
    EXPECT_EQ(entry.slots[1].endSector, 2 * kCyl + 20000);
    EXPECT_EQ(entry.slots[2].startSector, 4 * kCyl + 63);
    EXPECT_EQ(entry.slots[2].endSector, 7 * kCyl + 63);
    for (const ItemId item : r.added) EXPECT_EQ(d.list.itemColors.at(item), kFoundPartitionColor);
    EXPECT_EQ(r.foundCount, 3);
    EXPECT_EQ(r.message, "Found 3 more partitions in selected Disk ( Disk - 0 )");
    EXPECT_EQ(r.targetKind, "part");
    EXPECT_EQ(r.selectedLabel, "Partition - 1 ( FAT32 )");
    ASSERT_EQ(r.properties.size(), 7u);
    EXPECT_EQ(r.properties[4].name, "5. Start Sector : ");
    EXPECT_EQ(r.properties[4].value, "63");
    EXPECT_EQ(sink.statuses.front(), kSearchingPartitionsText);
    // The geometry's ninth cylinder lies past the image: the probe ends with the image.
    EXPECT_EQ(sink.progressCalls.back(), (std::pair<std::uint64_t, std::uint64_t>{8, 8}));
}

// The card of a camera whose MBR was wiped: mkfs.fat volumes at sector 63 and at a cylinder start.
TEST(PartitionSearch, RecoversMkfsVolumesAfterTheMbrWasZeroed) {
    TempDir dir;
    const auto image = dir / "card.img";
    const std::string img = image.string();
    test::run("truncate -s 64M " + img);
    test::run("printf 'label: dos\\nstart=63, size=32067, type=c\\nstart=32130, size=64260, type=c\\n' | sfdisk -q " + img);
    test::run("mkfs.fat -F 32 --offset 63 " + img + " 16033 >/dev/null 2>&1");
    test::run("mkfs.fat -F 32 --offset 32130 " + img + " 32130 >/dev/null 2>&1");
    test::writeSector(image, 0, test::zeroSector());
    UnchangedGuard guard(image);

    OneDisk d(image);
    ScriptedSink sink;
    const auto r = partitionSearch(d.devices, d.list, d.request, sink, {});
    EXPECT_EQ(d.childLabels(), (std::vector<std::string>{"Partition - 1 ( FAT32 )", "Partition - 2 ( FAT32 )"}));
    EXPECT_EQ(d.list.partitions[0].slots[1].startSector, 32130u);
    EXPECT_EQ(d.list.partitions[0].slots[0].startSector, 63u);
    EXPECT_EQ(r.message, "Found 2 more partitions in selected Disk ( Disk - 0 )");
}

TEST(PartitionSearch, ListedPartitionIsNotListedAgainButADifferentLengthIs) {
    TempDir dir;
    const auto image = dir / "card.img";
    test::createImage(image, 4 * kCyl * kSectorSize);
    test::writeSector(image, 63, bootSector("FAT32", 1000));
    test::writeSector(image, kCyl + 63, bootSector("NTFS", 5000));
    UnchangedGuard guard(image);

    OneDisk d(image);
    auto& entry = d.list.partitions[0];
    // As the table walk recorded them: the first exactly, the second with another length.
    entry.partitionCount = 2;
    entry.partitionFs[0] = "FAT32";
    entry.slots[0] = {d.list.tree.insert(d.diskItem, "Partition - 1 ( FAT32 )"), 63, 1063, 0, false};
    entry.partitionFs[1] = "NTFS";
    entry.slots[1] = {d.list.tree.insert(d.diskItem, "Partition - 2 ( NTFS )"), kCyl + 63, kCyl + 63 + 4000, 1, false};
    ScriptedSink sink;
    const auto r = partitionSearch(d.devices, d.list, d.request, sink, {});
    EXPECT_EQ(d.childLabels(), (std::vector<std::string>{"Partition - 1 ( FAT32 )", "Partition - 2 ( NTFS )",
                                                         "Partition - 3 ( NTFS )"}));
    EXPECT_EQ(r.message, "Found 1 more partitions in selected Disk ( Disk - 0 )");
    EXPECT_EQ(r.selectedLabel, "Partition - 1 ( FAT32 )");

    // A second search finds nothing new and selects the first partition.
    const auto again = partitionSearch(d.devices, d.list, d.request, sink, {});
    EXPECT_EQ(again.foundCount, 0);
    EXPECT_EQ(again.message, "No more partitions found in selected Disk ( Disk - 0 )");
    EXPECT_EQ(entry.partitionCount, 3u);
}

TEST(PartitionSearch, DiskWithoutPartitionsBecomesOneWholeDiskPartition) {
    struct Case {
        const char* name;
        std::uint64_t bytes;
        std::string label;
        std::string size;
    };
    const Case cases[] = {
        {"16 MiB", 16u << 20, "Partition - 1 ( FAT32 )", "16.00 MB"},
        {"below 1 MiB", 512u << 10, "Unknown Partition", "512.00 KB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const auto image = dir / "blank.img";
        test::createImage(image, c.bytes);
        UnchangedGuard guard(image);
        OneDisk d(image);
        ScriptedSink sink;
        const auto r = partitionSearch(d.devices, d.list, d.request, sink, {});
        EXPECT_EQ(d.childLabels(), std::vector<std::string>{c.label});
        EXPECT_EQ(d.list.partitions[0].partitionCount, 1u);
        EXPECT_EQ(d.list.partitions[0].slots[0].endSector, c.bytes / kSectorSize);
        EXPECT_EQ(r.message, "Found 1 more partitions in selected Disk ( Disk - 0 )");
        ASSERT_EQ(r.properties.size(), 7u);
        EXPECT_EQ(r.properties[5].value, std::to_string(c.bytes / kSectorSize));
        EXPECT_EQ(r.properties[6].name, "7. Size : ");
        EXPECT_EQ(r.properties[6].value, c.size);
        EXPECT_EQ(d.list.itemColors.count(r.selectedItem), 1u);
    }
}

TEST(PartitionSearch, DamagedInputGivesClearResults) {
    TempDir dir;
    const auto image = dir / "card.img";
    test::createImage(image, 3 * kCyl * kSectorSize + 100 * kSectorSize);  // ends inside cylinder 3
    auto garbage = bootSector("FAT32", 0);
    for (std::size_t i = 0; i < 510; ++i) garbage[i] = std::byte{0xE5};   // marker but no name
    test::writeSector(image, 63, garbage);
    test::writeSector(image, kCyl, bootSector("NTFS", 0xFFFFFFFFull));    // claims far more than the disk
    test::writeSector(image, 2 * kCyl + 63, bootSector("NTFS", 0));       // length 0
    test::writeSector(image, 3 * kCyl + 63, bootSector("FAT16", 5000));   // in the truncated cylinder
    UnchangedGuard guard(image);

    // A garbage geometry of 2^40 cylinders must end at the device's end.
    OneDisk d(image, std::uint64_t{1} << 40);
    ScriptedSink sink;
    const auto started = std::chrono::steady_clock::now();
    const auto r = partitionSearch(d.devices, d.list, d.request, sink, {});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(r.cylindersProbed, 4u);
    EXPECT_EQ(d.childLabels(), (std::vector<std::string>{"Partition - 1 ( NTFS )", "Partition - 2 ( FAT16 )"}));
    const std::uint64_t sectors = d.devices.disk(0)->sizeBytes / kSectorSize;
    EXPECT_EQ(d.list.partitions[0].slots[0].endSector, sectors);
    EXPECT_EQ(d.list.partitions[0].slots[1].endSector, sectors);
    EXPECT_EQ(r.notes.size(), 4u);  // the clipped geometry, two clipped ends, the empty NTFS

    // A device that cannot be opened still ends with the whole-disk partition.
    OneDisk missing(image);
    missing.request.devicePath = DevicePathTable[7];
    const auto m = partitionSearch(missing.devices, missing.list, missing.request, sink, {});
    EXPECT_FALSE(m.deviceOpened);
    EXPECT_EQ(missing.childLabels(), std::vector<std::string>{"Partition - 1 ( FAT32 )"});
}

TEST(PartitionSearch, StopKeepsWhatWasFound) {
    TempDir dir;
    const auto image = dir / "card.img";
    test::createImage(image, 6 * kCyl * kSectorSize);
    test::writeSector(image, 63, bootSector("FAT32", 1000));
    test::writeSector(image, 4 * kCyl + 63, bootSector("FAT32", 1000));
    UnchangedGuard guard(image);

    OneDisk d(image);
    std::stop_source stop;
    ScriptedSink sink;
    sink.answers = {Answer::No, Answer::Yes};
    EXPECT_FALSE(stopPartitionSearch(sink, stop));
    EXPECT_FALSE(stop.stop_requested());
    sink.onProgress = [&](std::uint64_t done, std::uint64_t) {
        if (done == 0) stopPartitionSearch(sink, stop);  // cylinder 0 is still probed
    };
    const auto r = partitionSearch(d.devices, d.list, d.request, sink, stop.get_token());
    EXPECT_TRUE(r.stopped);
    EXPECT_EQ(sink.questions.back(), kStopSearchQuestion);
    EXPECT_EQ(d.childLabels(), std::vector<std::string>{"Partition - 1 ( FAT32 )"});
    EXPECT_EQ(r.message, "Found 1 more partitions in selected Disk ( Disk - 0 )");
}

TEST(PartitionSearch, ProbeGeometry) {
    struct Case {
        SearchGeometry in;
        SearchGeometry out;
    };
    const Case cases[] = {
        {{1000, 255, 63}, {1000, 255, 63}},
        {{4000, 16, 32}, {127, 255, 63}},
        // 3 TiB reported as 16 heads of 32 sectors: the product overflows 32 bits.
        {{12884901, 16, 32}, {410648, 255, 63}},
    };
    for (const auto& c : cases) {
        const auto g = probeGeometry(c.in);
        EXPECT_EQ(g.cylinders, c.out.cylinders);
        EXPECT_EQ(g.heads, c.out.heads);
        EXPECT_EQ(g.sectorsPerTrack, c.out.sectorsPerTrack);
    }
    const auto t = searchGeometryFromText("966", "255", "63");
    EXPECT_EQ(t.cylinders, 966u);
    EXPECT_EQ(t.heads, 255u);
}

TEST(PartitionSearch, DescribeSearchResult) {
    EXPECT_EQ(describeSearchResult(2, "Disk", 1, {}), "Found 2 more partitions in selected Disk ( Disk - 1 )");
    EXPECT_EQ(describeSearchResult(0, "Disk", 1, {}), "No more partitions found in selected Disk ( Disk - 1 )");
    EXPECT_EQ(describeSearchResult(2, "Drive", 0, "E:"), "Found 2 more partitions in selected Drive ( Drive - E: )");
    EXPECT_EQ(describeSearchResult(0, "Drive", 0, "E:"), "No more partitions found in selected Drive ( Drive - E: )");
}

TEST(PartitionSearch, StartRefusesWhatItCannotSearch) {
    DriveList list;
    resetDriveList(list);
    DriveItemRecord disk;
    disk.label = "Removable Media (Disk3 - 7.40 GB)";
    const ItemId empty = list.attach(list.tree.insert(list.physicalGroup, disk.label), disk);
    disk.capacity = "7.40 GB";
    const ItemId full = list.attach(list.tree.insert(list.physicalGroup, disk.label), disk);
    DriveItemRecord drive;
    drive.volume = "E:";
    const ItemId withVolume = list.attach(list.tree.insert(list.logicalGroup, "E:\\ (7.45 GB - CARD - FAT32)"), drive);
    const ItemId noVolume = list.attach(list.tree.insert(list.logicalGroup, "F:\\ (Unknown Size  -  - Unknown)"), {});

    struct Case {
        const char* name;
        ItemId item;
        std::string kind;
        bool deep;
        std::optional<std::uint64_t> end;
        SearchStartKind expect;
        std::string message;
    };
    const Case cases[] = {
        {"disk", full, "Hard Disk", false, std::nullopt, SearchStartKind::CylinderProbe, ""},
        {"no capacity", empty, "Hard Disk", false, std::nullopt, SearchStartKind::Refused, noStorageAreaMessage(3)},
        {"no capacity but a range", empty, "Hard Disk", true, 100, SearchStartKind::CylinderProbe, ""},
        {"drive in basic", withVolume, "Logical", false, std::nullopt, SearchStartKind::Refused,
         std::string(kSelectPhysicalDisk)},
        {"drive in deep", withVolume, "Logical", true, 0, SearchStartKind::LogicalDrive, ""},
        {"empty drive in deep", noVolume, "Logical", true, 0, SearchStartKind::Refused,
         noStorageAreaDriveMessage("F:")},
        {"group in deep", list.physicalGroup, "Physical Drives", true, 0, SearchStartKind::Refused,
         std::string(kSelectPhysicalOrLogical)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto s = startPartitionSearch(list, c.item, c.kind, c.deep, c.end);
        EXPECT_EQ(s.kind, c.expect);
        EXPECT_EQ(s.message, c.message);
    }
    EXPECT_EQ(noStorageAreaMessage(3),
              "No physical storage area found in Disk(Disk - 3).\n\nIf you have connected your storage using any usb "
              "hub or extension, check storage connections or connect the storage media directly to your computer.");
}

TEST(PartitionSearch, AutomaticSearchCoversWaitingRemovableDisks) {
    TempDir dir;
    const auto blank = dir / "blank.img";
    const auto card = dir / "card.img";
    test::createImage(blank, 20u << 20);
    test::createImage(card, 3 * kCyl * kSectorSize);
    test::writeSector(card, kCyl + 63, bootSector("FAT32", 1000));
    UnchangedGuard g1(blank), g2(card);

    DeviceMap devices;
    MediaDescription media;
    for (const auto& p : {blank, card}) {
        DiskDescription disk;
        disk.path = p.string();
        media.disks.push_back(disk);
    }
    std::vector<std::string> notes;
    const auto machine = attachMedia(devices, media, {}, notes);
    ASSERT_TRUE(machine);
    DriveList list;
    const ItemId first = makeDriveTree(devices, *machine, "Deep Search", list);
    ASSERT_EQ(list.pendingSearch.size(), 2u);
    EXPECT_EQ(first, list.pendingSearch[0].treeItem);

    ScriptedSink sink;
    const auto results = autoSearchPendingDisks(devices, list, "Deep Search", sink, {});
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].selectedLabel, "Partition - 1 ( FAT32 )");
    EXPECT_EQ(results[0].properties[3].value, "Deep Search");
    EXPECT_EQ(results[1].message, "Found 1 more partitions in selected Disk ( Disk - 1 )");
    EXPECT_EQ(list.partitions[1].slots[0].startSector, kCyl + 63);
    EXPECT_EQ(list.currentDisk, 1);
}

TEST(PartitionSearch, WaitingVariantTakesTheFirstPartitionAsTarget) {
    TempDir dir;
    const auto image = dir / "card.img";
    const std::string img = image.string();
    test::run("truncate -s 64M " + img);
    test::run("mkfs.fat -F 32 --offset 16128 " + img + " 32000 >/dev/null 2>&1");  // 16065 + 63
    UnchangedGuard guard(image);

    OneDisk d(image);
    TargetState state;
    state.devicePath = DevicePathTable[0];
    state.targetKind = "Hard Disk";
    ScriptedSink sink;
    ASSERT_TRUE(waitingPartitionSearch(d.devices, state, d.list.partitions[0], d.request, sink, {}));
    EXPECT_EQ(state.target.fileSystem, "FAT32");
    EXPECT_EQ(state.target.startSector, 16128u);
    EXPECT_EQ(state.target.endSector, 16128u + 64000u);
    EXPECT_EQ(state.calculatedParams.firstFAT, 16128u + 32u);
    EXPECT_EQ(d.list.partitions[0].partitionCount, 1u);
    EXPECT_TRUE(d.childLabels().empty());
}

} // namespace
} // namespace snapmend::device
