#include "common/item_tree.h"

#include <algorithm>

namespace snapmend {

ItemId ItemTree::insert(ItemId parent, std::string label, int image) {
    const auto id = static_cast<ItemId>(m_items.size());
    Item it;
    it.label = std::move(label);
    it.image = image;
    it.parent = parent;
    m_items.push_back(std::move(it));
    (parent == kNoItem ? m_top : m_items[parent].children).push_back(id);
    ++m_live;
    return id;
}

void ItemTree::remove(ItemId id) {
    if (!valid(id)) return;
    auto& siblings = m_items[id].parent == kNoItem ? m_top : m_items[m_items[id].parent].children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), id), siblings.end());
    std::vector<ItemId> pending{id};
    while (!pending.empty()) {
        const ItemId cur = pending.back();
        pending.pop_back();
        auto& item = m_items[cur];
        item.removed = true;
        --m_live;
        pending.insert(pending.end(), item.children.begin(), item.children.end());
        item.children.clear();
    }
}

void ItemTree::clear() {
    m_items.clear();
    m_top.clear();
    m_live = 0;
}

int ItemTree::depth(ItemId id) const {
    int d = 0;
    for (ItemId p = m_items[id].parent; p != kNoItem; p = m_items[p].parent) ++d;
    return d;
}

void ItemTree::expand(ItemId id) {
    if (!valid(id)) return;
    if (m_onExpanding) m_onExpanding(*this, id);
    m_items[id].expanded = true;
}

void ItemTree::sortChildren(ItemId parent) {
    auto& list = parent == kNoItem ? m_top : m_items[parent].children;
    std::stable_sort(list.begin(), list.end(),
                     [this](ItemId a, ItemId b) { return m_items[a].label < m_items[b].label; });
}

ItemId ItemTree::findLabel(std::string_view text) const {
    ItemId found = kNoItem;
    forEach([&](ItemId id, int) {
        if (found == kNoItem && m_items[id].label == text) found = id;
    });
    return found;
}

void ItemTree::forEach(const std::function<void(ItemId, int)>& fn) const {
    for (ItemId id : m_top) visit(id, 0, fn);
}

void ItemTree::visit(ItemId id, int depth, const std::function<void(ItemId, int)>& fn) const {
    // Iterative pre-order: trees built from a medium can be deep.
    std::vector<std::pair<ItemId, int>> stack{{id, depth}};
    while (!stack.empty()) {
        auto [cur, d] = stack.back();
        stack.pop_back();
        fn(cur, d);
        const auto& kids = m_items[cur].children;
        for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.emplace_back(*it, d + 1);
    }
}

} // namespace snapmend
