#include "fsrecovery/recovered_tree.h"

#include <atomic>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>

#include "common/text.h"

namespace snapmend::fsrecovery {

namespace {

constexpr const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                   "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

std::tm localNow() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm;
}

} // namespace

std::vector<std::string> lostDirColumns() {
    return {"Name", "sector", "self", "parent", "date", "time", "size", "attr", "sysID", "Type", "Deleted",
            "Cluster0Start"};
}

std::string FatDateText(std::uint16_t word) {
    const int day = word & 31;
    const int month = (word >> 5) & 15;
    const int year = (word >> 9) + 1980;
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02d-%s-%d", day, month >= 1 && month <= 12 ? kMonths[month - 1] : "ERR", year);
    return buf;
}

std::string FatTimeText(std::uint16_t word) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", (word >> 11) & 31, (word >> 5) & 63, (word & 31) * 2);
    return buf;
}

std::uint16_t currentFatTimeWord() {
    const std::tm tm = localNow();
    return static_cast<std::uint16_t>(tm.tm_hour * 2048 + tm.tm_min * 32 + tm.tm_sec / 2);
}

std::string currentDateText() {
    const std::tm tm = localNow();
    char buf[24];
    std::snprintf(buf, sizeof buf, "%02d-%s-%d", tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900);
    return buf;
}

std::string nextUnnamedFolderName() {
    // Lives for the whole process: names stay unique across scans.
    static std::atomic<int> counter{1};
    return "DIR_" + std::to_string(counter.fetch_add(1));
}

RecoveredTree::RecoveredTree() : LostDirList(lostDirColumns()), TreeItemIndex({"Self_Clu", "TreeItem"}) {}

void RecoveredTree::clear() {
    tree.clear();
    folders.clear();
    LostDirList.clear();
    TreeItemIndex.clear();
    m_itemBySelf.clear();
}

ItemId RecoveredTree::ensureRoot() {
    if (tree.firstItem() == kNoItem || tree.label(tree.firstItem()) != kRootName) {
        const ItemId root = tree.insert(kNoItem, std::string(kRootName), kRootImage);
        tree.item(root).stateImage = kUncheckedState;
        tree.expand(root);
        return root;
    }
    return tree.firstItem();
}

ItemId RecoveredTree::AddFolder(ItemId parentItem, std::string name, std::uint32_t selfCluster,
                                std::uint32_t parentCluster, std::uint64_t date, std::uint64_t time, bool deleted,
                                std::uint64_t cluster0Start) {
    if (parentItem == kNoItem || !tree.valid(parentItem)) parentItem = ensureRoot();

    std::size_t indexRow = WorkTable::npos;
    if (!loadingLog) {
        // A folder is inserted at most once per selfCluster.
        if (!carvingMode) {
            if (const auto it = m_itemBySelf.find(selfCluster); it != m_itemBySelf.end()) return it->second;
        }
        indexRow = TreeItemIndex.append({decimal(selfCluster), ""});
    }

    const ItemId item = tree.insert(parentItem, name, kFolderImage);
    if (indexRow != WorkTable::npos) {
        TreeItemIndex.setCell(indexRow, 1, decimal(static_cast<std::uint64_t>(item)));
        m_itemBySelf.emplace(selfCluster, item);
    }
    if (startsWith(name, kRootName) && item == tree.firstItem()) tree.item(item).image = kRootImage;
    tree.item(item).stateImage = kUncheckedState;
    tree.item(tree.firstItem()).stateImage = kUncheckedState;

    FolderNode node;
    node.name = std::move(name);
    node.treeItem = item;
    node.selfCluster = selfCluster;
    node.parentCluster = parentCluster;
    node.date = date;
    node.time = time;
    node.deleted = deleted ? 1 : 0;
    node.cluster0Start = cluster0Start;
    folders.push_back(std::move(node));
    tree.item(item).data = folders.size() - 1;
    return item;
}

NodeId RecoveredTree::nodeOf(ItemId item) const {
    if (!tree.valid(item)) return kNoNode;
    const auto data = tree.item(item).data;
    if (data >= folders.size() || folders[data].treeItem != item) return kNoNode;
    return static_cast<NodeId>(data);
}

NodeId RecoveredTree::findNode(std::uint32_t selfCluster) const {
    for (std::size_t i = 0; i < folders.size(); ++i)
        if (folders[i].selfCluster == selfCluster) return static_cast<NodeId>(i);
    return kNoNode;
}

void RecoveredTree::writeCatchAllRow() {
    LostDirList.append({std::string(kMiscName), "0", decimal(kMiscCluster), "0", "0", decimal(currentFatTimeWord()),
                        "0", "16", "0", "FOLDER", "", ""});
}

void ResolveOrphans(WorkTable& list, std::uint32_t rootParent, const AssemblyProgress& progress) {
    list.sortByInt32(kLdSelf);
    const auto rows = list.rowCount();
    // Every row is a candidate parent, the lowest-numbered one included.
    for (std::size_t r = 0; r < rows; ++r) {
        const std::int32_t parent = list.int32At(r, kLdParent);
        if (parent != static_cast<std::int32_t>(rootParent) && list.findInt32(kLdSelf, parent) == WorkTable::npos)
            list.setCell(r, kLdParent, decimal(kMiscCluster));
        if (progress) progress(r + 1, rows);
    }
    list.sortByInt32(kLdParent);
}

namespace {

bool rowDeleted(const WorkTable& list, std::size_t r) { return list.cell(r, kLdDeleted) == "1"; }

std::uint64_t rowDate(const RecoveredTree& rt, std::size_t r) {
    return rt.ntfsDates ? rt.LostDirList.u64At(r, kLdDate) : static_cast<std::uint16_t>(rt.LostDirList.int32At(r, kLdDate));
}

std::uint64_t rowCluster0Start(const RecoveredTree& rt, std::size_t r) {
    return rt.deepSearch ? rt.LostDirList.u64At(r, kLdCluster0Start) : 0;
}

// Walks the folder list in creation order, including folders appended during the walk, so the
// tree is built breadth-first.
void attachBreadthFirst(RecoveredTree& rt, bool skipRepeatedSelf, const AssemblyProgress& progress) {
    std::uint32_t lastSelf = 0;
    bool haveLast = false;
    for (std::size_t i = 0; i < rt.folders.size() && !rt.LostDirList.empty(); ++i) {
        const std::uint32_t self = rt.folders[i].selfCluster;
        const ItemId item = rt.folders[i].treeItem;
        if (skipRepeatedSelf && haveLast && self == lastSelf) continue;
        AttachChildFolders(rt, self, item);
        lastSelf = self;
        haveLast = true;
        if (progress) progress(i + 1, rt.folders.size());
    }
}

} // namespace

void AttachChildFolders(RecoveredTree& rt, std::uint32_t folderSelf, ItemId folderItem) {
    auto& list = rt.LostDirList;
    const auto key = static_cast<std::int32_t>(folderSelf);
    std::size_t r = list.findInt32(kLdParent, key);
    if (r == WorkTable::npos) return;
    while (r < list.rowCount()) {
        if (list.cell(r, kLdType) != "FOLDER") {
            ++r;
            continue;
        }
        const std::int32_t parent = list.int32At(r, kLdParent);
        if (parent > key) break;
        if (parent < key) {
            ++r;
            continue;
        }
        std::string name = list.cell(r, kLdName);
        if (name.empty()) name = nextUnnamedFolderName();
        rt.AddFolder(folderItem, std::move(name), static_cast<std::uint32_t>(list.int32At(r, kLdSelf)),
                     static_cast<std::uint32_t>(parent), rowDate(rt, r),
                     static_cast<std::uint16_t>(list.int32At(r, kLdTime)), rowDeleted(list, r), rowCluster0Start(rt, r));
        list.removeRow(r);
    }
}

void AttachLeftovers(RecoveredTree& rt) {
    auto& list = rt.LostDirList;
    if (list.empty() || rt.folders.empty()) return;
    ItemId misc = kNoItem;
    for (const auto& node : rt.folders)
        if (node.name == kMiscName) {
            misc = node.treeItem;
            break;
        }
    if (misc == kNoItem) return;
    for (std::size_t r = 0; r < list.rowCount(); ++r) {
        // Folders already in the tree (root-level rows, the catch-all itself) stay where they are.
        rt.AddFolder(misc, list.cell(r, kLdName), static_cast<std::uint32_t>(list.int32At(r, kLdSelf)), kMiscCluster, rowDate(rt, r),
                     static_cast<std::uint16_t>(list.int32At(r, kLdTime)), rowDeleted(list, r), rowCluster0Start(rt, r));
    }
}

void AttachLateChildren(RecoveredTree& rt) {
    WorkTable& list = rt.LostDirList;
    std::multimap<std::uint32_t, std::size_t> waiting;  // parent record -> row
    for (std::size_t r = 0; r < list.rowCount(); ++r)
        waiting.emplace(static_cast<std::uint32_t>(list.u64At(r, kLdParent)), r);
    std::vector<std::uint32_t> ready;
    for (auto it = waiting.begin(); it != waiting.end(); it = waiting.upper_bound(it->first))
        if (rt.findNode(it->first) != kNoNode) ready.push_back(it->first);

    std::vector<bool> attached(list.rowCount(), false);
    // Every row is attached at most once and erased from waiting, so this ends.
    while (!ready.empty()) {
        const std::uint32_t parent = ready.back();
        ready.pop_back();
        const auto [from, to] = waiting.equal_range(parent);
        if (from == to) continue;
        const NodeId node = rt.findNode(parent);
        if (node == kNoNode) continue;
        const ItemId parentItem = rt.folders[node].treeItem;
        for (auto it = from; it != to; ++it) {
            const std::size_t r = it->second;
            const auto self = static_cast<std::uint32_t>(list.u64At(r, kLdSelf));
            rt.AddFolder(parentItem, list.cell(r, kLdName), self, parent, list.u64At(r, kLdDate), 0,
                         list.cell(r, kLdDeleted) == "1", 0);
            attached[r] = true;
            ready.push_back(self);
        }
        waiting.erase(from, to);
    }
    for (std::size_t r = list.rowCount(); r-- > 0;)
        if (attached[r]) list.removeRow(r);
}

void AssembleTreeFat(RecoveredTree& rt, const AssemblyProgress& progress) {
    auto& list = rt.LostDirList;
    rt.ntfsDates = false;
    const ItemId root = rt.ensureRoot();
    for (std::size_t r = 0; r < list.rowCount() && list.int32At(r, kLdParent) == 0; ++r) {
        rt.AddFolder(root, list.cell(r, kLdName), static_cast<std::uint32_t>(list.int32At(r, kLdSelf)), 0,
                     static_cast<std::uint16_t>(list.int32At(r, kLdDate)),
                     static_cast<std::uint16_t>(list.int32At(r, kLdTime)), rowDeleted(list, r), 0);
    }
    rt.tree.expand(root);
    attachBreadthFirst(rt, false, progress);
    AttachLeftovers(rt);
    list.clear();

    // Expanding a folder names its child folders from its own directory.
    for (std::size_t i = 0; i < rt.folders.size(); ++i) {
        const ItemId item = rt.folders[i].treeItem;
        if (rt.tree.hasChildren(item) || contains(rt.tree.label(item), "DIR")) {
            rt.tree.expand(item);
            rt.folders[i].expanded = 1;
            rt.tree.collapse(item);
        }
    }
    rt.tree.sortChildren(kNoItem);
}

void AssembleTreeNtfs(RecoveredTree& rt, const AssemblyProgress& progress) {
    auto& list = rt.LostDirList;
    rt.ntfsDates = true;
    const ItemId root = rt.ensureRoot();
    const std::string rootParentText = decimal(kNtfsRootParent);
    for (std::size_t r = 0; r < list.rowCount(); ++r) {
        if (list.int32At(r, kLdSelf) == static_cast<std::int32_t>(kMiscCluster) &&
            list.int32At(r, kLdParent) == static_cast<std::int32_t>(kMiscCluster))
            list.setCell(r, kLdParent, rootParentText);
    }
    for (std::size_t r = 0; r < list.rowCount(); ++r) {
        if (list.int32At(r, kLdParent) != static_cast<std::int32_t>(kNtfsRootParent) ||
            list.cell(r, kLdType) != "FOLDER" || list.int32At(r, kLdSelf) == static_cast<std::int32_t>(kNtfsRootParent))
            continue;
        rt.AddFolder(root, list.cell(r, kLdName), static_cast<std::uint32_t>(list.int32At(r, kLdSelf)),
                     kNtfsRootParent, rowDate(rt, r), static_cast<std::uint64_t>(list.int32At(r, kLdTime)),
                     rowDeleted(list, r), rowCluster0Start(rt, r));
    }
    rt.tree.expand(root);
    attachBreadthFirst(rt, true, progress);
    AttachLeftovers(rt);
    list.clear();
}

} // namespace snapmend::fsrecovery
