// Drive enumeration: size texts, disk and drive labels and property rows from sparse images, which
// media are listed, the dynamic-disk test, a fake sysfs tree, and the JSON media description.
#include "device/drive_enum.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "device/media_description.h"
#include "device/sysfs_disks.h"
#include "tests/support/test_media.h"

namespace snapmend::device {
namespace {

using test::TempDir;
using test::UnchangedGuard;

TEST(DriveEnum, FormatSize) {
    const std::pair<std::uint64_t, std::string> cases[] = {
        {0, "0 Byte"},           {1023, "1023 Byte"},   {2048, "  2.00 KB"},
        {8000000000, "  7.45 GB"}, {7945620480, "  7.40 GB"}, {~std::uint64_t{0}, " 16.00 EB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(formatSize(bytes), text) << bytes;
}

PhysicalDiskInfo diskInfo(int number, std::uint64_t bytes, int mediaType = kRemovableMediaType,
                          std::string bus = "USB") {
    DiskDescription d;
    d.model = "STORAGE DEVICE";
    d.vendor = "Generic";
    d.revision = "1.00";
    d.serial = "000000001206";
    d.bus = std::move(bus);
    d.removable = mediaType == kRemovableMediaType;
    auto info = imageDiskInfo(number, bytes, d);
    info.mediaType = mediaType;
    return info;
}

TEST(DriveEnum, ListsRemovableDisksAndDrivesWithTheirProperties) {
    TempDir dir;
    const auto small = dir / "small.img";
    const auto card = dir / "card.img";
    const auto fixed = dir / "fixed.img";
    const auto vol = dir / "vol.img";
    test::createImage(small, 1 << 20);
    test::createImage(card, 7948206080);
    test::createImage(fixed, 64 << 20);
    test::createImage(vol, 8000000000);
    UnchangedGuard g1(card), g2(vol);

    DeviceMap devices;
    for (const auto& p : {small, card, fixed}) ASSERT_TRUE(devices.attachDisk(p.string()));
    ASSERT_TRUE(devices.attachVolume(vol.string()));
    MachineDrives machine;
    machine.computerName = "LAB-PC";
    machine.disks = {diskInfo(0, 1 << 20), diskInfo(1, 7948206080), diskInfo(2, 64 << 20, kFixedMediaType)};
    machine.disks[0].geometryKnown = false;  // a reader without a card
    machine.drives = {{'E', true, "CARD", 0x1A2B3C4D, "FAT32", true, 8000000000, 0, ""},
                      {'F', false, "SYSTEM", 0, "NTFS", true, 1 << 20, 0, ""},
                      {'G', true, "", 0, "", false, 0, 0, ""},
                      {'H', true, "", 0, "FAT", true, 1 << 20, 0, "\\Device\\Floppy0"}};
    DriveList list;
    const ItemId pending = makeDriveTree(devices, machine, "Basic Search", list);
    ASSERT_FALSE(list.tree.children(list.physicalGroup).empty());
    EXPECT_EQ(pending, list.tree.children(list.physicalGroup).front());

    std::vector<std::string> labels;
    list.tree.forEach([&](ItemId id, int depth) { labels.push_back(std::string(depth * 2, ' ') + list.tree.label(id)); });
    EXPECT_EQ(labels, (std::vector<std::string>{"My Computer", "  Physical Drives", "    Removable Media (Disk1 - 7.40 GB)",
                                                "  Logical Drives", "    E:\\ (7.45 GB - CARD - FAT32)",
                                                "    G:\\ (Unknown Size  -  - Unknown)"}));
    EXPECT_EQ(list.mediaList, (std::vector<std::string>{"1", "Removable Media", "2", "External hard disk media"}));
    EXPECT_EQ(list.diskIdentityTable,
              std::vector<std::string>{"Generic STORAGE DEVICE USB Device||7.40 GB||15523840||1"});
    EXPECT_EQ(list.logDriveTable, (std::vector<std::string>{"\\\\.\\E:|15625000", "\\\\.\\G:|0"}));
    ASSERT_EQ(list.pendingSearch.size(), 1u);
    EXPECT_EQ(list.pendingSearch[0].cylinders, 966u);

    const ItemId disk = list.tree.children(list.physicalGroup).front();
    const auto sel = selectDriveItem(devices, list, disk, "Basic Search");
    EXPECT_EQ(sel.targetKind, "Hard Disk");
    EXPECT_EQ(sel.rememberedDisk, 1);
    std::vector<std::string> rows;
    for (const auto& r : sel.properties) rows.push_back(r.name + r.value);
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "1. Model :Generic STORAGE DEVICE USB Device", "2. MediaType :Removable Media",
                        "3. Interface Type :USB", "4. Capacity(size) :7.40 GB", "5. Cylinders :966", "6. Heads :255",
                        "7. Sectors :15523840", "8. Bytes per Sector :512", "9. Sector per Track :63",
                        "10. Firmware Revision ID :1.00", "11. Serial Number :000000001206", "12. System Name :LAB-PC",
                        "13. Physical Device ID :\\\\.\\PhysicalDrive1"}));
    ASSERT_TRUE(sel.target);
    EXPECT_EQ(sel.target->start, 63u);
    EXPECT_EQ(sel.target->end, 15523840u);

    const ItemId drive = list.tree.children(list.logicalGroup).front();
    const auto vsel = selectDriveItem(devices, list, drive, "Deep Search");
    EXPECT_EQ(vsel.targetKind, "Logical");
    EXPECT_EQ(vsel.rememberedDisk, 'E');
    rows.clear();
    for (const auto& r : vsel.properties) rows.push_back(r.name + r.value);
    EXPECT_EQ(rows, (std::vector<std::string>{"1. Start Sector :0", "2. End Sector : 15625000",
                                              "3. Partition Type : FAT32", "4. Volume : E:", "5. Label : CARD",
                                              "6. Size : 7.45 GB", "7. Free Space : ", "8. Search Mode : Basic Search",
                                              "9. Serial Number : 1A2B3C4D"}));
    ASSERT_TRUE(vsel.target && vsel.target->volumeOnDisk);
    EXPECT_EQ(vsel.target->volumeOnDisk->disk, 3);
    EXPECT_EQ(vsel.target->volumeOnDisk->endSector, 15625000u);

    EXPECT_EQ(selectDriveItem(devices, list, list.logicalGroup, "Basic Search").hint, kSelectDriveHint);
}

TEST(DriveEnum, DynamicDiskTest) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string layout;  // sfdisk or sgdisk commands; empty: a FAT boot sector at sector 0
        bool dynamic;
    };
    const Case cases[] = {
        {"MBR type 0x42", "printf 'label: dos\\nstart=2048, size=4096, type=42\\n' | sfdisk -q", true},
        {"MBR type 0x0c", "printf 'label: dos\\nstart=2048, size=4096, type=c\\n' | sfdisk -q", false},
        {"GPT LDM data", "sgdisk -o -n 1:2048:6143 -t 1:4200", true},
        {"GPT basic data", "sgdisk -o -n 1:2048:6143 -t 1:0700", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto image = dir / "disk.img";
        std::filesystem::remove(image);
        test::createImage(image, 8 << 20);
        test::run(c.layout + " " + image.string() + " >/dev/null");
        DeviceMap devices;
        ASSERT_TRUE(devices.attachDisk(image.string()));
        EXPECT_EQ(isDynamicDisk(devices, 0), c.dynamic);
    }
    // A volume image starts with a boot sector whose code bytes may look like a type 0x42 entry.
    const auto vol = dir / "vol.img";
    test::createImage(vol, 1 << 20);
    std::vector<std::byte> boot(kSectorSize, std::byte{0x42});
    boot[510] = std::byte{0x55};
    boot[511] = std::byte{0xAA};
    test::writeSector(vol, 0, boot);
    DeviceMap devices;
    ASSERT_TRUE(devices.attachVolume(vol.string()));
    EXPECT_FALSE(volumeToDisk(devices, "E:").dynamic);
    EXPECT_EQ(volumeToDisk(devices, "E:").endSector, 2048u);
    EXPECT_EQ(volumeToDisk(devices, "Q:").endSector, 0u);
}

void writeFile(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

TEST(DriveEnum, ReadsAFakeSysfsTree) {
    TempDir dir;
    const auto sys = dir.path() / "sys";
    const auto usb = sys / "devices/pci0000:00/0000:00:14.0/usb1/1-1";
    const auto sdb = usb / "1-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
    writeFile(usb / "serial", "000000001206");
    writeFile(sdb / "removable", "1");
    writeFile(sdb / "size", "15523840");
    writeFile(sdb / "queue/logical_block_size", "512");
    writeFile(sdb / "device/vendor", "Generic ");
    writeFile(sdb / "device/model", "STORAGE DEVICE  ");
    writeFile(sdb / "device/rev", "1.00");
    writeFile(sdb / "sdb1/partition", "1");
    writeFile(sdb / "sdb1/start", "8192");
    writeFile(sdb / "sdb1/size", "15515648");
    const auto sda = sys / "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
    writeFile(sda / "removable", "0");
    writeFile(sda / "size", "1000000");
    const auto mmc = sys / "devices/platform/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0";
    writeFile(mmc / "removable", "0");
    writeFile(mmc / "size", "0");
    writeFile(mmc / "device/name", "SC16G");
    writeFile(sys / "devices/virtual/block/loop0/size", "100");
    std::filesystem::create_directories(sys / "block");
    for (const auto& [name, target] : {std::pair{"sdb", sdb}, {"sda", sda}, {"mmcblk0", mmc},
                                       {"loop0", sys / "devices/virtual/block/loop0"}})
        std::filesystem::create_directory_symlink(std::filesystem::relative(target, sys / "block"), sys / "block" / name);

    const auto disks = readSysfsDisks(sys, "/dev");
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0].name, "mmcblk0");
    EXPECT_TRUE(disks[0].removable);  // an SD card is removable whatever its reader says
    EXPECT_EQ(disks[0].busType, 12);
    EXPECT_EQ(disks[0].model, "SC16G");
    EXPECT_EQ(disks[0].sizeSectors, 0u);
    EXPECT_FALSE(disks[1].removable);
    EXPECT_EQ(busName(disks[1].busType), "ATA");
    const SysfsDisk& stick = disks[2];
    EXPECT_EQ(stick.devNode, "/dev/sdb");
    EXPECT_TRUE(stick.removable);
    EXPECT_EQ(busName(stick.busType), "USB");
    EXPECT_EQ(stick.vendor, "Generic");
    EXPECT_EQ(stick.model, "STORAGE DEVICE");
    EXPECT_EQ(stick.revision, "1.00");
    EXPECT_EQ(stick.serial, "000000001206");
    ASSERT_EQ(stick.partitions.size(), 1u);
    EXPECT_EQ(stick.partitions[0].startSector, 8192u);
    EXPECT_EQ(stick.partitions[0].sectorCount, 15515648u);

    // Nodes that cannot be opened and readers without a card are not attached.
    DeviceMap devices;
    std::vector<std::string> notes;
    const auto machine = attachMedia(devices, {}, disks, notes);
    ASSERT_TRUE(machine);
    EXPECT_TRUE(machine->disks.empty());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("/dev/sdb"), std::string::npos);
}

TEST(DriveEnum, MediaDescription) {
    const auto good = parseMediaDescription(
        R"({"computerName": "LAB-PC",
            "disks": [{"path": "card.img", "model": "SD Card", "bus": "SATA", "mediaType": "fixed", "cylinders": 10}],
            "volumes": [{"path": "/abs/vol.img", "letter": "E:", "serial": "1a2b", "freeBytes": 4096}]})",
        "/media");
    ASSERT_TRUE(good) << good.error().detail;
    EXPECT_EQ(good->computerName, "LAB-PC");
    EXPECT_EQ(good->disks[0].path, "/media/card.img");
    EXPECT_FALSE(good->disks[0].removable);
    EXPECT_EQ(good->disks[0].heads, 255u);
    EXPECT_EQ(good->volumes[0].path, "/abs/vol.img");
    EXPECT_EQ(good->volumes[0].letter, 'E');
    EXPECT_EQ(good->volumes[0].serial, 0x1A2Bu);

    const std::pair<const char*, const char*> bad[] = {
        {"[", "not valid JSON"},
        {"[]", "top level must be an object"},
        {R"({"disk": []})", "unknown key \"disk\""},
        {R"({"disks": {}})", "disks must be a list"},
        {R"({"disks": [{"model": "x"}]})", "disk 1: path is missing"},
        {R"({"disks": [{"path": "a", "heads": 0}]})", "must not be 0"},
        {R"({"disks": [{"path": "a", "cylinders": -1}]})", "cylinders must be a whole number"},
        {R"({"disks": [{"path": "a", "mediaType": "floppy"}]})", "mediaType must be"},
        {R"({"volumes": [{"path": "a", "letter": "EF"}]})", "letter must be one drive letter"},
        {R"({"volumes": [{"path": "a", "serial": "xyz"}]})", "serial must be"},
    };
    for (const auto& [json, why] : bad) {
        const auto r = parseMediaDescription(json, {});
        ASSERT_FALSE(r) << json;
        EXPECT_NE(r.error().detail.find(why), std::string::npos) << r.error().detail;
    }
}

} // namespace
} // namespace snapmend::device
