#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <stop_token>
#include <string>
#include <vector>

#include "tests/support/tree_paths.h"
#include "common/bytes.h"
#include "common/text.h"
#include "device/device_map.h"
#include "device/scan_target.h"
#include "device/volume_params.h"
#include "fsrecovery/fat/fat_walker.h"
#include "fsrecovery/recovered_tree.h"
#include "fsrecovery/session.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::fsrecovery::fat {
namespace {

using test::TempDir;
using test::treePaths;
using test::UnchangedGuard;
using Entry = std::array<std::byte, kEntrySize>;
using Entries = std::vector<Entry>;

constexpr std::uint16_t kDate2013 = (33 << 9) | (3 << 5) | 5;  // 05-MAR-2013
constexpr std::uint16_t kTime1403 = (14 << 11) | (3 << 5) | 29;  // 14:03:58
constexpr std::uint8_t kArchive = 0x20;

// A short (8.3) directory entry.
struct Short {
    std::string_view name11;  // 8 name bytes then 3 extension bytes, blank padded: "README  TXT"
    std::uint8_t attr = kArchive;
    std::uint32_t cluster = 0;
    std::uint32_t size = 0;
    std::uint16_t date = kDate2013;
    std::uint16_t time = kTime1403;

    Entry bytes() const {
        Entry e{};
        putAscii(e, 0, name11);                                      // 0: name, 8: extension (0xE5 first = deleted)
        e[11] = std::byte{attr};                                     // 11: attributes
        putLe16(e, 20, static_cast<std::uint16_t>(cluster >> 16));   // 20: start cluster, high word (FAT32)
        putLe16(e, 22, time);                                        // 22: modification time
        putLe16(e, 24, date);                                        // 24: modification date
        putLe16(e, 26, static_cast<std::uint16_t>(cluster & 0xFFFF));  // 26: start cluster, low word
        putLe32(e, 28, size);                                        // 28: size in bytes
        return e;
    }
};

// The "." and ".." entries opening a subdirectory cluster.
Entries dotEntries(std::uint32_t self, std::uint32_t parent) {
    return {Short{".          ", 0x10, self}.bytes(), Short{"..         ", 0x10, parent}.bytes()};
}

// The long-name entries of name in on-disk order (last part first). A name that fills its last
// entry exactly has no 0x0000 terminator.
Entries longName(std::u16string_view name, bool deleted = false) {
    constexpr std::array<std::size_t, 13> kUnits = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    const std::size_t parts = std::max<std::size_t>(1, (name.size() + 12) / 13);
    Entries out;
    for (std::size_t p = parts; p-- > 0;) {
        Entry e{};
        const auto seq = static_cast<std::uint8_t>((p + 1) | (p + 1 == parts ? 0x40 : 0));
        e[0] = std::byte{deleted ? std::uint8_t{0xE5} : seq};  // 0: sequence number, 0x40 on the last part
        e[11] = std::byte{kAttrLongName};                      // 11: long-name attribute
        for (std::size_t k = 0; k < kUnits.size(); ++k) {      // 13 UTF-16 units; 0x0000 then 0xFFFF padding
            const std::size_t i = p * 13 + k;
            putLe16(e, kUnits[k], i < name.size() ? name[i] : i == name.size() ? 0 : 0xFFFF);
        }
        out.push_back(e);
    }
    return out;
}

Entries operator+(Entries a, const Entries& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Entries one(const Short& s) { return {s.bytes()}; }

// A hand-laid FAT volume in a 1 MiB image: FAT at sector 1 (8 sectors), FAT16 root at 17 (4
// sectors) or FAT32 root cluster 2, data from sector 21 (FAT16) or 17 (FAT32), 4 sectors per cluster.
class FatImage {
public:
    static constexpr std::uint64_t kSectors = 2048;

    explicit FatImage(bool fat32) : m_fat32(fat32), m_session(m_devices) {
        test::createImage(m_path, kSectors * 512);
        EXPECT_TRUE(m_devices.attachDisk(m_path.string()));
        auto& t = m_session.target;
        t.devicePath = device::DevicePathTable[0];
        t.target.endSector = kSectors;
        auto& p = t.activeParams;
        p.partType = fat32 ? "FAT32" : "FAT16";
        p.SPC = 4;
        p.SPF = 8;
        p.firstFAT = 1;
        p.secondFAT = 9;
        p.RootSec = fat32 ? 0 : 4;
        p.RootStartSec = fat32 ? 2 : 17;
        p.Cluster0Start = (fat32 ? 17 : 21) - 2 * p.SPC;
    }

    Session& session() { return m_session; }
    device::VolumeParams& params() { return m_session.target.activeParams; }
    const std::filesystem::path& path() const { return m_path; }
    std::uint64_t clusterSector(std::uint32_t c) { return params().clusterSector(c); }

    void setFat(std::uint32_t cluster, std::uint32_t value) {
        std::array<std::byte, 4> v{};
        putLe32(v, 0, value);
        const std::size_t width = m_fat32 ? 4 : 2;
        test::writeAt(m_path, std::uint64_t{params().firstFAT} * 512 + cluster * width, std::span(v).first(width));
    }
    // Entries written back to back from entry index first of sector (they may run into the next sector).
    void write(std::uint64_t sector, const Entries& entries, std::size_t first = 0) {
        for (std::size_t i = 0; i < entries.size(); ++i) test::writeAt(m_path, sector * 512 + (first + i) * 32, entries[i]);
    }
    std::array<std::byte, 512> sector(std::uint64_t n) {
        std::array<std::byte, 512> s{};
        EXPECT_TRUE(m_devices.readSectors(m_session.devicePath(), n, 1, s));
        return s;
    }

private:
    bool m_fat32;
    TempDir m_dir;
    std::filesystem::path m_path = m_dir / "vol.img";
    device::DeviceMap m_devices;
    Session m_session;
};

// ---- Entries --------------------------------------------------------------------------------

TEST(FatEntry, DecodesShortEntriesAndRefusesGarbageNames) {
    struct Case {
        const char* name;
        std::string_view name11;
        bool fat32;
        std::string shortName;
        bool deleted;
        bool acceptable;
    };
    const Case cases[] = {
        {"file", "README  TXT", false, "README.TXT", false, true},
        {"deleted file", "\xE5LBUM   JPG", false, "_LBUM.JPG", true, true},
        {"no extension", "DCIM       ", false, "DCIM", false, true},
        {"blank first extension byte", "AB       XY", false, "ABXY", false, true},
        {"control character", "A\x01" "B     TXT", false, "A\x01" "B.TXT", false, false},
        {"wildcard", "A?B     TXT", false, "A?B.TXT", false, false},
        {"colon in extension", "AB      T:T", false, "AB.T:T", false, false},
        {"byte above 127", "\xC4PFEL   TXT", false, "\xC3\x84PFEL.TXT", false, false},
        {"NUL inside", std::string_view("AB\0D    TXT", 11), false, std::string("AB\0D.TXT", 8), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const EntryInfo e = decodeEntry(Short{c.name11}.bytes(), c.fat32);
        EXPECT_EQ(e.shortName, c.shortName);
        EXPECT_EQ(e.deleted, c.deleted);
        EXPECT_EQ(e.acceptable, c.acceptable);
    }
}

TEST(FatEntry, StartClusterHasAHighWordOnlyOnFat32) {
    const Entry raw = Short{"A       JPG", kArchive, 0x00012345, 4096, kDate2013, kTime1403}.bytes();
    const EntryInfo e16 = decodeEntry(raw, false);
    const EntryInfo e32 = decodeEntry(raw, true);
    EXPECT_EQ(e16.startCluster, 0x2345u);
    EXPECT_EQ(e32.startCluster, 0x12345u);
    EXPECT_EQ(e32.size, 4096u);
    EXPECT_EQ(e32.date, kDate2013);
    EXPECT_EQ(e32.time, kTime1403);
    EXPECT_EQ(e32.attr, kArchive);
}

TEST(FatEntry, DisplayNameTakesTheShortExtensionWhenTheLongNameHasNone) {
    struct Case {
        std::string_view longName, shortName, display;
    };
    const Case cases[] = {
        {"readme", "README.TXT", "readme.TXT"},
        {"", "_LBUM.JPG", "_LBUM.JPG"},
        {"Holiday at the lake.jpg", "HOLIDA~1.JPG", "Holiday at the lake.jpg"},
        {"notes.  ", "NOTES.TXT", "notes.  .TXT"},
        {"Makefile", "MAKEFILE", "Makefile"},
        {"", "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(displayName(c.longName, c.shortName), c.display) << c.longName;
}

// ---- Long names -----------------------------------------------------------------------------

TEST(FatLongName, ReadsBackwardsAcrossSectorsAndStopsWhereTheNameEnds) {
    const std::u16string n30 = u"\u00DCbersicht der Fotos 2013.jpeg";  // 30 units: three entries
    const Entries thirteenX = longName(u"xxxxxxxxxxxxx");
    struct Case {
        const char* name;
        std::uint64_t shortSector;  // sector of the short entry
        std::size_t shortIndex;     // its entry index there
        std::uint64_t firstSector;  // where the written entries begin
        std::size_t firstIndex;
        Entries entries;            // ending with the short entry
        std::string expected;
    };
    const Case cases[] = {
        {"13 units, no terminator, after a plain entry", 100, 2, 100, 0,
         one({"PLAIN   TXT"}) + longName(u"ABCDEFGHIJKLM") + one({"ABCDEF~1   "}), "ABCDEFGHIJKLM"},
        {"parts in the sector before", 101, 1, 100, 14, longName(n30) + one({"BERSIC~1JPE"}), utf16ToUtf8(n30)},
        {"short entry opens the sector", 101, 0, 100, 13, longName(n30) + one({"BERSIC~1JPE"}), utf16ToUtf8(n30)},
        {"deleted file keeps its long name", 100, 1, 100, 0,
         longName(u"Holiday.jpg", true) + one({"\xE5OLIDAY JPG"}), "Holiday.jpg"},
        {"no long name", 100, 1, 100, 0, one({"PLAIN   TXT"}) + one({"OTHER   TXT"}), ""},
        {"nothing before sector 0", 0, 0, 0, 0, one({"FIRST   TXT"}), ""},
        {"garbage parts stop at 255 units", 102, 0, 100, 0, Entries(32, thirteenX[0]) + one({"X       TXT"}),
         std::string(255, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FatImage img(false);
        img.write(c.firstSector, c.entries, c.firstIndex);
        UnchangedGuard guard(img.path());
        const auto sector = img.sector(c.shortSector);
        EXPECT_EQ(ReadLongName(img.session(), sector, c.shortIndex * 32, c.shortSector), c.expected);
    }
}

// ---- Chains ---------------------------------------------------------------------------------

TEST(FatChain, FollowsTheFirstFatAndStopsOnEndsLoopsAndTheVolumeSize) {
    using Links = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    std::vector<std::uint32_t> longRun;  // 2 -> 3 -> ... -> 2047: more than the volume's 508 clusters
    Links longLinks;
    for (std::uint32_t c = 2; c < 2047; ++c) longLinks.push_back({c, c + 1});
    for (std::uint32_t c = 2; c < 2 + 508; ++c) longRun.push_back(c);
    struct Case {
        const char* name;
        bool fat32;
        Links links;
        std::uint32_t start;
        std::vector<std::uint32_t> chain;
        bool cancel = false;
    };
    const Case cases[] = {
        {"FAT16 three clusters", false, {{2, 3}, {3, 5}, {5, 0xFFFF}}, 2, {2, 3, 5}},
        {"FAT16 0xFFF8 is taken as a cluster", false, {{2, 0xFFF8}}, 2, {2, 0xFFF8}},
        {"FAT16 free entry ends", false, {{2, 0}}, 2, {2}},
        {"FAT16 entry 1 ends", false, {{2, 1}}, 2, {2}},
        {"FAT32 across FAT sectors", true, {{2, 200}, {200, 0x0FFFFFFF}}, 2, {2, 200}},
        {"FAT32 0x0FFFFFF8 is taken as a cluster", true, {{2, 0x0FFFFFF8}}, 2, {2, 0x0FFFFFF8}},
        {"FAT32 0x0FFFFFFF ends", true, {{2, 0x0FFFFFFF}}, 2, {2}},
        {"FAT32 top bits are not masked", true, {{2, 0x10000003}}, 2, {2}},
        {"loop back to the start", false, {{2, 3}, {3, 4}, {4, 2}}, 2, {2, 3, 4}},
        {"cluster pointing at itself", true, {{5, 5}}, 5, {5}},
        {"longer than the volume", false, longLinks, 2, longRun},
        {"entry beyond the FAT", false, {}, 4000, {4000}},
        {"cancelled listing", false, {{2, 3}, {3, 0xFFFF}}, 2, {2}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FatImage img(c.fat32);
        for (const auto& [from, to] : c.links) img.setFat(from, to);
        UnchangedGuard guard(img.path());
        img.session().listingCancel = c.cancel;
        EXPECT_EQ(BuildClusterChain(img.session(), c.start), c.chain);
    }
}

TEST(FatChain, EndsAtAnUnreadableFatSector) {
    FatImage img(false);
    img.params().firstFAT = FatImage::kSectors - 1;  // the FAT's second sector lies past the device
    img.setFat(2, 256);
    UnchangedGuard guard(img.path());
    EXPECT_EQ(BuildClusterChain(img.session(), 2), (std::vector<std::uint32_t>{2, 256}));
}

// ---- File listing ---------------------------------------------------------------------------

struct ListedFile {
    std::string name, type, size, date, time, cluster, sfn;
    bool operator==(const ListedFile&) const = default;
};
std::ostream& operator<<(std::ostream& os, const ListedFile& f) {
    return os << f.name << " | " << f.type << " | " << f.size << " | " << f.date << " " << f.time << " | " << f.cluster
              << " | " << f.sfn;
}
std::vector<ListedFile> listed(const Session& s) {
    std::vector<ListedFile> out;
    for (std::size_t r = 0; r < s.itemList.rowCount(); ++r) {
        const auto& row = s.itemList.row(r);
        out.push_back({row[kItName], row[kItType], row[kItSize], row[kItDate], row[kItTime], row[kItHidden1], row[kItSfn]});
    }
    return out;
}

// A directory with every kind of entry the listing must tell apart.
Entries mixedEntries() {
    return longName(u"readme") + one({"README  TXT", kArchive, 40, 1234}) +   // readme.TXT
           one({"CARD       ", kAttrVolumeLabel}) +                          // volume label: no file
           one({"\xE5LBUM   JPG", kArchive, 41, 99}) +                         // deleted, no long name
           one({"DCIM       ", kAttrDirectory, 5}) +                           // folder: listed from the tree
           one({"A?B     TXT", kArchive, 42, 1}) +                             // garbage name
           longName(u"Holiday at the lake.jpg") + one({"HOLIDA~1JPG", kArchive, 43, 7});
}

const std::vector<ListedFile> kMixedListed = {
    {"readme.TXT", "Text file", "1234", "05-MAR-2013", "14:03:58", "40", "README.TXT"},
    {"_LBUM.JPG", "Image File", "99", "05-MAR-2013", "14:03:58", "41", "_LBUM.JPG"},
    {"Holiday at the lake.jpg", "Image File", "7", "05-MAR-2013", "14:03:58", "43", "HOLIDA~1.JPG"},
};

TEST(FatListing, Fat16RootGoesOnAfterAnEndMarkWhileASubdirectoryStops) {
    FatImage img(false);
    // Root: the mixed entries and an end mark in sector 17, one more file in sector 18.
    img.write(17, mixedEntries() + Entries{Entry{}});
    img.write(18, one({"LATE    JPG", kArchive, 44, 5}));
    // Subdirectory at cluster 5 -> 6: a file, an end mark, and a file after it in the next sector.
    img.setFat(5, 6);
    img.setFat(6, 0xFFFF);
    img.write(img.clusterSector(5), dotEntries(5, 0) + mixedEntries() + Entries{Entry{}});
    img.write(img.clusterSector(5) + 1, one({"AFTER   TXT", kArchive, 45, 5}));
    img.write(img.clusterSector(6), one({"NEXTCL  TXT", kArchive, 46, 5}));
    UnchangedGuard guard(img.path());

    Session& s = img.session();
    ListFolderFiles(s, 0, -1);
    auto expected = kMixedListed;
    expected.push_back({"LATE.JPG", "Image File", "5", "05-MAR-2013", "14:03:58", "44", "LATE.JPG"});
    EXPECT_EQ(listed(s), expected);
    EXPECT_EQ(s.fileCount, 4u);

    s.itemList.clear();
    ListFolderFiles(s, 5, -1);
    EXPECT_EQ(listed(s), kMixedListed);
    EXPECT_EQ(s.fileCount, 7u);
}

TEST(FatListing, Fat32RootFollowsItsChainAndStopsAtTheEndMark) {
    FatImage img(true);
    img.setFat(2, 9);
    img.setFat(9, 0x0FFFFFFF);
    Entries full;
    for (int i = 0; i < 64; ++i) full.push_back(Short{"FILL    DAT", kArchive, 50, 1}.bytes());  // cluster 2, all 4 sectors
    img.write(img.clusterSector(2), full);
    img.write(img.clusterSector(9), mixedEntries() + Entries{Entry{}} + one({"GONE    TXT", kArchive, 47, 5}));
    UnchangedGuard guard(img.path());

    Session& s = img.session();
    s.itemList = WorkTable(deepItemColumns());
    ListFolderFiles(s, 0, 3);
    ASSERT_EQ(s.itemList.rowCount(), 64u + kMixedListed.size());
    EXPECT_EQ(listed(s).back(), kMixedListed.back());
    EXPECT_EQ(s.itemList.cell(0, kItFileSys), "3");
    EXPECT_EQ(s.itemList.cell(0, kItName), "FILL.DAT");
}

TEST(FatListing, ListsNothingForTheCatchAllOrWhenCancelled) {
    FatImage img(false);
    img.write(17, mixedEntries());
    UnchangedGuard guard(img.path());
    Session& s = img.session();
    ListFolderFiles(s, kMiscCluster, -1);
    s.listingCancel = true;
    ListFolderFiles(s, 0, -1);
    EXPECT_EQ(s.itemList.rowCount(), 0u);
    EXPECT_EQ(s.fileCount, 0u);
}

// ---- Naming child folders -------------------------------------------------------------------

NodeId addNode(Session& s, std::string name, std::uint32_t self, std::uint32_t parent) {
    FolderNode n;
    n.name = name;
    n.treeItem = s.recovered.tree.insert(kNoItem, std::move(name), kFolderImage);
    n.selfCluster = self;
    n.parentCluster = parent;
    s.recovered.folders.push_back(n);
    return static_cast<NodeId>(s.recovered.folders.size() - 1);
}

TEST(FatNaming, ExpandingNamesChildFoldersFromTheDirectoryOnce) {
    FatImage img(false);
    img.setFat(5, 6);
    img.setFat(6, 0xFFFF);
    // Cluster 5: a named folder, a deleted one, a file sharing a folder's cluster, a garbage entry;
    // its last sector names a folder too, and the walk goes on into cluster 6 up to the end mark.
    Entries cluster5 = dotEntries(5, 0) + longName(u"Summer 2013") + one({"SUMMER~1   ", kAttrDirectory, 7}) +
                       one({"\xE5INTER     ", kAttrDirectory, 8}) + one({"IMG_0001JPG", kArchive, 9}) +
                       one({"B*D        ", kAttrDirectory, 10});
    cluster5.resize(48, Short{"FILLER  DAT"}.bytes());
    cluster5.push_back(Short{"LASTSEC    ", kAttrDirectory, 11}.bytes());
    cluster5.resize(64, Short{"FILLER  DAT"}.bytes());
    img.write(img.clusterSector(5), cluster5);
    img.write(img.clusterSector(6), one({"NEXTCL     ", kAttrDirectory, 12}) + Entries{Entry{}} +
                                        one({"PASTEND    ", kAttrDirectory, 13}));
    UnchangedGuard guard(img.path());

    Session& s = img.session();
    const NodeId parent = addNode(s, "DIR1", 5, 0);
    addNode(s, "DIR2", 7, 5);
    addNode(s, "DIR3", 8, 5);
    addNode(s, "DIR4", 9, 5);
    addNode(s, "DIR5", 10, 5);
    addNode(s, "DIR6", 11, 5);
    addNode(s, "DIR7", 12, 5);
    addNode(s, "DIR8", 13, 5);
    addNode(s, "DIR9", 7, 99);  // same cluster, other parent: not this directory's child

    nameChildFolders(s, parent);
    std::vector<std::pair<std::string, int>> got;
    for (const auto& n : s.recovered.folders) {
        got.emplace_back(n.name, n.deleted);
        EXPECT_EQ(s.recovered.tree.label(n.treeItem), n.name);
    }
    const std::vector<std::pair<std::string, int>> expected = {
        {"DIR1", 0}, {"Summer 2013", 0}, {"_INTER", 1}, {"DIR4", 0}, {"DIR5", 0},
        {"LASTSEC", 0}, {"NEXTCL", 0}, {"DIR8", 0}, {"DIR9", 0}};
    EXPECT_EQ(got, expected);
    EXPECT_EQ(s.recovered.folders[parent].expanded, 1);

    // The handler runs once per folder; the listing's variant runs every time.
    s.recovered.folders[1].name = "renamed";
    nameChildFolders(s, parent);
    EXPECT_EQ(s.recovered.folders[1].name, "renamed");
    nameChildFoldersNow(s, parent);
    EXPECT_EQ(s.recovered.folders[1].name, "Summer 2013");
}

// ---- Lost-directory scan --------------------------------------------------------------------

struct ScanRow {
    std::string name;
    std::uint64_t sector;
    std::uint32_t self, parent;
    bool operator==(const ScanRow&) const = default;
};
std::ostream& operator<<(std::ostream& os, const ScanRow& r) {
    return os << r.name << " @" << r.sector << " self " << r.self << " parent " << r.parent;
}
std::vector<ScanRow> scanRows(const Session& s) {
    std::vector<ScanRow> out;
    const WorkTable& l = s.recovered.LostDirList;
    for (std::size_t r = 1; r < l.rowCount(); ++r)
        out.push_back({l.cell(r, kLdName), l.u64At(r, kLdSector), static_cast<std::uint32_t>(l.u64At(r, kLdSelf)),
                       static_cast<std::uint32_t>(l.u64At(r, kLdParent))});
    return out;
}

TEST(FatScan, RecordsDirectoryClustersAtTheirOwnClusterNumbers) {
    // Cluster sizes that put 512, 128 and 4 cluster starts in a 512-sector block; the end of the
    // target is not block-aligned.
    for (const std::uint32_t spc : {1u, 4u, 128u}) {
        SCOPED_TRACE(spc);
        FatImage img(true);
        auto& p = img.params();
        p.SPC = spc;
        p.Cluster0Start = 300 - 2 * std::uint64_t{spc};
        img.session().target.target.endSector = FatImage::kSectors - 3;
        const std::uint32_t perBlock = 512 / spc;
        const std::uint32_t last = static_cast<std::uint32_t>((FatImage::kSectors - 3 - 1 - p.Cluster0Start) / spc);
        const std::uint32_t dirs[] = {2, 2 + perBlock - 1, 2 + perBlock, last};
        for (const std::uint32_t c : dirs) img.write(img.clusterSector(c), dotEntries(c, 0x10000 + c));
        img.write(img.clusterSector(3), dotEntries(99, 0));  // a stale copy of cluster 99
        img.write(FatImage::kSectors - 3, dotEntries(last + 1, 0));  // past the target's end
        UnchangedGuard guard(img.path());

        Session& s = img.session();
        test::ScriptedSink sink;
        ScanLostDirectories(s, sink, std::stop_token{});
        std::vector<ScanRow> expected;
        for (const std::uint32_t c : dirs)
            expected.push_back({"DIR" + decimal(expected.size() + 1), img.clusterSector(c), c, 0x10000 + c});
        EXPECT_EQ(scanRows(s), expected);
        EXPECT_EQ(s.recovered.LostDirList.cell(0, kLdName), kMiscName);
        EXPECT_EQ(sink.statuses, std::vector<std::string>{"sectors scanned of total 2045"});
        ASSERT_FALSE(sink.progressCalls.empty());
        EXPECT_EQ(sink.progressCalls.back(), (std::pair<std::uint64_t, std::uint64_t>{2045 - 300, 2045 - 300}));
    }
}

TEST(FatScan, RowCarriesTheDotEntryFields) {
    FatImage img(false);
    Entries dots = dotEntries(7, 0);
    putLe16(dots[0], 22, kTime1403);
    putLe16(dots[0], 24, kDate2013);
    putLe32(dots[0], 28, 321);
    img.write(img.clusterSector(7), dots);
    UnchangedGuard guard(img.path());
    test::ScriptedSink sink;
    ScanLostDirectories(img.session(), sink, std::stop_token{});
    const WorkTable& l = img.session().recovered.LostDirList;
    ASSERT_EQ(l.rowCount(), 2u);
    EXPECT_EQ(l.row(1), (WorkTable::Row{"DIR1", decimal(img.clusterSector(7)), "7", "0", decimal(std::uint32_t{kDate2013}),
                                        decimal(std::uint32_t{kTime1403}), "321", "16", "0", "FOLDER", "", ""}));
}

TEST(FatScan, AddsOnlyTheCatchAllWithoutADataArea) {
    struct Case {
        const char* name;
        std::uint32_t spc;
        std::uint64_t cluster0;
        bool device;
    };
    const Case cases[] = {
        {"no cluster size", 0, 13, true},
        {"cluster 0 past the end", 4, FatImage::kSectors, true},
        {"cluster 2 past the end", 4, FatImage::kSectors - 8, true},
        {"device missing", 4, 13, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FatImage img(false);
        for (std::uint32_t cl = 2; cl < 400; ++cl) img.write(13 + cl * 4, dotEntries(cl, 0));
        UnchangedGuard guard(img.path());
        Session& s = img.session();
        img.params().SPC = c.spc;
        img.params().Cluster0Start = c.cluster0;
        if (!c.device) s.target.devicePath = device::DevicePathTable[7];
        test::ScriptedSink sink;
        ScanLostDirectories(s, sink, std::stop_token{});
        EXPECT_EQ(s.recovered.LostDirList.rowCount(), 1u);
    }
}

TEST(FatScan, StopKeepsTheRowsOfTheBlocksAlreadyRead) {
    FatImage img(false);
    img.params().SPC = 1;
    img.params().Cluster0Start = 19;  // cluster 2 at sector 21; the second block starts at cluster 514
    for (const std::uint32_t c : {2u, 100u, 600u, 1000u}) img.write(img.clusterSector(c), dotEntries(c, 0));
    UnchangedGuard guard(img.path());
    std::stop_source source;
    test::ScriptedSink sink;
    sink.onProgress = [&](std::uint64_t, std::uint64_t) { source.request_stop(); };
    Session& s = img.session();
    ScanLostDirectories(s, sink, source.get_token());
    const std::vector<ScanRow> expected = {{"DIR1", 21, 2, 0}, {"DIR2", 119, 100, 0}};
    EXPECT_EQ(scanRows(s), expected);
}

// A data area full of clusters that look like directories, with random "." clusters, random
// entries and a FAT of random links: every operation must end, and only self-consistent
// clusters become rows.
TEST(FatScan, GarbageVolumeNeitherCrashesNorHangs) {
    FatImage img(false);
    std::mt19937 rng(20131105);
    const auto pick = [&rng](std::uint32_t from, std::uint32_t count) { return from + static_cast<std::uint32_t>(rng() % count); };
    std::vector<std::byte> data((FatImage::kSectors - 21) * 512);
    for (auto& b : data) b = std::byte(rng() & 0xFF);
    test::writeAt(img.path(), 21 * 512, data);
    std::vector<std::byte> fat(8 * 512);
    for (std::size_t i = 0; i + 1 < fat.size(); i += 2) putLe16(fat, i, static_cast<std::uint16_t>(2 + rng() % 520));
    test::writeAt(img.path(), 512, fat);
    std::size_t selfConsistent = 0;
    for (std::uint32_t c = 2; c < 508; ++c) {
        const bool own = rng() % 2 == 0;
        Entries e = dotEntries(own ? c : pick(c + 1, 100), rng() % 4 == 0 ? 0 : pick(2, 600));
        // A few entries per cluster with usable names, so naming has work to do.
        for (int k = 0; k < 4; ++k) e.push_back(Short{"GARBAGE DIR", kAttrDirectory, pick(2, 520)}.bytes());
        if (rng() % 3 == 0) e = e + longName(u"some long garbage name") + one({"LONGGA~1   ", kAttrDirectory, pick(2, 520)});
        img.write(img.clusterSector(c), e);
        selfConsistent += own;
    }
    img.write(17, one({"ROOTFILETXT", kArchive, 3}) + one({"ROOTDIR    ", kAttrDirectory, 4}));
    UnchangedGuard guard(img.path());

    Session& s = img.session();
    test::ScriptedSink sink;
    ScanLostDirectories(s, sink, std::stop_token{});
    EXPECT_EQ(s.recovered.LostDirList.rowCount(), 1 + selfConsistent);
    s.recovered.LostDirList.sortByInt32(kLdParent);
    EXPECT_TRUE(NameRootLevelRows(s));
    EXPECT_TRUE(s.resultsFound);
    const WorkTable& l = s.recovered.LostDirList;
    for (std::size_t r = 0; r < l.rowCount(); ++r) addNode(s, l.cell(r, kLdName), static_cast<std::uint32_t>(l.u64At(r, kLdSelf)),
                                                       static_cast<std::uint32_t>(l.u64At(r, kLdParent)));
    for (NodeId n = 0; n < s.recovered.folders.size(); ++n) {
        nameChildFolders(s, n);
        ListFolderFiles(s, s.recovered.folders[n].selfCluster, -1);
    }
    for (std::uint32_t c = 2; c < 600; ++c) EXPECT_LE(BuildClusterChain(s, c).size(), 508u);
}

// ---- Real volumes ---------------------------------------------------------------------------


TEST(FatVolume, RebuildsTheTreeOfRealFat16AndFat32Volumes) {
    struct Case {
        const char* fs;
        const char* mkfs;
        std::uint64_t megabytes;
    };
    const Case cases[] = {
        {"FAT16", "mkfs.fat -F 16 -s 2 -n CARD", 32},
        {"FAT32", "mkfs.fat -F 32 -s 1 -n CARD", 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fs);
        TempDir dir;
        const auto image = dir / "vol.img";
        const auto file = dir / "photo.jpg";
        test::createImage(image, c.megabytes << 20);
        test::createImage(file, 3000);
        const std::string i = " -i '" + image.string() + "' ";
        const std::string m = "MTOOLS_SKIP_CHECK=1 ";
        ASSERT_TRUE(test::run(std::string(c.mkfs) + " '" + image.string() + "'"));
        ASSERT_TRUE(test::run(m + "mmd" + i + "::/DCIM ::/DCIM/100CANON ::/DCIM/101NIKON ::/MISC ::/MISC/OLD "
                                          "'::/Long folder name'"));
        // Enough files that the root and 100CANON take several clusters.
        std::string copies;
        for (int n = 1; n <= 24; ++n) {
            copies += m + "mcopy" + i + "'" + file.string() + "' ::/DCIM/100CANON/IMG_" + std::to_string(1000 + n) + ".JPG && ";
            copies += m + "mcopy" + i + "'" + file.string() + "' '::/Root photo number " + std::to_string(n) + ".jpg' && ";
        }
        ASSERT_TRUE(test::run(copies + "true"));
        ASSERT_TRUE(test::run(m + "mcopy" + i + "'" + file.string() + "' '::/MISC/OLD/Old picture.jpg'"));
        ASSERT_TRUE(test::run(m + "mdel" + i + "::/DCIM/100CANON/IMG_1002.JPG"));
        ASSERT_TRUE(test::run(m + "mdeltree" + i + "::/MISC"));

        device::DeviceMap devices;
        ASSERT_TRUE(devices.attachDisk(image.string()));
        Session s(devices);
        s.target.devicePath = device::DevicePathTable[0];
        s.target.target.fileSystem = c.fs;
        s.target.target.endSector = (c.megabytes << 20) / 512;
        UnchangedGuard guard(image);
        ASSERT_TRUE(device::computeVolumeParams(devices, s.target, ""));
        device::activateParams(s.target);

        test::ScriptedSink sink;
        ScanLostDirectories(s, sink, std::stop_token{});
        ResolveOrphans(s.recovered.LostDirList, kFatRootParent);
        ASSERT_TRUE(NameRootLevelRows(s));
        EXPECT_TRUE(s.resultsFound);

        std::map<std::string, std::string> rootRows;  // name -> Deleted cell
        const WorkTable& l = s.recovered.LostDirList;
        for (std::size_t r = 0; r < l.rowCount() && l.int32At(r, kLdParent) == 0; ++r)
            rootRows[l.cell(r, kLdName)] = l.cell(r, kLdDeleted);
        EXPECT_EQ(rootRows, (std::map<std::string, std::string>{
                                {"LST_Miscellaneous", ""}, {"DCIM", ""}, {"_ISC", "1"}, {"Long folder name", ""}}));
        // The FAT32 root has no "." entry and is never a row.
        if (s.params().partType == "FAT32") {
            for (std::size_t r = 0; r < l.rowCount(); ++r) EXPECT_NE(l.u64At(r, kLdSelf), s.params().RootStartSec);
        }

        s.recovered.tree.setExpandingHandler(
            [&s](ItemTree&, ItemId item) { nameChildFolders(s, s.recovered.nodeOf(item)); });
        s.recovered.tree.clear();
        s.recovered.ensureRoot();
        AssembleTreeFat(s.recovered);
        EXPECT_EQ(treePaths(s.recovered), (std::map<std::string, std::string>{
                                              {"Root", ""},
                                              {"Root/DCIM", ""},
                                              {"Root/DCIM/100CANON", ""},
                                              {"Root/DCIM/101NIKON", ""},
                                              {"Root/LST_Miscellaneous", ""},
                                              {"Root/Long folder name", ""},
                                              {"Root/_ISC", "*"},
                                              {"Root/_ISC/_LD", "*"},
                                          }));

        // Files of 100CANON: 23 live, one deleted; and of the deleted folder OLD.
        const auto folderOf = [&s](std::string_view label) -> const FolderNode& {
            return s.recovered.folders.at(s.recovered.nodeOf(s.recovered.tree.findLabel(label)));
        };
        ListFolderFiles(s, folderOf("100CANON").selfCluster, -1);
        std::vector<std::string> names;
        for (std::size_t r = 0; r < s.itemList.rowCount(); ++r) names.push_back(s.itemList.cell(r, kItName));
        ASSERT_EQ(names.size(), 24u);
        EXPECT_EQ(names[0], "IMG_1001.JPG");
        EXPECT_EQ(names[1], "_MG_1002.JPG");
        EXPECT_EQ(s.itemList.cell(1, kItSize), "3000");

        s.itemList.clear();
        ListFolderFiles(s, folderOf("_LD").selfCluster, -1);
        ASSERT_EQ(s.itemList.rowCount(), 1u);
        EXPECT_EQ(s.itemList.cell(0, kItName), "Old picture.jpg");
        EXPECT_EQ(s.itemList.cell(0, kItType), "Image File");

        s.itemList.clear();
        ListFolderFiles(s, 0, -1);
        EXPECT_EQ(s.itemList.rowCount(), 24u);
        EXPECT_EQ(s.itemList.cell(23, kItName), "Root photo number 24.jpg");
    }
}

} // namespace
} // namespace snapmend::fsrecovery::fat
