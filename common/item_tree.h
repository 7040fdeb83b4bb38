// A toolkit-free tree of labelled items with stable handles; the drive tree and the recovered
// folder tree are both ItemTrees. The GUI shows one through an item-model adapter, the CLI prints it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace snapmend {

// Index of a node in the tree's node vector; stays valid as the tree grows and after removal
// (removed nodes are only unlinked).
using ItemId = std::uint32_t;
inline constexpr ItemId kNoItem = 0xFFFFFFFFu;

class ItemTree {
public:
    struct Item {
        std::string label;
        int image = 0;
        int stateImage = 0;  // check-box state: 0 none, 1 unchecked, 2 checked
        std::uint64_t data = 0;
        bool expanded = false;
        bool removed = false;
        ItemId parent = kNoItem;
        std::vector<ItemId> children;
    };

    // Called before an item's children are shown (the "expanding" event).
    using ExpandingHandler = std::function<void(ItemTree&, ItemId)>;

    // Inserts an item as the last child of parent (kNoItem: top level).
    ItemId insert(ItemId parent, std::string label, int image = 0);
    // Unlinks an item and its subtree.
    void remove(ItemId id);
    void clear();

    bool valid(ItemId id) const { return id < m_items.size() && !m_items[id].removed; }
    const Item& item(ItemId id) const { return m_items[id]; }
    Item& item(ItemId id) { return m_items[id]; }

    const std::string& label(ItemId id) const { return m_items[id].label; }
    void setLabel(ItemId id, std::string label) { m_items[id].label = std::move(label); }
    ItemId parent(ItemId id) const { return m_items[id].parent; }
    const std::vector<ItemId>& children(ItemId id) const { return id == kNoItem ? m_top : m_items[id].children; }
    const std::vector<ItemId>& topLevel() const { return m_top; }
    ItemId firstItem() const { return m_top.empty() ? kNoItem : m_top.front(); }
    bool hasChildren(ItemId id) const { return !children(id).empty(); }
    // Depth below the top level (top-level items are 0).
    int depth(ItemId id) const;

    // Number of live items.
    std::size_t size() const { return m_live; }

    void setExpandingHandler(ExpandingHandler handler) { m_onExpanding = std::move(handler); }
    // Raises the expanding event (once per call) and marks the item expanded.
    void expand(ItemId id);
    void collapse(ItemId id) { m_items[id].expanded = false; }

    // Sorts the children of parent (kNoItem: the top level) by label, stably.
    void sortChildren(ItemId parent);

    // First item in pre-order whose label equals text, or kNoItem.
    ItemId findLabel(std::string_view text) const;
    // Visits every live item in pre-order with its depth.
    void forEach(const std::function<void(ItemId, int)>& visit) const;

private:
    void visit(ItemId id, int depth, const std::function<void(ItemId, int)>& fn) const;

    std::vector<Item> m_items;
    std::vector<ItemId> m_top;
    std::size_t m_live = 0;
    ExpandingHandler m_onExpanding;
};

} // namespace snapmend
