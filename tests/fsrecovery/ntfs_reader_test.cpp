// The NTFS record reader on hand-built records and volumes (byte-level faults) and on a volume made
// by mkntfs and filled through the NTFS driver, compared with what sleuthkit reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <stop_token>

#include "tests/support/tree_paths.h"
#include "common/bytes.h"
#include "common/text.h"
#include "device/device_map.h"
#include "fsrecovery/file_type.h"
#include "fsrecovery/ntfs/ntfs_reader.h"
#include "fsrecovery/session.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::fsrecovery::ntfs {
namespace {

using test::treePaths;
using test::UnchangedGuard;
using RunOfList = ntfs::Run;  // "Run" alone names the test's own Run()

// MFT runs as (start, length) pairs, comparable in expectations.
using RunPairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
RunPairs pairs(const MftRunList& runs) {
    RunPairs out;
    for (const MftRun& r : runs) out.emplace_back(r.start, r.length);
    return out;
}

std::vector<std::byte> bytesOf(std::initializer_list<int> values) {
    std::vector<std::byte> out;
    for (int v : values) out.push_back(std::byte(v));
    return out;
}

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

constexpr std::uint64_t kFiletime20130305 = 130069658380000000ULL;  // 2013-03-05 14:03:58

// Builds one 1024-byte MFT record the way it lies on disk: header, attributes, end marker, then
// the update sequence written over the last two bytes of each sector.
class RecordBuilder {
public:
    explicit RecordBuilder(std::uint8_t flags) : m_b(kRecordSize) {
        putAscii(m_b, 0, "FILE");
        putLe16(m_b, 4, 0x30);  // update-sequence array
        putLe16(m_b, 6, 3);     // sequence number + one entry per sector
        putLe16(m_b, 0x10, 1);
        putLe16(m_b, 0x14, 0x38);  // first attribute
        m_b[0x16] = std::byte(flags);
        putLe32(m_b, 0x1C, kRecordSize);
    }
    RecordBuilder& base(std::uint32_t record) {
        putLe32(m_b, 0x20, record);
        return *this;
    }
    RecordBuilder& firstAttribute(std::uint16_t offset) {
        putLe16(m_b, 0x14, offset);
        return *this;
    }
    RecordBuilder& resident(std::uint32_t type, std::span<const std::byte> value, std::u16string_view name = {}) {
        const std::size_t valueOffset = 0x18 + align8(2 * name.size());
        const std::size_t length = align8(valueOffset + value.size());
        header(type, length, 0, name, 0x18);
        putLe32(m_b, m_pos + 16, static_cast<std::uint32_t>(value.size()));
        putLe16(m_b, m_pos + 20, static_cast<std::uint16_t>(valueOffset));
        std::copy(value.begin(), value.end(), m_b.begin() + static_cast<std::ptrdiff_t>(m_pos + valueOffset));
        m_pos += length;
        return *this;
    }
    RecordBuilder& nonResident(std::uint32_t type, std::span<const std::byte> runList, std::uint64_t realSize,
                               std::uint64_t lowestVcn = 0, std::u16string_view name = {}) {
        const std::size_t runOffset = 0x40 + align8(2 * name.size());
        const std::size_t length = align8(runOffset + runList.size() + 1);
        header(type, length, 1, name, 0x40);
        putLe64(m_b, m_pos + 0x10, lowestVcn);
        putLe16(m_b, m_pos + 0x20, static_cast<std::uint16_t>(runOffset));
        putLe64(m_b, m_pos + 0x28, align8(realSize));
        putLe64(m_b, m_pos + 0x30, realSize);
        putLe64(m_b, m_pos + 0x38, realSize);
        std::copy(runList.begin(), runList.end(), m_b.begin() + static_cast<std::ptrdiff_t>(m_pos + runOffset));
        m_pos += length;
        return *this;
    }
    RecordBuilder& fileName(std::uint32_t parent, std::uint8_t ns, std::u16string_view name,
                            std::uint64_t created = kFiletime20130305) {
        std::vector<std::byte> v(0x42 + 2 * name.size());
        putLe64(v, 0, parent | (std::uint64_t{1} << 48));
        putLe64(v, 8, created);
        v[0x40] = std::byte(name.size());
        v[0x41] = std::byte(ns);
        for (std::size_t i = 0; i < name.size(); ++i) putLe16(v, 0x42 + 2 * i, name[i]);
        return resident(0x30, v);
    }
    // A filler attribute that makes the next one start at offset.
    RecordBuilder& padTo(std::size_t offset) {
        return resident(0x10, std::vector<std::byte>(offset - m_pos - 0x18));
    }
    RecordBuilder& attributeList(std::initializer_list<std::pair<std::uint32_t, std::uint32_t>> typeAndRecord) {
        std::vector<std::byte> v;
        for (const auto& [type, record] : typeAndRecord) {
            std::vector<std::byte> e(0x20);
            putLe32(e, 0, type);
            putLe16(e, 4, 0x20);
            putLe64(e, 16, record);
            v.insert(v.end(), e.begin(), e.end());
        }
        return resident(0x20, v);
    }
    // Raw bytes at the current position (damaged attributes); the record then ends without a marker.
    RecordBuilder& raw(std::span<const std::byte> bytes) {
        std::copy(bytes.begin(), bytes.end(), m_b.begin() + static_cast<std::ptrdiff_t>(m_pos));
        m_raw = true;
        return *this;
    }
    std::size_t position() const { return m_pos; }

    std::vector<std::byte> build(std::uint16_t usn = 0x4242) const {
        std::vector<std::byte> b = m_b;
        if (!m_raw) putLe32(b, m_pos, 0xFFFFFFFF);
        putLe16(b, 0x30, usn);
        for (std::size_t i = 0; i < 2; ++i) {
            b[0x32 + 2 * i] = b[510 + 512 * i];
            b[0x33 + 2 * i] = b[511 + 512 * i];
            putLe16(b, 510 + 512 * i, usn);
        }
        return b;
    }
    // The record as a reader sees it after the fixups.
    std::vector<std::byte> fixed() const {
        auto b = build();
        EXPECT_TRUE(ApplyFixups(b));
        return b;
    }

private:
    void header(std::uint32_t type, std::size_t length, std::uint8_t nonResident, std::u16string_view name,
                std::size_t nameOffset) {
        putLe32(m_b, m_pos, type);
        putLe32(m_b, m_pos + 4, static_cast<std::uint32_t>(length));
        m_b[m_pos + 8] = std::byte(nonResident);
        m_b[m_pos + 9] = std::byte(name.size());
        putLe16(m_b, m_pos + 10, static_cast<std::uint16_t>(nameOffset));
        for (std::size_t i = 0; i < name.size(); ++i) putLe16(m_b, m_pos + nameOffset + 2 * i, name[i]);
    }

    std::vector<std::byte> m_b;
    std::size_t m_pos = 0x38;
    bool m_raw = false;
};

FileNameInfo firstName(std::span<const std::byte> record, bool decode = true) {
    for (const std::uint8_t ns : kNamespaceOrder) {
        FileNameInfo info = ReadRecordName(record, ns, decode, nullptr);
        if (info.found) return info;
    }
    return {};
}

// --- Fixups -------------------------------------------------------------------------------------

TEST(NtfsFixups, RestoreBothSectorEndsSoANameAcrossTheFirstSectorReads) {
    // Name characters 498..517 straddle the first sector's last two bytes.
    const RecordBuilder rb = RecordBuilder(1).padTo(408).fileName(5, 1, u"DSC_0001.JPG");
    std::vector<std::byte> record = rb.build();
    EXPECT_NE(firstName(record).name, "DSC_0001.JPG");  // the update sequence number sits in the name

    ASSERT_TRUE(ApplyFixups(record));
    EXPECT_EQ(firstName(record).name, "DSC_0001.JPG");
    EXPECT_EQ(record, rb.fixed());
}

TEST(NtfsFixups, RefuseArraysThatDoNotFitTheRecord) {
    struct Case {
        const char* name;
        std::uint16_t arrayOffset;
        std::uint16_t count;
        std::size_t recordSize;
    };
    const Case cases[] = {
        {"no entries", 0x30, 0, 1024},
        {"sequence number only", 0x30, 1, 1024},
        {"more sectors than the record", 0x30, 4, 1024},
        {"array past the end", 1020, 3, 1024},
        {"huge count", 0x30, 0xFFFF, 1024},
        {"record shorter than one sector", 0x30, 2, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::byte> record(c.recordSize, std::byte{0x5A});
        putLe16(record, 4, c.arrayOffset);
        putLe16(record, 6, c.count);
        const auto before = record;
        EXPECT_FALSE(ApplyFixups(record));
        EXPECT_EQ(record, before);
    }
}

TEST(NtfsFixups, StopWhenCancelled) {
    std::vector<std::byte> record = RecordBuilder(1).fileName(5, 1, u"a").build();
    const auto before = record;
    const std::atomic<bool> cancel{true};
    EXPECT_FALSE(ApplyFixups(record, &cancel));
    EXPECT_EQ(record, before);
}

// --- Run lists ----------------------------------------------------------------------------------

TEST(NtfsRunList, DecodesRunsIntoSectors) {
    struct Case {
        const char* name;
        std::vector<std::byte> bytes;
        std::uint64_t base;
        std::uint32_t spc;
        std::uint64_t volumeEnd;
        std::vector<RunOfList> expected;
    };
    const Case cases[] = {
        {"one run", bytesOf({0x11, 0x10, 0x20, 0x00}), 63, 8, kNoVolumeEnd, {{63 + 0x20 * 8, 0x80}}},
        {"backward second run",
         bytesOf({0x21, 0x08, 0x00, 0x01, 0x11, 0x04, 0xFE, 0x00}),
         0,
         2,
         kNoVolumeEnd,
         {{512, 16}, {508, 8}}},
        {"three-byte negative offset",
         bytesOf({0x11, 0x01, 0x40, 0x31, 0x01, 0xFE, 0xFF, 0xFF, 0x00}),
         0,
         1,
         kNoVolumeEnd,
         {{64, 1}, {62, 1}}},
        {"sparse run keeps the reference",
         bytesOf({0x11, 0x02, 0x10, 0x01, 0x05, 0x11, 0x01, 0x04, 0x00}),
         100,
         4,
         kNoVolumeEnd,
         {{164, 8}, {0, 20}, {180, 4}}},
        {"run crossing the volume end is shortened", bytesOf({0x11, 0x10, 0x08, 0x00}), 0, 8, 100, {{64, 36}}},
        {"run beyond the volume end is cut",
         bytesOf({0x11, 0x02, 0x02, 0x11, 0x02, 0x7F, 0x11, 0x01, 0x01, 0x00}),
         0,
         8,
         200,
         {{16, 16}}},
        {"run before the volume start is cut",
         bytesOf({0x11, 0x02, 0x02, 0x11, 0x02, 0xF0, 0x00}),
         1000,
         8,
         kNoVolumeEnd,
         {{1016, 16}}},
        {"field running past the last byte", bytesOf({0x11, 0x01, 0x02, 0x22, 0x01}), 0, 1, kNoVolumeEnd, {{2, 1}}},
        {"length field of size 0 ends the list", bytesOf({0x11, 0x01, 0x02, 0x10, 0x05}), 0, 1, kNoVolumeEnd, {{2, 1}}},
        {"zero-length run ends the list", bytesOf({0x11, 0x00, 0x02}), 0, 1, kNoVolumeEnd, {}},
        {"oversized fields end the list", bytesOf({0x19, 0x01}), 0, 1, kNoVolumeEnd, {}},
        {"eight-byte length that overflows in sectors",
         bytesOf({0x18, 0, 0, 0, 0, 0, 0, 0, 0x80}),
         0,
         8,
         kNoVolumeEnd,
         {}},
        {"zero sectors per cluster", bytesOf({0x11, 0x01, 0x02}), 0, 0, kNoVolumeEnd, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DecodeRunList(c.bytes, 0, c.bytes.size(), c.base, c.spc, c.volumeEnd), c.expected);
    }
}

TEST(NtfsRunList, MapsRecordNumbersAcrossFragments) {
    const MftRunList runs = {{100, 4}, {50, 4}, {0, 4}, {200, 4}};
    const std::pair<std::uint64_t, std::uint64_t> cases[] = {
        {0, 100}, {1, 102}, {2, 50}, {3, 52}, {4, 0}, {6, 200}, {7, 202}, {8, 0}, {~std::uint64_t{0}, 0}};
    for (const auto& [record, sector] : cases) {
        SCOPED_TRACE(record);
        EXPECT_EQ(MftRecordSector(runs, record), sector);
    }
}

// --- Names and data attributes ------------------------------------------------------------------

TEST(NtfsRecordName, PicksTheNamespaceAndCleansTheName) {
    struct Case {
        const char* name;
        std::vector<std::byte> record;
        bool decode;
        bool found;
        std::uint32_t parent;
        std::string expected;
    };
    const Case cases[] = {
        {"Win32 before DOS",
         RecordBuilder(1).fileName(40, 2, u"LONGFI~1.JPG").fileName(40, 1, u"Long file name.jpg").fixed(), true,
         true, 40, "Long file name.jpg"},
        {"DOS namespace only", RecordBuilder(0).fileName(41, 2, u"IMG~1.JPG").fixed(), true, true, 41, "IMG~1.JPG"},
        {"POSIX namespace only", RecordBuilder(1).fileName(42, 0, u"a:b").fixed(), true, true, 42, "ab"},
        {"control characters, blanks and forbidden characters",
         RecordBuilder(1).fileName(7, 1, u"  x\u0001y<>|\"z*?\u00e9\u65e5 :").fixed(), true, true, 7,
         "x yz\u00e9\u65e5"},
        {"file name not decoded yet", RecordBuilder(1).fileName(9, 1, u"later.txt").fixed(), false, true, 9, ""},
        {"directory name always decoded", RecordBuilder(2).fileName(9, 3, u"Old").fixed(), false, true, 9, "Old"},
        {"named $FILE_NAME is not a name", RecordBuilder(1).resident(0x30, bytesOf({1, 2, 3}), u"x").fixed(), true,
         false, 0, ""},
        {"no attributes", RecordBuilder(1).fixed(), true, false, 0, ""},
        {"first attribute at 0x3FF", RecordBuilder(1).fileName(5, 1, u"a").firstAttribute(0x3FF).fixed(), true, false,
         0, ""},
        {"negative first attribute", RecordBuilder(1).fileName(5, 1, u"a").firstAttribute(0x8038).fixed(), true,
         false, 0, ""},
        {"attribute length 0", RecordBuilder(1).raw(bytesOf({0x30, 0, 0, 0, 0, 0, 0, 0})).fixed(), true, false, 0,
         ""},
        {"attribute length past the record",
         RecordBuilder(1).raw(bytesOf({0x30, 0, 0, 0, 0x00, 0xFF, 0xFF, 0xFF})).fixed(), true, false, 0, ""},
        {"tiny attribute length", RecordBuilder(1).raw(bytesOf({0x10, 0, 0, 0, 8, 0, 0, 0})).fixed(), true, false, 0,
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FileNameInfo info = firstName(c.record, c.decode);
        EXPECT_EQ(info.found, c.found);
        EXPECT_EQ(info.parent, c.parent);
        EXPECT_EQ(info.name, c.expected);
        if (c.found && !c.expected.empty()) {
            EXPECT_EQ(info.creationTime, kFiletime20130305);
        }
    }
}

TEST(NtfsRecordName, NothingIsFoundOnceTheListingIsCancelled) {
    const auto record = RecordBuilder(1).fileName(5, 1, u"a.txt").fixed();
    const std::atomic<bool> cancel{true};
    EXPECT_FALSE(ReadRecordName(record, 1, true, &cancel).found);
}

TEST(NtfsDataAttribute, FindsTheUnnamedDataAndItsSize) {
    const auto runs = bytesOf({0x11, 0x04, 0x20, 0x00});
    struct Case {
        const char* name;
        std::vector<std::byte> record;
        bool found;
        bool resident;
        std::uint64_t size;
    };
    const Case cases[] = {
        {"resident", RecordBuilder(1).fileName(5, 1, u"a").resident(0x80, std::vector<std::byte>(700)).fixed(), true,
         true, 700},
        {"non-resident", RecordBuilder(1).fileName(5, 1, u"a").nonResident(0x80, runs, 12345).fixed(), true, false,
         12345},
        {"named stream first",
         RecordBuilder(1).resident(0x80, std::vector<std::byte>(10), u"ads").nonResident(0x80, runs, 99).fixed(),
         true, false, 99},
        {"no data attribute", RecordBuilder(1).fileName(5, 1, u"a").fixed(), false, false, 0},
        {"non-resident byte neither 0 nor 1",
         [] {
             auto r = RecordBuilder(1).nonResident(0x80, bytesOf({0x11, 1, 1}), 5).fixed();
             r[0x38 + 8] = std::byte{2};
             return r;
         }(),
         false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const DataAttribute data = findUnnamedData(c.record);
        EXPECT_EQ(data.found, c.found);
        EXPECT_EQ(data.resident, c.resident);
        EXPECT_EQ(dataSize(c.record), c.size);
        if (data.found && !data.resident) {
            EXPECT_EQ(DecodeRunList(c.record, data.runListStart, data.runListEnd, 0, 8),
                      (std::vector<RunOfList>{{256, 32}}));
        }
    }
}

TEST(NtfsDateText, ConvertsFiletimeWithoutTimeZone) {
    struct Case {
        std::uint64_t filetime;
        const char* date;
        const char* time;
    };
    const Case cases[] = {
        {kFiletime20130305, "05-MAR-2013", "14:03:58"},
        {125911583999999999ULL, "31-DEC-1999", "23:59:59"},
        {125962560000000000ULL, "29-FEB-2000", "00:00:00"},
        {0, "01-JAN-1601", "00:00:00"},
        {0x8000000000000000ULL, "00-ERR-0", "00:00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        EXPECT_EQ(NtfsDateText(c.filetime), c.date);
        EXPECT_EQ(NtfsTimeText(c.filetime), c.time);
    }
}

// --- A hand-built volume ------------------------------------------------------------------------


struct ImageSession {
    explicit ImageSession(const std::filesystem::path& image, std::uint64_t endSector) : session(devices) {
        const auto disk = devices.attachDisk(image.string());
        EXPECT_TRUE(disk.has_value());
        session.target.devicePath = device::physicalDrivePath(*disk);
        session.target.target.endSector = endSector;
    }
    device::DeviceMap devices;
    Session session;
};

// A 1024-sector volume with two sectors per cluster (one record per cluster) whose MFT lies in
// three fragments: clusters 100-107 (records 0-7), 40-43 (records 8-11, before the first) and
// 300-303 (records 12-15).
class NtfsHandBuiltVolume : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSectors = 1024;
    static constexpr std::uint32_t kSpc = 2;
    static constexpr std::uint64_t kMftStart = 200;

    void SetUp() override {
        test::createImage(image, kSectors * 512);
        const auto mftRuns = bytesOf({0x11, 0x08, 0x64, 0x11, 0x04, 0xC4, 0x21, 0x04, 0x04, 0x01, 0x00});
        put(0, RecordBuilder(1).nonResident(0x80, mftRuns, 16 * 1024).fileName(5, 3, u"$MFT"));
        put(1, RecordBuilder(2).fileName(77, 1, u"Orphan"));  // deleted; its parent is nowhere
        put(3, RecordBuilder(3).fileName(13, 1, u"Early"));   // parent comes later
        put(4, RecordBuilder(3).attributeList({{0x10, 4}, {0x30, 8}}));  // name in record 8
        put(5, RecordBuilder(3).fileName(5, 3, u"."));
        put(6, RecordBuilder(1).padTo(0x3F8).raw(bytesOf({0x80, 0, 0, 0, 0x40, 0, 0, 0})));
        put(7, RecordBuilder(1).fileName(9, 1, u"far.bin").nonResident(0x80, bytesOf({0x21, 0x10, 0x00, 0x40}), 65536));
        put(8, RecordBuilder(1).base(4).fileName(5, 1, u"Split"));
        put(9, RecordBuilder(3).fileName(5, 1, u"Photos"));
        put(10, RecordBuilder(2).fileName(9, 1, u"Old"));  // deleted directory
        put(11, RecordBuilder(0).raw(bytesOf({0x30, 0, 0, 0, 0xF8, 0xFF, 0xFF, 0xFF})));
        put(12, RecordBuilder(0).fileName(9, 2, u"IMG~1.JPG").nonResident(0x80, bytesOf({0x11, 0x04, 0x30}), 12345));
        put(13, RecordBuilder(3).fileName(5, 1, u"Later"));
        put(14, RecordBuilder(1).fileName(9, 1, u"x").firstAttribute(0x3FF));
        put(15, RecordBuilder(1).fileName(5, 1, u"Deleted.txt").padTo(0x3F0).raw(bytesOf({0x30, 0, 0, 0, 0x20})));
    }

    static std::uint64_t sectorOf(std::uint64_t record) {
        if (record < 8) return 200 + 2 * record;
        if (record < 12) return 80 + 2 * (record - 8);
        return 600 + 2 * (record - 12);
    }
    void put(std::uint64_t record, const RecordBuilder& rb) { test::writeAt(image, sectorOf(record) * 512, rb.build()); }

    test::TempDir dir;
    std::filesystem::path image = dir / "vol.img";
};

TEST_F(NtfsHandBuiltVolume, BuildsTheRunListOfAFragmentedMft) {
    UnchangedGuard guard(image);
    ImageSession is(image, kSectors);
    const MftRunList runs = BuildMftRunList(is.session, 0, kMftStart, kSpc);
    EXPECT_EQ(pairs(runs), (RunPairs{{200, 16}, {80, 8}, {600, 8}}));
    for (const std::uint64_t record : {0, 7, 8, 11, 12, 15}) EXPECT_EQ(MftRecordSector(runs, record), sectorOf(record));

    EXPECT_TRUE(BuildMftRunList(is.session, 0, kMftStart + 4, kSpc).empty()) << "not a FILE record";
    EXPECT_TRUE(BuildMftRunList(is.session, 0, 0, kSpc).empty());
}

TEST_F(NtfsHandBuiltVolume, CutsTheMftAtTheVolumeEnd) {
    UnchangedGuard guard(image);
    ImageSession is(image, 620);
    EXPECT_EQ(pairs(BuildMftRunList(is.session, 0, kMftStart, kSpc)), (RunPairs{{200, 16}, {80, 8}, {600, 8}}));
    ImageSession shorter(image, 604);
    EXPECT_EQ(pairs(BuildMftRunList(shorter.session, 0, kMftStart, kSpc)), (RunPairs{{200, 16}, {80, 8}, {600, 4}}));
}

TEST_F(NtfsHandBuiltVolume, FollowsTheAttributeListToExtensionRecords) {
    // Record 0 keeps clusters 100-103 itself; its attribute list names record 2, which holds the
    // extent from VCN 4 on. Each extent's offsets start again from cluster 0.
    put(0, RecordBuilder(1)
               .attributeList({{0x10, 0}, {0x80, 0}, {0x80, 2}})
               .nonResident(0x80, bytesOf({0x11, 0x04, 0x64}), 16 * 1024)
               .fileName(5, 3, u"$MFT"));
    put(2, RecordBuilder(1).base(0).nonResident(0x80, bytesOf({0x11, 0x04, 0x28, 0x11, 0x04, 0x04}), 0, 4));
    UnchangedGuard guard(image);
    ImageSession is(image, kSectors);
    EXPECT_EQ(pairs(BuildMftRunList(is.session, 0, kMftStart, kSpc)), (RunPairs{{200, 8}, {80, 8}, {88, 8}}));
}

TEST_F(NtfsHandBuiltVolume, WalkBuildsFoldersLostRowsAndFileRows) {
    UnchangedGuard guard(image);
    ImageSession is(image, kSectors);
    Session& s = is.session;
    s.mftRuns = BuildMftRunList(s, 0, kMftStart, kSpc);
    s.recovered.ensureRoot();
    test::ScriptedSink sink;
    WalkMft(s, sink, {});

    EXPECT_EQ(sink.statuses, std::vector<std::string>{"sectors scanned of total 32"});
    ASSERT_FALSE(sink.progressCalls.empty());
    EXPECT_EQ(sink.progressCalls.back(), (std::pair<std::uint64_t, std::uint64_t>{32, 32}));

    // Early waited for Later, which comes after it in the MFT, and was attached after the walk.
    EXPECT_EQ(treePaths(s.recovered), (std::map<std::string, std::string>{{"Root", ""},
                                                                          {"Root/LST_Miscellaneous", ""},
                                                                          {"Root/Split", ""},
                                                                          {"Root/Photos", ""},
                                                                          {"Root/Photos/Old", "*"},
                                                                          {"Root/Later", ""},
                                                                          {"Root/Later/Early", ""}}));
    const NodeId photos = s.recovered.findNode(9);
    ASSERT_NE(photos, kNoNode);
    EXPECT_EQ(s.recovered.folders[photos].parentCluster, 5u);
    EXPECT_EQ(s.recovered.folders[photos].date, kFiletime20130305);

    ASSERT_EQ(s.recovered.LostDirList.rowCount(), 1u);
    const auto& lost = s.recovered.LostDirList.row(0);
    EXPECT_EQ(lost[kLdName], "Orphan");
    EXPECT_EQ(lost[kLdSelf], "1");
    EXPECT_EQ(lost[kLdParent], "77");
    EXPECT_EQ(lost[kLdDate], decimal(kFiletime20130305));
    EXPECT_EQ(lost[kLdType], "FOLDER");
    EXPECT_EQ(lost[kLdDeleted], "1");

    // $MFT, far.bin, the deleted DOS-named file and Deleted.txt, whose damaged last attribute
    // comes after its name; the extension record 8 and the damaged records give no row.
    std::vector<std::string> keys;
    for (std::size_t r = 0; r < s.NtfsFileTable.rowCount(); ++r) {
        keys.push_back(s.NtfsFileTable.cell(r, 0));
        EXPECT_EQ(s.NtfsFileTable.cell(r, 5), s.NtfsFileTable.cell(r, 0).substr(0, s.NtfsFileTable.cell(r, 0).find('|')));
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"5|200|", "9|214|", "9|600|", "5|606|"}));
    EXPECT_TRUE(s.resultsFound);

    // The assembly after the walk puts the orphan under the catch-all, marked through its row.
    ResolveOrphans(s.recovered.LostDirList, kNtfsRootParent);
    AssembleTreeNtfs(s.recovered);
    EXPECT_EQ(treePaths(s.recovered).at("Root/LST_Miscellaneous/Orphan"), "*");
}

TEST_F(NtfsHandBuiltVolume, ListingReadsNamesSizesAndDatesOnce) {
    UnchangedGuard guard(image);
    ImageSession is(image, kSectors);
    Session& s = is.session;
    s.mftRuns = BuildMftRunList(s, 0, kMftStart, kSpc);
    test::ScriptedSink sink;
    WalkMft(s, sink, {});
    EXPECT_FALSE(s.decodeFileNames);

    ListNtfsFolderFiles(s, 9);
    EXPECT_TRUE(s.decodeFileNames);
    EXPECT_EQ(s.fileCount, 2u);
    ASSERT_EQ(s.itemList.rowCount(), 2u);
    const auto& far = s.itemList.row(0);
    EXPECT_EQ(far[kItName], "far.bin");
    EXPECT_EQ(far[kItSize], "65536");
    const auto& img = s.itemList.row(1);
    EXPECT_EQ(img[kItName], "IMG~1.JPG");
    EXPECT_EQ(img[kItType], FileTypeText(".JPG", "IMG~1.JPG"));
    EXPECT_EQ(img[kItSize], "12345");
    EXPECT_EQ(img[kItDate], "05-MAR-2013");
    EXPECT_EQ(img[kItTime], "14:03:58");
    EXPECT_EQ(img[kItHidden1], "600");
    EXPECT_EQ(img[kItHidden2], "9");
    EXPECT_EQ(img[kItHidden3], "0");

    // The second listing takes the stored cells, even with the medium gone.
    const std::size_t row = s.NtfsFileTable.findText(0, "9|600|");
    ASSERT_NE(row, WorkTable::npos);
    EXPECT_EQ(s.NtfsFileTable.cell(row, 1), "IMG~1.JPG");
    EXPECT_EQ(s.NtfsFileTable.cell(row, 2), "12345");
    EXPECT_EQ(s.NtfsFileTable.cell(row, 3), decimal(kFiletime20130305));
    s.itemList.clear();
    s.target.devicePath = "\\\\.\\PhysicalDrive25";
    ListNtfsFolderFiles(s, 9);
    EXPECT_EQ(s.itemList.rowCount(), 2u);

    s.itemList.clear();
    s.listingCancel = true;
    ListNtfsFolderFiles(s, 9);
    EXPECT_EQ(s.itemList.rowCount(), 0u);
}

TEST_F(NtfsHandBuiltVolume, StopKeepsWhatWasFound) {
    UnchangedGuard guard(image);
    ImageSession is(image, kSectors);
    Session& s = is.session;
    s.mftRuns = BuildMftRunList(s, 0, kMftStart, kSpc);
    s.recovered.ensureRoot();
    std::stop_source stop;
    test::ScriptedSink sink;
    sink.onProgress = [&](std::uint64_t, std::uint64_t) { stop.request_stop(); };
    WalkMft(s, sink, stop.get_token());

    // Record 0 was taken before the stop was seen; "Root" still gets the catch-all.
    EXPECT_EQ(s.NtfsFileTable.rowCount(), 1u);
    EXPECT_FALSE(s.resultsFound);
    EXPECT_EQ(treePaths(s.recovered),
              (std::map<std::string, std::string>{{"Root", ""}, {"Root/LST_Miscellaneous", ""}}));
}

TEST_F(NtfsHandBuiltVolume, DeviceThatDoesNotOpenFindsNothing) {
    ImageSession is(image, kSectors);
    Session& s = is.session;
    s.mftRuns = {{200, 16}};
    s.target.devicePath = "\\\\.\\PhysicalDrive25";
    s.recovered.ensureRoot();
    test::ScriptedSink sink;
    WalkMft(s, sink, {});
    EXPECT_TRUE(s.NtfsFileTable.empty());
    EXPECT_TRUE(s.recovered.folders.empty());
    EXPECT_TRUE(BuildMftRunList(s, 0, kMftStart, kSpc).empty());
    EXPECT_FALSE(ReadFileName(s, kMftStart, 3).found);
}

TEST_F(NtfsHandBuiltVolume, ReadFileNameNamesDirectoriesOnly) {
    UnchangedGuard guard(image);
    ImageSession is(image, kSectors);
    const FileNameInfo dirName = ReadFileName(is.session, sectorOf(9), 1);
    EXPECT_TRUE(dirName.found);
    EXPECT_EQ(dirName.name, "Photos");
    EXPECT_EQ(dirName.parent, 5u);
    const FileNameInfo fileName = ReadFileName(is.session, sectorOf(12), 2);
    EXPECT_TRUE(fileName.found);
    EXPECT_EQ(fileName.name, "");
    EXPECT_EQ(fileName.parent, 9u);
    EXPECT_EQ(fileName.creationTime, kFiletime20130305);
    EXPECT_FALSE(ReadFileName(is.session, sectorOf(12), 1).found);
}

// --- A volume made by mkntfs and filled through the NTFS driver ---------------------------------

struct FlsEntry {
    std::uint32_t record;
    std::uint32_t parent;
    bool deleted;
};

// Directories and files as fls lists them, by path.
std::map<std::string, FlsEntry> flsEntries(const std::filesystem::path& image, char kind) {
    std::map<std::string, FlsEntry> out;
    std::map<std::string, std::uint32_t> recordOfPath;
    std::istringstream lines(test::runOutput("fls -r -p " + image.string()));
    const std::regex line(R"(^(.)/(.) (\* )?(\d+)[^:]*:\t(.*)$)");
    std::string text;
    std::vector<std::tuple<std::string, char, FlsEntry>> all;
    while (std::getline(lines, text)) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        const std::string path = m[5];
        if (path.find('$') != std::string::npos) continue;
        const char type = m[2].str()[0];
        const auto record = static_cast<std::uint32_t>(std::stoul(m[4]));
        recordOfPath[path] = record;
        all.emplace_back(path, type, FlsEntry{record, 0, m[3].matched});
    }
    for (auto& [path, type, entry] : all) {
        if (type != kind) continue;
        const auto slash = path.rfind('/');
        entry.parent = slash == std::string::npos ? kNtfsRootParent : recordOfPath.at(path.substr(0, slash));
        out[path] = entry;
    }
    return out;
}

// "$FILE_NAME ... Created:" of istat, as "DD-MON-YYYY HH:MM:SS".
std::string istatFileNameCreated(const std::filesystem::path& image, std::uint32_t record) {
    const std::string out = test::runOutput("istat -z UTC " + image.string() + " " + std::to_string(record));
    std::smatch m;
    const std::regex created(R"(\$FILE_NAME Attribute Values:[\s\S]*?Created:\s+(\d{4})-(\d\d)-(\d\d) (\d\d:\d\d:\d\d))");
    if (!std::regex_search(out, m, created)) return "no time in istat output";
    static const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    return m[3].str() + "-" + kMonths[std::stoi(m[2]) - 1] + "-" + m[1].str() + " " + m[4].str();
}

class NtfsRealVolume : public ::testing::Test {
protected:
    void SetUp() override {
        // Filled through a FUSE mount of the image (no kernel driver, nothing outside the temp
        // folder is touched); machines without FUSE skip these cases.
        if (std::system("command -v fls >/dev/null") != 0) GTEST_SKIP() << "needs sleuthkit";
        std::string why;
        const bool made = test::makeNtfsVolume(
            image, 32,
            "mkdir -p DCIM/100CANON Docs/Old Gone Late && head -c 5000 /dev/urandom > DCIM/100CANON/IMG_0001.JPG && "
            "printf 'short note' > Docs/note.txt && mkdir -p Trash/Sub && printf x > Trash/Sub/lost.txt && "
            "rm -rf Trash && rmdir Gone && mkdir Late/Early",
            why);
        if (!made) GTEST_SKIP() << why;

        const auto boot = test::readAt(image, 0, 512);
        spc = u8(boot[13]);
        mftStart = ByteReader(boot).le64(0x30).value() * spc;
    }

    test::TempDir dir;
    std::filesystem::path image = dir / "vol.img";
    std::uint32_t spc = 0;
    std::uint64_t mftStart = 0;
};

TEST_F(NtfsRealVolume, WalkFindsEveryFolderAndFileThatFlsFinds) {
    UnchangedGuard guard(image);
    ImageSession is(image, 32 * 2048);
    Session& s = is.session;
    s.mftRuns = BuildMftRunList(s, 0, mftStart, spc);
    ASSERT_FALSE(s.mftRuns.empty());
    EXPECT_EQ(s.mftRuns.front().start, mftStart);
    s.recovered.ensureRoot();
    test::ScriptedSink sink;
    WalkMft(s, sink, {});

    // Every directory fls shows is a folder (or, when its parent comes later, a lost row), with its
    // record number, parent and deleted mark.
    std::map<std::string, FlsEntry> found;
    for (const FolderNode& node : s.recovered.folders)
        if (node.selfCluster != kMiscCluster && node.name[0] != '$')
            found[node.name] = {node.selfCluster, node.parentCluster, node.deleted != 0};
    const WorkTable& lost = s.recovered.LostDirList;
    for (std::size_t r = 0; r < lost.rowCount(); ++r)
        found[lost.cell(r, kLdName)] = {static_cast<std::uint32_t>(lost.u64At(r, kLdSelf)),
                                        static_cast<std::uint32_t>(lost.u64At(r, kLdParent)),
                                        lost.cell(r, kLdDeleted) == "1"};
    const auto dirs = flsEntries(image, 'd');
    ASSERT_EQ(found.size(), dirs.size());
    for (const auto& [path, entry] : dirs) {
        SCOPED_TRACE(path);
        const std::string name = path.substr(path.rfind('/') + 1);
        ASSERT_EQ(found.count(name), 1u);
        EXPECT_EQ(found[name].record, entry.record);
        EXPECT_EQ(found[name].parent, entry.parent);
        EXPECT_EQ(found[name].deleted, entry.deleted);
    }
    // Early reuses the record of a folder removed before its parent was made: attached after the walk.
    EXPECT_TRUE(lost.empty());

    ResolveOrphans(s.recovered.LostDirList, kNtfsRootParent);
    AssembleTreeNtfs(s.recovered);
    const auto paths = treePaths(s.recovered);
    for (const char* p : {"Root/DCIM/100CANON", "Root/Docs/Old", "Root/Late/Early", "Root/LST_Miscellaneous"})
        EXPECT_EQ(paths.count(p), 1u) << p;
    EXPECT_EQ(paths.at("Root/Trash"), "*");
    EXPECT_EQ(paths.at("Root/Trash/Sub"), "*");

    // Every file fls shows is listed in its folder with its size and creation time.
    const std::map<std::string, std::uint64_t> sizes = {
        {"DCIM/100CANON/IMG_0001.JPG", 5000}, {"Docs/note.txt", 10}, {"Trash/Sub/lost.txt", 1}};
    const auto files = flsEntries(image, 'r');
    ASSERT_EQ(files.size(), sizes.size());
    for (const auto& [path, entry] : files) {
        SCOPED_TRACE(path);
        s.itemList.clear();
        s.fileCount = 0;
        ListNtfsFolderFiles(s, entry.parent);
        ASSERT_EQ(s.itemList.rowCount(), 1u);
        const auto& row = s.itemList.row(0);
        EXPECT_EQ(row[kItName], path.substr(path.rfind('/') + 1));
        EXPECT_EQ(row[kItSize], decimal(sizes.at(path)));
        EXPECT_EQ(row[kItDate] + " " + row[kItTime], istatFileNameCreated(image, entry.record));
        EXPECT_EQ(row[kItHidden1], decimal(MftRecordSector(s.mftRuns, entry.record)));
        EXPECT_EQ(row[kItHidden2], decimal(entry.parent));
        EXPECT_EQ(s.fileCount, 1u);
    }
}

} // namespace
} // namespace snapmend::fsrecovery::ntfs
