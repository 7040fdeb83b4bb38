#include <gtest/gtest.h>

#include <map>

#include "tests/support/tree_paths.h"
#include "common/text.h"
#include "fsrecovery/recovered_tree.h"

namespace snapmend::fsrecovery {
namespace {

struct Row {
    const char* name;
    std::uint32_t self;
    std::uint32_t parent;
    bool deleted = false;
};

// A FAT LostDirList as the scan leaves it: the catch-all row first, then the found directories.
void fillFat(RecoveredTree& rt, std::initializer_list<Row> rows) {
    rt.writeCatchAllRow();
    for (const auto& r : rows)
        rt.LostDirList.append({r.name, "0", decimal(r.self), decimal(r.parent), "0", "0", "0", "16", "0", "FOLDER",
                               r.deleted ? "1" : "", ""});
}


void assembleFat(RecoveredTree& rt) {
    ResolveOrphans(rt.LostDirList, kFatRootParent);
    AssembleTreeFat(rt);
}

TEST(RecoveredTree, EmptyVolumeStillGetsRootAndTheCatchAll) {
    RecoveredTree rt;
    fillFat(rt, {});
    assembleFat(rt);
    EXPECT_EQ(test::treePaths(rt), (std::map<std::string, std::string>{{"Root", ""}, {"Root/LST_Miscellaneous", ""}}));
    EXPECT_TRUE(rt.LostDirList.empty());
    EXPECT_EQ(rt.tree.item(rt.tree.firstItem()).image, kRootImage);
}

TEST(RecoveredTree, LinksFoldersByClusterAndSendsOrphansToTheCatchAll) {
    RecoveredTree rt;
    fillFat(rt, {
                    {"DCIM", 3, 0},
                    {"100CANON", 10, 3},
                    {"101NIKON", 11, 3},
                    {"102SONY", 12, 3, true},
                    {"LOST", 40, 999},  // its parent is no found directory
                    {"INNER", 41, 40},  // keeps LOST as its parent
                });
    assembleFat(rt);
    EXPECT_EQ(test::treePaths(rt), (std::map<std::string, std::string>{
                             {"Root", ""},
                             {"Root/DCIM", ""},
                             {"Root/DCIM/100CANON", ""},
                             {"Root/DCIM/101NIKON", ""},
                             {"Root/DCIM/102SONY", "*"},
                             {"Root/LST_Miscellaneous", ""},
                             {"Root/LST_Miscellaneous/LOST", ""},
                             {"Root/LST_Miscellaneous/LOST/INNER", ""},
                         }));
    EXPECT_EQ(rt.folders[rt.findNode(40)].parentCluster, kMiscCluster);
    EXPECT_EQ(rt.TreeItemIndex.rowCount(), rt.folders.size());
}

TEST(RecoveredTree, EmptyNamesGetProcessWideNumbersAndDuplicatesAppearOnce) {
    RecoveredTree first;
    fillFat(first, {{"P", 6, 0}, {"", 7, 6}});
    assembleFat(first);
    RecoveredTree second;
    fillFat(second, {{"Q", 6, 0}, {"", 8, 6}, {"A", 9, 0}, {"A again", 9, 0}});
    assembleFat(second);

    const auto name7 = first.folders[first.findNode(7)].name;
    const auto name8 = second.folders[second.findNode(8)].name;
    ASSERT_TRUE(startsWith(name7, "DIR_"));
    ASSERT_TRUE(startsWith(name8, "DIR_"));
    EXPECT_LT(parseInt32(name7.substr(4)), parseInt32(name8.substr(4)));  // never reset between scans
    int nines = 0;
    for (const auto& n : second.folders) nines += n.selfCluster == 9;
    EXPECT_EQ(nines, 1);
}

TEST(RecoveredTree, ExpandingHandlerRunsOnFoldersWithChildrenOrPlaceholderNames) {
    RecoveredTree rt;
    fillFat(rt, {{"DIR1", 3, 0}, {"Named", 4, 0}, {"Child", 5, 4}});
    std::vector<std::string> expanded;
    rt.tree.setExpandingHandler([&](ItemTree& t, ItemId id) { expanded.push_back(t.label(id)); });
    assembleFat(rt);
    EXPECT_NE(std::find(expanded.begin(), expanded.end(), "DIR1"), expanded.end());
    EXPECT_NE(std::find(expanded.begin(), expanded.end(), "Named"), expanded.end());
    EXPECT_EQ(std::find(expanded.begin(), expanded.end(), "Child"), expanded.end());
    EXPECT_EQ(rt.folders[rt.findNode(4)].expanded, 1);
}

TEST(RecoveredTree, NtfsFormAttachesUnderRecordFiveAndKeepsFileTimes) {
    RecoveredTree rt;
    rt.ensureRoot();
    rt.AddFolder(rt.tree.firstItem(), std::string(kMiscName), kMiscCluster, kNtfsRootParent, 0, 0, false, 0);
    const std::uint64_t filetime = 130000000000000000ull;  // does not fit 32 bits
    auto add = [&](const char* name, std::uint32_t self, std::uint32_t parent, bool deleted) {
        rt.LostDirList.append({name, "", decimal(self), decimal(parent), decimal(filetime), "0", "", "", "", "FOLDER",
                               deleted ? "1" : "", ""});
    };
    add("Photos", 70, 5, false);  // the lowest record number is a parent too
    add("2013", 80, 70, true);
    add("Orphan", 90, 12345, false);
    ResolveOrphans(rt.LostDirList, kNtfsRootParent);
    AssembleTreeNtfs(rt);
    EXPECT_EQ(test::treePaths(rt), (std::map<std::string, std::string>{
                             {"Root", ""},
                             {"Root/LST_Miscellaneous", ""},
                             {"Root/LST_Miscellaneous/Orphan", ""},
                             {"Root/Photos", ""},
                             {"Root/Photos/2013", "*"},
                         }));
    EXPECT_EQ(rt.folders[rt.findNode(80)].date, filetime);
}

TEST(FatDateTime, TextForms) {
    struct Case {
        std::uint16_t word;
        const char* date;
        const char* time;
    };
    const Case cases[] = {
        {0, "00-ERR-1980", "00:00:00"},
        {static_cast<std::uint16_t>((33 << 9) | (3 << 5) | 5), "05-MAR-2013", "00:01:10"},
        {static_cast<std::uint16_t>((45 << 9) | (13 << 5) | 31), "31-ERR-2025", "00:06:62"},
        {0xFFFF, "31-ERR-2107", "31:63:62"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.word);
        EXPECT_EQ(FatDateText(c.word), c.date);
    }
    EXPECT_EQ(FatTimeText(static_cast<std::uint16_t>((14 << 11) | (3 << 5) | 29)), "14:03:58");
}

} // namespace
} // namespace snapmend::fsrecovery
