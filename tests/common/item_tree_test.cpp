#include <gtest/gtest.h>

#include "common/item_tree.h"

namespace snapmend {
namespace {

TEST(ItemTree, HandlesStayValidAsTheTreeGrowsAndShrinks) {
    ItemTree tree;
    const ItemId root = tree.insert(kNoItem, "Root");
    const ItemId a = tree.insert(root, "a");
    for (int i = 0; i < 1000; ++i) tree.insert(root, "x" + std::to_string(i));
    EXPECT_EQ(tree.label(a), "a");
    EXPECT_EQ(tree.parent(a), root);
    const ItemId b = tree.insert(a, "b");
    tree.insert(b, "c");
    tree.remove(a);
    EXPECT_FALSE(tree.valid(a));
    EXPECT_FALSE(tree.valid(b));
    EXPECT_TRUE(tree.valid(root));
    EXPECT_EQ(tree.size(), 1001u);
    EXPECT_EQ(tree.findLabel("c"), kNoItem);
}

TEST(ItemTree, PreOrderWalkReportsDepths) {
    ItemTree tree;
    const ItemId root = tree.insert(kNoItem, "Root");
    const ItemId a = tree.insert(root, "a");
    tree.insert(a, "a1");
    tree.insert(root, "b");
    std::vector<std::pair<std::string, int>> seen;
    tree.forEach([&](ItemId id, int depth) { seen.emplace_back(tree.label(id), depth); });
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"Root", 0}, {"a", 1}, {"a1", 2}, {"b", 1}}));
    EXPECT_EQ(tree.depth(tree.findLabel("a1")), 2);
}

TEST(ItemTree, DeepChainsDoNotExhaustTheStack) {
    ItemTree tree;
    ItemId cur = tree.insert(kNoItem, "0");
    for (int i = 1; i < 200000; ++i) cur = tree.insert(cur, std::to_string(i));
    std::size_t visited = 0;
    tree.forEach([&](ItemId, int) { ++visited; });
    EXPECT_EQ(visited, 200000u);
}

TEST(ItemTree, ExpandingRaisesTheEventBeforeMarkingExpanded) {
    ItemTree tree;
    const ItemId root = tree.insert(kNoItem, "Root");
    bool wasExpanded = true;
    tree.setExpandingHandler([&](ItemTree& t, ItemId id) {
        wasExpanded = t.item(id).expanded;
        t.insert(id, "named on expand");
    });
    tree.expand(root);
    EXPECT_FALSE(wasExpanded);
    EXPECT_TRUE(tree.item(root).expanded);
    EXPECT_EQ(tree.children(root).size(), 1u);
}

TEST(ItemTree, SortsChildrenByLabel) {
    ItemTree tree;
    tree.insert(kNoItem, "b");
    tree.insert(kNoItem, "Root");
    tree.insert(kNoItem, "a");
    tree.sortChildren(kNoItem);
    std::vector<std::string> labels;
    for (ItemId id : tree.topLevel()) labels.push_back(tree.label(id));
    EXPECT_EQ(labels, (std::vector<std::string>{"Root", "a", "b"}));
}

} // namespace
} // namespace snapmend
