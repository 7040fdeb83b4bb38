// Partition-table walk: byte-built MBR, EBR and GUID tables for the edge cases, and images
// partitioned with sfdisk and sgdisk and formatted with mkfs.fat and mkntfs for the real layouts.
#include "device/partition_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.h"
#include "tests/support/test_media.h"

namespace snapmend::device {
namespace {

using test::createImage;
using test::TempDir;
using test::UnchangedGuard;
using test::writeSector;

// One MBR or extended boot record.
class TableSector {
public:
    TableSector() : m_bytes(kSectorSize) { marker(0x55, 0xAA); }

    // Entry i sits at 446 + 16 * i.
    TableSector& entry(std::size_t i, std::uint8_t type, std::uint32_t lba, std::uint32_t count) {
        const std::size_t e = 446 + 16 * i;
        m_bytes[e + 0] = std::byte{0x00};   // boot indicator: not active
        m_bytes[e + 4] = std::byte{type};   // partition type code
        putLe32(m_bytes, e + 8, lba);       // first sector: absolute in the MBR, relative in an EBR
        putLe32(m_bytes, e + 12, count);    // number of sectors
        return *this;
    }
    // The two bytes at 510 and 511 that mark a valid table.
    TableSector& marker(std::uint8_t b510, std::uint8_t b511) {
        m_bytes[510] = std::byte{b510};
        m_bytes[511] = std::byte{b511};
        return *this;
    }
    const std::vector<std::byte>& bytes() const { return m_bytes; }

private:
    std::vector<std::byte> m_bytes;
};

// The first sector of a volume carrying one signature: "FAT32" at 82, "FAT16" at 54, "NTFS" at 3,
// or the GUID table header's "EFI PART" at 0.
std::vector<std::byte> bootSector(std::string_view fs) {
    std::vector<std::byte> s(kSectorSize);
    if (fs == "FAT32") putAscii(s, 82, "FAT32   ");
    if (fs == "FAT16") putAscii(s, 54, "FAT16   ");
    if (fs == "NTFS") putAscii(s, 3, "NTFS    ");
    if (fs == "EFI") putAscii(s, 0, "EFI PART");
    s[510] = std::byte{0x55};
    s[511] = std::byte{0xAA};
    return s;
}

using Guid = std::array<std::uint8_t, 16>;
// E3C9E316-0B5C-4DB8-817D-F92DF00215AE as stored: first three groups little-endian.
constexpr Guid kMsReservedOnDisk = {0x16, 0xE3, 0xC9, 0xE3, 0x5C, 0x0B, 0xB8, 0x4D,
                                    0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
// The same type written byte for byte in text order: a different GUID on disk.
constexpr Guid kMsReservedTextOrder = {0xE3, 0xC9, 0xE3, 0x16, 0x0B, 0x5C, 0x4D, 0xB8,
                                       0x81, 0x7D, 0xF9, 0x2D, 0xF0, 0x02, 0x15, 0xAE};
// EBD0A0A2-B9E5-4433-87C0-68B6B72699C7 (basic data) as stored.
constexpr Guid kBasicDataOnDisk = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                   0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};

// A sector of four 128-byte GUID partition entries.
class GuidEntrySector {
public:
    GuidEntrySector() : m_bytes(kSectorSize) {}
    GuidEntrySector& entry(std::size_t i, const Guid& type, std::uint64_t first, std::uint64_t last) {
        const std::size_t e = 128 * i;
        for (std::size_t b = 0; b < type.size(); ++b) m_bytes[e + b] = std::byte{type[b]};  // type GUID
        m_bytes[e + 16] = std::byte{0x01};  // unique GUID: any non-zero value
        putLe64(m_bytes, e + 32, first);    // starting LBA
        putLe64(m_bytes, e + 40, last);     // ending LBA, inclusive
        return *this;
    }
    const std::vector<std::byte>& bytes() const { return m_bytes; }

private:
    std::vector<std::byte> m_bytes;
};

// What one recorded partition looks like to the user.
struct Part {
    std::string label;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const Part&) const = default;
};
void PrintTo(const Part& p, std::ostream* os) { *os << p.label << " [" << p.start << ", " << p.end << "]"; }

struct WalkResult {
    ItemTree tree;
    ItemId diskItem = kNoItem;
    DiskPartitions entry;
    PartitionWalkNotes notes;

    std::vector<Part> parts() const {
        std::vector<Part> out;
        for (std::uint32_t k = 0; k < entry.partitionCount; ++k)
            out.push_back({tree.label(entry.slots[k].treeItem), entry.slots[k].startSector, entry.slots[k].endSector});
        return out;
    }
    std::string notesText() const {
        std::string all;
        for (const auto& n : notes.notes) all += n + "\n";
        return all;
    }
};

// Walks disk 0 as the drive enumeration does, with the image checked unchanged afterwards.
WalkResult walkImage(const std::filesystem::path& image, std::uint64_t diskSectors) {
    UnchangedGuard guard(image);
    DeviceMap devices;
    const auto disk = devices.attachDisk(image.string());
    EXPECT_TRUE(disk.has_value());
    WalkResult r;
    if (!disk) return r;
    r.diskItem = r.tree.insert(kNoItem, "Disk 0", 1);
    r.notes = walkPartitionTable(devices, *disk, r.tree, r.diskItem, 0, diskSectors, r.entry);
    return r;
}

constexpr std::uint64_t kDiskSectors = 0x10000;  // 32 MiB, sparse

class PartitionWalkTest : public ::testing::Test {
protected:
    void SetUp() override { createImage(image, kDiskSectors * kSectorSize); }
    void put(std::uint64_t sector, const std::vector<std::byte>& bytes) { writeSector(image, sector, bytes); }
    WalkResult walk(std::uint64_t diskSectors = kDiskSectors) { return walkImage(image, diskSectors); }

    TempDir dir;
    std::filesystem::path image = dir / "disk.img";
};

// A FAT32 primary, then an extended partition at 16384 whose two records hold a FAT16 and an NTFS
// logical partition, each 64 sectors after its own record.
constexpr std::uint64_t kExtBase = 16384;
constexpr std::uint64_t kEbr2 = kExtBase + 8192;

void writeBaseLayout(const std::filesystem::path& image) {
    writeSector(image, 0, TableSector{}.entry(0, 0x0C, 2048, 8192).entry(1, 0x05, kExtBase, 32768).bytes());
    writeSector(image, 2048, bootSector("FAT32"));
    writeSector(image, kExtBase, TableSector{}.entry(0, 0x06, 64, 4096).entry(1, 0x05, 8192, 4160).bytes());
    writeSector(image, kExtBase + 64, bootSector("FAT16"));
    writeSector(image, kEbr2, TableSector{}.entry(0, 0x07, 64, 4096).bytes());
    writeSector(image, kEbr2 + 64, bootSector("NTFS"));
}

const Part kP1{"Partition - 1 ( FAT32 )", 2048, 10240};
const Part kP2{"Partition - 2 ( FAT16 )", kExtBase + 64, kExtBase + 64 + 4096};
const Part kP3{"Partition - 3 ( NTFS )", kEbr2 + 64, kEbr2 + 64 + 4096};

struct Patch {
    std::uint64_t sector;
    std::size_t offset;
    std::vector<std::byte> bytes;
};

std::vector<std::byte> asBytes(std::string_view text) {
    std::vector<std::byte> b(text.size());
    putAscii(b, 0, text);
    return b;
}
// Bytes 4..15 of table entry i: type code, CHS end (left zero), first sector, sector count.
Patch entryPatch(std::uint64_t sector, std::size_t i, std::uint8_t type, std::uint32_t lba, std::uint32_t count) {
    std::vector<std::byte> b(12);
    b[0] = std::byte{type};
    putLe32(b, 4, lba);
    putLe32(b, 8, count);
    return {sector, 446 + 16 * i + 4, b};
}

TEST_F(PartitionWalkTest, BaseLayoutNumbersLogicalsAfterPrimaries) {
    writeBaseLayout(image);
    const auto r = walk();
    EXPECT_EQ(r.parts(), (std::vector<Part>{kP1, kP2, kP3}));
    EXPECT_EQ(r.notesText(), "");
    for (std::uint32_t k = 0; k < r.entry.partitionCount; ++k) {
        EXPECT_EQ(r.entry.slots[k].index, k);
        EXPECT_FALSE(r.entry.slots[k].endInclusive);
        EXPECT_EQ(r.tree.item(r.entry.slots[k].treeItem).image, kPartitionImage);
        EXPECT_EQ(r.tree.parent(r.entry.slots[k].treeItem), r.diskItem);
    }
    EXPECT_EQ(r.entry.partitionFs[0], "FAT32");
    EXPECT_EQ(r.entry.partitionFs[2], "NTFS");
    EXPECT_TRUE(r.tree.item(r.diskItem).expanded);
}

TEST_F(PartitionWalkTest, CorruptAndUnusualTables) {
    struct Case {
        const char* name;
        std::vector<Patch> patches;
        std::vector<Part> expected;
        std::string note;  // a text the notes must contain; empty: no notes
        std::uint64_t diskSectors = kDiskSectors;
    };
    const Part logicalBeyondDisk{"Partition - 3 ( NTFS )", kEbr2 + 0xFFFFF000ull, kEbr2 + 0xFFFFF000ull + 4096};
    const std::vector<Case> cases = {
        {"byte 511 is not 0xAA", {{0, 511, {std::byte{0xAB}}}}, {}, "no partition table marker"},
        {"byte 510 is not 0x55", {{0, 510, {std::byte{0x00}}}}, {}, "no partition table marker"},
        {"FAT16 signature beats type 0x0C",
         {{2048, 82, std::vector<std::byte>(5)}, {2048, 54, asBytes("FAT16")}},
         {{"Partition - 1 ( FAT16 )", 2048, 10240}, kP2, kP3},
         ""},
        {"NTFS signature lists an unknown type code",
         {entryPatch(0, 0, 0x83, 2048, 8192), {2048, 82, std::vector<std::byte>(5)}, {2048, 3, asBytes("NTFS")}},
         {{"Partition - 1 ( NTFS )", 2048, 10240}, kP2, kP3},
         ""},
        {"unknown type code without signature is not listed",
         {entryPatch(0, 0, 0x83, 2048, 8192), {2048, 82, std::vector<std::byte>(5)}},
         {{"Partition - 1 ( FAT16 )", kP2.start, kP2.end}, {"Partition - 2 ( NTFS )", kP3.start, kP3.end}},
         ""},
        {"type code decides when no signature is present",
         {{kEbr2 + 64, 3, std::vector<std::byte>(4)}},
         {kP1, kP2, kP3},
         ""},
        {"extended entry within the last 0x6000 sectors ends the walk",
         {entryPatch(0, 1, 0x05, kDiskSectors - 0x5FFF, 0x5FFF)},
         {kP1},
         "within the last 24576 sectors"},
        {"entry exactly 0x6000 sectors before the end is walked",
         {entryPatch(0, 2, 0x0B, kDiskSectors - 0x6000, 0x6000)},
         {kP1, {"Partition - 2 ( FAT32 )", kDiskSectors - 0x6000, kDiskSectors}, {"Partition - 3 ( FAT16 )", kP2.start, kP2.end},
          {"Partition - 4 ( NTFS )", kP3.start, kP3.end}},
         ""},
        {"first entry beyond the end of the disk ends the walk",
         {entryPatch(0, 0, 0x0C, 0x20000, 8192)},
         {},
         "within the last 24576 sectors"},
        {"second record links back to the first",
         {entryPatch(kEbr2, 1, 0x05, 0, 4160)},
         {kP1, kP2, kP3},
         "loops back to sector 16384"},
        {"first record links to itself",
         {entryPatch(kExtBase, 1, 0x0F, 0, 4160)},
         {kP1, kP2},
         "loops back to sector 16384"},
        {"link beyond the end of the disk",
         {entryPatch(kExtBase, 1, 0x05, 0x7FFFFFFF, 4160)},
         {kP1, kP2},
         "lies beyond the end of the disk"},
        {"only the first two entries of a record are read",
         {entryPatch(kEbr2, 2, 0x06, 1024, 100), entryPatch(kEbr2, 3, 0x05, 2048, 100)},
         {kP1, kP2, kP3},
         ""},
        // 32-bit arithmetic would wrap this start to a sector inside the disk.
        {"logical start past 2^32 is kept in 64 bits and not read",
         {entryPatch(kEbr2, 0, 0x07, 0xFFFFF000u, 4096)},
         {kP1, kP2, logicalBeyondDisk},
         "starts beyond the end of the disk"},
        // The image is shorter than the disk claims: the third entry's boot sector cannot be read,
        // and the FAT32 signature of the first entry's boot sector must not be taken for it.
        {"unreadable boot sector does not reuse the previous one",
         {entryPatch(0, 2, 0x83, 0x20000, 100)},
         {kP1, {"Partition - 2 ( FAT16 )", kP2.start, kP2.end}, {"Partition - 3 ( NTFS )", kP3.start, kP3.end}},
         "boot sector at sector 131072 could not be read",
         0x30000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        createImage(image, kDiskSectors * kSectorSize);
        writeBaseLayout(image);
        for (const auto& p : c.patches) test::writeAt(image, p.sector * kSectorSize + p.offset, p.bytes);
        const auto r = walk(c.diskSectors);
        EXPECT_EQ(r.parts(), c.expected);
        if (c.note.empty())
            EXPECT_EQ(r.notesText(), "");
        else
            EXPECT_NE(r.notesText().find(c.note), std::string::npos) << r.notesText();
    }
}

// An extended chain of `records` records, 64 sectors apart, each holding one logical partition of
// the given type one sector after the record.
void writeChain(const std::filesystem::path& image, std::size_t records, std::uint8_t logicalType) {
    writeSector(image, 0, TableSector{}.entry(0, 0x06, 2048, 1024).entry(1, 0x05, 8192, 40000).bytes());
    for (std::size_t j = 0; j < records; ++j) {
        TableSector ebr;
        ebr.entry(0, logicalType, 1, 32);
        if (j + 1 < records) ebr.entry(1, 0x05, static_cast<std::uint32_t>(64 * (j + 1)), 64);
        writeSector(image, 8192 + 64 * j, ebr.bytes());
    }
}

TEST_F(PartitionWalkTest, StopsRecordingAtTwentySixPartitions) {
    writeChain(image, 30, 0x06);
    const auto r = walk();
    ASSERT_EQ(r.entry.partitionCount, kMaxPartitionsPerDisk);
    const auto parts = r.parts();
    EXPECT_EQ(parts.back(), (Part{"Partition - 26 ( FAT16 )", 8192 + 64 * 24 + 1, 8192 + 64 * 24 + 33}));
    EXPECT_EQ(r.tree.children(r.diskItem).size(), kMaxPartitionsPerDisk);
    EXPECT_NE(r.notesText().find("more than 26 partitions"), std::string::npos) << r.notesText();
}

TEST_F(PartitionWalkTest, GivesUpOnAnOverlongChain) {
    writeChain(image, kMaxExtendedBootRecords + 4, 0x83);
    // A recognisable logical partition in the last record, past the cap.
    writeSector(image, 8192 + 64 * (kMaxExtendedBootRecords + 3),
                TableSector{}.entry(0, 0x06, 1, 32).bytes());
    const auto r = walk();
    EXPECT_EQ(r.parts(), (std::vector<Part>{{"Partition - 1 ( FAT16 )", 2048, 3072}}));
    EXPECT_NE(r.notesText().find("longer than 256 records"), std::string::npos) << r.notesText();
}

TEST_F(PartitionWalkTest, ProtectiveMbrSwitchesToGuidTable) {
    // Entries after the protective one, and the extended chain, are not walked.
    put(0, TableSector{}.entry(0, 0xEE, 1, 0xFFFFFFFF).entry(1, 0x0C, 30000, 100).entry(2, 0x05, 31000, 100).bytes());
    put(1, bootSector("EFI"));
    put(2, GuidEntrySector{}
               .entry(0, kMsReservedOnDisk, 2048, 4095)      // skipped although it carries NTFS
               .entry(1, kMsReservedTextOrder, 4096, 8191)   // not the reserved type on disk
               .entry(2, kBasicDataOnDisk, 8192, 12287)      // no signature
               .entry(3, kBasicDataOnDisk, 12288, 16383)
               .bytes());
    put(3, GuidEntrySector{}
               .entry(0, kBasicDataOnDisk, 0x20000, 0x20FFF)  // beyond the disk
               .entry(1, kBasicDataOnDisk, 17000, 0)          // ending LBA 0: end of the used entries
               .entry(2, kBasicDataOnDisk, 18000, 18999)
               .bytes());
    put(2048, bootSector("NTFS"));
    put(4096, bootSector("NTFS"));
    put(12288, bootSector("FAT32"));
    put(18000, bootSector("FAT16"));
    put(30000, bootSector("FAT32"));
    put(31000, TableSector{}.entry(0, 0x06, 1, 32).bytes());

    const auto r = walk();
    EXPECT_EQ(r.parts(), (std::vector<Part>{{"Partition - 1 ( NTFS )", 4096, 8191},
                                            {"Partition - 2 ( FAT32 )", 12288, 16383}}));
    EXPECT_TRUE(r.entry.slots[0].endInclusive);
    EXPECT_NE(r.notesText().find("GUID partition at sector 131072 starts beyond the end"), std::string::npos)
        << r.notesText();
}

TEST(PartitionWalk, GuidTableOnADiskTooSmallForItsEntries) {
    TempDir dir;
    const auto image = dir / "tiny.img";
    createImage(image, 3 * kSectorSize);
    // Four used entries without signatures, so the walk goes on to sector 3, past the image.
    GuidEntrySector entries;
    for (std::size_t i = 0; i < 4; ++i) entries.entry(i, kBasicDataOnDisk, 1, 1);
    writeSector(image, 2, entries.bytes());
    UnchangedGuard guard(image);
    DeviceMap devices;
    ASSERT_TRUE(devices.attachDisk(image.string()).has_value());
    ItemTree tree;
    DiskPartitions entry;
    PartitionWalkNotes notes;
    walkGuidTable(devices, 0, tree, tree.insert(kNoItem, "Disk 0"), 2, entry, notes);
    EXPECT_EQ(entry.partitionCount, 0u);
    ASSERT_EQ(notes.notes.size(), 1u);
    EXPECT_EQ(notes.notes[0], "GUID partition entries at sector 3 could not be read; walk stopped");
}

TEST(PartitionWalk, ImageShorterThanOneSector) {
    TempDir dir;
    const auto image = dir / "short.img";
    createImage(image, 300);
    const auto r = walkImage(image, 0);
    EXPECT_EQ(r.entry.partitionCount, 0u);
    EXPECT_EQ(r.notesText(), "partition table at sector 0 could not be read\n");
}

TEST(PartitionWalk, SfdiskLayoutWithThreeLogicals) {
    TempDir dir;
    const auto image = dir / "mbr.img";
    const auto ntfs = dir / "ntfs.part";
    const std::string img = image.string();
    // The NTFS logical has type 0x83 so that only its boot sector names it; the last logical is
    // left unformatted and is named by its type code.
    ASSERT_TRUE(test::run("truncate -s 192M " + img));
    ASSERT_TRUE(test::run("printf 'label: dos\\nstart=2048, size=81920, type=6\\nstart=83968, type=5\\n"
                          "start=86016, size=131072, type=c\\nstart=219136, size=81920, type=83\\n"
                          "start=303104, size=81920, type=6\\n' | sfdisk " + img));
    ASSERT_TRUE(test::run("mkfs.fat -F 16 --offset 2048 " + img + " 40960"));
    ASSERT_TRUE(test::run("mkfs.fat -F 32 -s 1 --offset 86016 " + img + " 65536"));
    ASSERT_TRUE(test::run("truncate -s 40M " + ntfs.string() + " && mkntfs -F -Q -q -p 219136 -H 255 -S 63 " +
                          ntfs.string()));
    ASSERT_TRUE(test::run("dd if=" + ntfs.string() + " of=" + img + " bs=512 seek=219136 conv=notrunc"));

    const auto r = walkImage(image, 192 * 2048);
    EXPECT_EQ(r.parts(), (std::vector<Part>{{"Partition - 1 ( FAT16 )", 2048, 83968},
                                            {"Partition - 2 ( FAT32 )", 86016, 217088},
                                            {"Partition - 3 ( NTFS )", 219136, 301056},
                                            {"Partition - 4 ( FAT16 )", 303104, 385024}}));
    EXPECT_EQ(r.notesText(), "");
}

TEST(PartitionWalk, SgdiskLayoutBehindProtectiveMbr) {
    TempDir dir;
    const auto image = dir / "gpt.img";
    const auto ntfs = dir / "ntfs.part";
    const std::string img = image.string();
    // A Microsoft reserved partition first, as Windows lays a disk out, then FAT32 and NTFS.
    ASSERT_TRUE(test::run("truncate -s 128M " + img));
    ASSERT_TRUE(test::run("sgdisk -n 1:2048:34815 -t 1:0C01 -n 2:34816:165887 -t 2:0700 "
                          "-n 3:165888:247807 -t 3:0700 " + img));
    ASSERT_TRUE(test::run("mkfs.fat -F 32 -s 1 --offset 34816 " + img + " 65536"));
    ASSERT_TRUE(test::run("truncate -s 40M " + ntfs.string() + " && mkntfs -F -Q -q -p 165888 " + ntfs.string()));
    ASSERT_TRUE(test::run("dd if=" + ntfs.string() + " of=" + img + " bs=512 seek=165888 conv=notrunc"));

    const auto r = walkImage(image, 128 * 2048);
    EXPECT_EQ(r.parts(), (std::vector<Part>{{"Partition - 1 ( FAT32 )", 34816, 165887},
                                            {"Partition - 2 ( NTFS )", 165888, 247807}}));
    EXPECT_EQ(r.notesText(), "");
}

TEST(PartitionNames, NormaliseFsName) {
    const struct {
        const char* text;
        const char* expected;
    } cases[] = {
        {"FAT", "FAT16"},          {"  FAT \t", "FAT16"},   {"FAT16", "FAT16"},
        {"FAT32", "FAT32"},        {"NTFS", "NTFS"},        {"exFAT", "Unknown"},
        {"", "Unknown"},           {"fat32", "Unknown"},    {"Partition - 3 ( FAT32 )", "FAT32"},
        {"FAT12", "Unknown"},      {"Partition - 1 ( NTFS )", "NTFS"},
    };
    for (const auto& c : cases) EXPECT_EQ(normaliseFsName(c.text), c.expected) << '"' << c.text << '"';
}

TEST(PartitionNames, GuessFsBySize) {
    constexpr std::uint64_t kGiB = 2097152;  // sectors
    const struct {
        std::uint64_t start, end;
        const char* expected;
    } cases[] = {
        {63, 40 * kGiB, "NTFS"},
        {0, 35 * kGiB, "NTFS"},
        {0, 35 * kGiB - 1, "FAT32"},
        {63, 8 * kGiB, "FAT32"},
        {0, 2048, "FAT32"},
        {0, 2047, "Unknown"},
        {63, 1024, "Unknown"},  // 512 KiB
        {5000, 63, "Unknown"},  // end before start: an empty range, not a huge one
    };
    for (const auto& c : cases)
        EXPECT_EQ(guessFsBySize(c.start, c.end), c.expected) << c.start << ".." << c.end;
}

TEST(DeepNtfsVolumeRows, OneRowPerSlotOrChildItem) {
    DiskPartitions entry;
    entry.partitionCount = 2;
    entry.slots[0] = {kNoItem, 2048, 10240, 0, false};
    entry.slots[1] = {kNoItem, 20000, 90000, 1, false};  // ends past the disk
    WorkTable table(deepNtfsVolumeColumns());
    table.append({"0", "1", "63", "100", "63", "100"});  // a row from an earlier disk

    // Three child items but two recorded partitions: the third row comes from an empty slot.
    appendDeepNtfsVolumeRows(table, 3, 3, entry, 80000);
    ASSERT_EQ(table.rowCount(), 4u);
    EXPECT_EQ(table.headers(), (std::vector<std::string>{"Drive", "Part", "St_Sec", "End_Sec", "Clus0", "Drive_E_Sec"}));
    EXPECT_EQ(table.row(1), (WorkTable::Row{"3", "2", "2048", "10240", "2048", "80000"}));
    EXPECT_EQ(table.row(2), (WorkTable::Row{"3", "3", "20000", "80000", "20000", "80000"}));
    EXPECT_EQ(table.row(3), (WorkTable::Row{"3", "4", "0", "0", "0", "80000"}));

    // A disk item with more children than there are slots stops at the last slot.
    WorkTable many(deepNtfsVolumeColumns());
    appendDeepNtfsVolumeRows(many, 0, kPartitionSlots + 10, entry, 80000);
    EXPECT_EQ(many.rowCount(), kPartitionSlots);
}

} // namespace
} // namespace snapmend::device
