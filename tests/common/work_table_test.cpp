#include <gtest/gtest.h>

#include "common/text.h"
#include "common/work_table.h"

namespace snapmend {
namespace {

TEST(DecimalParse, Int32FollowsThePlainDecimalRules) {
    struct Case {
        const char* text;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"", 0},           {"abc", 0},           {"42", 42},          {"  17", 17},
        {"-5", -5},        {"+9", 9},            {"12abc", 12},       {"268435455", 268435455},
        {"2147483647", 2147483647}, {"4294967295", 2147483647}, {"99999999999999999999", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(parseInt32(c.text), c.expected);
    }
}

TEST(DecimalParse, U64CoversSectorNumbersAndSaturates) {
    EXPECT_EQ(parseU64("18446744073709551615"), 18446744073709551615ull);
    EXPECT_EQ(parseU64("18446744073709551616"), 18446744073709551615ull);
    EXPECT_EQ(parseU64("4294967296"), 4294967296ull);
    EXPECT_EQ(parseU64("-1"), 0u);
    EXPECT_EQ(parseU64(""), 0u);
}

WorkTable folderTable(std::initializer_list<std::pair<const char*, const char*>> selfParent) {
    WorkTable t({"Name", "self", "parent"});
    int i = 0;
    for (auto [self, parent] : selfParent) t.append({"row" + std::to_string(i++), self, parent});
    return t;
}

TEST(WorkTable, SortsNumericallyNotAsText) {
    auto t = folderTable({{"100", "0"}, {"9", "0"}, {"", "0"}, {"20", "0"}});
    t.sortByInt32(1);
    std::vector<std::string> order;
    for (std::size_t r = 0; r < t.rowCount(); ++r) order.push_back(t.cell(r, 1));
    EXPECT_EQ(order, (std::vector<std::string>{"", "9", "20", "100"}));
}

TEST(WorkTable, SortIsStableForEqualKeys) {
    auto t = folderTable({{"5", "1"}, {"3", "1"}, {"4", "0"}});
    t.sortByInt32(2);
    EXPECT_EQ(t.cell(0, 0), "row2");
    EXPECT_EQ(t.cell(1, 0), "row0");
    EXPECT_EQ(t.cell(2, 0), "row1");
}

TEST(WorkTable, BinarySearchFindsTheFirstOfEqualRows) {
    auto t = folderTable({{"1", "7"}, {"2", "3"}, {"3", "7"}, {"4", "9"}, {"5", "7"}});
    t.sortByInt32(2);
    const auto r = t.findInt32(2, 7);
    ASSERT_NE(r, WorkTable::npos);
    EXPECT_EQ(t.cell(r, 1), "1");
    EXPECT_EQ(t.findInt32(2, 8), WorkTable::npos);
    EXPECT_EQ(t.findInt32(2, 3, 1), WorkTable::npos);  // searching from row 1 skips row 0
    EXPECT_EQ(folderTable({}).findInt32(1, 0), WorkTable::npos);
}

TEST(WorkTable, RowsAreConsumedAndMatchedCaseInsensitively) {
    WorkTable t({"Self_Clu", "TreeItem"});
    t.append({"ABC", "1"});
    t.append({"12"});  // missing cells are empty
    EXPECT_EQ(t.cell(1, 1), "");
    EXPECT_EQ(t.findText(0, "abc"), 0u);
    t.removeRow(0);
    EXPECT_EQ(t.rowCount(), 1u);
    EXPECT_EQ(t.findText(0, "abc"), WorkTable::npos);
    EXPECT_EQ(t.column("TreeItem"), 1u);
    EXPECT_EQ(t.column("nope"), WorkTable::npos);
}

} // namespace
} // namespace snapmend
