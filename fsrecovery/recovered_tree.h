// The recovered folder tree of Basic and Deep Search: one FolderNode per folder, the hidden tables
// through which the scanners hand found directories to the tree (LostDirList) and through which
// duplicate folders are suppressed (TreeItemIndex), and the assembly of a whole tree from them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/item_tree.h"
#include "common/work_table.h"

namespace snapmend::fsrecovery {

// selfCluster of the catch-all folder and parent given to orphans.
inline constexpr std::uint32_t kMiscCluster = 268435455;  // 0x0FFFFFFF
inline constexpr std::string_view kMiscName = "LST_Miscellaneous";
inline constexpr std::string_view kRootName = "Root";
// Parent numbers of root-level folders.
inline constexpr std::uint32_t kFatRootParent = 0;
inline constexpr std::uint32_t kNtfsRootParent = 5;

// Tree images.
inline constexpr int kRootImage = 0;
inline constexpr int kFolderImage = 1;
inline constexpr int kOpenFolderImage = 2;
inline constexpr int kUncheckedState = 1;

// Index of a FolderNode in creation order; the tree item's data holds it.
using NodeId = std::uint32_t;
inline constexpr NodeId kNoNode = 0xFFFFFFFFu;

struct FolderNode {
    std::string name;
    ItemId treeItem = kNoItem;
    std::uint32_t selfCluster = 0;    // FAT: first cluster of the folder's directory; NTFS: record number
    std::uint32_t parentCluster = 0;  // 0 (FAT) or 5 (NTFS) for the root, kMiscCluster for orphans
    std::uint64_t date = 0;           // FAT date word, or NTFS creation FILETIME
    std::uint64_t time = 0;           // FAT time word; 0 on NTFS
    int expanded = 0;
    int deleted = 0;
    std::uint64_t cluster0Start = 0;  // Deep Search: the folder's volume
};

// LostDirList columns, in their stored order.
enum LostDirColumn : std::size_t {
    kLdName, kLdSector, kLdSelf, kLdParent, kLdDate, kLdTime, kLdSize, kLdAttr, kLdSysId, kLdType, kLdDeleted,
    kLdCluster0Start
};
std::vector<std::string> lostDirColumns();

// FAT date and time words as the item lists show them: 05-MAR-2013, 14:03:58.
std::string FatDateText(std::uint16_t word);
std::string FatTimeText(std::uint16_t word);
// The current local time as a FAT time word (hour x 2048 + minute x 32 + second / 2).
std::uint16_t currentFatTimeWord();
// Today as "%d-%b-%Y" upper-cased, shown for the catch-all folder.
std::string currentDateText();

// Progress of the assembly steps, as a percentage.
using AssemblyProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

class RecoveredTree {
public:
    RecoveredTree();

    ItemTree tree;
    std::vector<FolderNode> folders;  // creation order; the count is folders.size()
    WorkTable LostDirList;
    WorkTable TreeItemIndex;
    bool loadingLog = false;   // a recovery log is being loaded: TreeItemIndex is not kept
    bool carvingMode = false;  // a carving mode is current: TreeItemIndex is not consulted
    bool deepSearch = false;   // rows carry their volume's Cluster0Start
    bool ntfsDates = false;    // "date" cells hold 64-bit FILETIMEs, not 16-bit FAT words

    // Empties the tree, the folder list and both tables.
    void clear();

    // The only way folders enter the tree. Returns the new item, or the existing item of a folder
    // already added with the same selfCluster.
    ItemId AddFolder(ItemId parentItem, std::string name, std::uint32_t selfCluster, std::uint32_t parentCluster,
                     std::uint64_t date, std::uint64_t time, bool deleted, std::uint64_t cluster0Start);

    // The node shown by a tree item, or kNoNode.
    NodeId nodeOf(ItemId item) const;
    // The first node with this selfCluster, or kNoNode.
    NodeId findNode(std::uint32_t selfCluster) const;

    // Writes row 0 of the LostDirList: the catch-all folder.
    void writeCatchAllRow();
    // Makes "Root" the first item when it is not.
    ItemId ensureRoot();

private:
    // Mirrors TreeItemIndex for constant-time lookups.
    std::unordered_map<std::uint32_t, ItemId> m_itemBySelf;
};

// Gives every row whose parent is not a found directory the parent kMiscCluster; leaves the list
// sorted by "parent".
void ResolveOrphans(WorkTable& list, std::uint32_t rootParent, const AssemblyProgress& progress = {});

// Builds the tree from a resolved list whose root-level rows are named; leaves the list empty.
void AssembleTreeFat(RecoveredTree& rt, const AssemblyProgress& progress = {});
void AssembleTreeNtfs(RecoveredTree& rt, const AssemblyProgress& progress = {});
void AttachChildFolders(RecoveredTree& rt, std::uint32_t folderSelf, ItemId folderItem);
void AttachLeftovers(RecoveredTree& rt);
// NTFS rows whose parent record came later in the MFT than themselves: once the walk is over, those
// whose parent is now a folder of the tree are attached under it (and their own waiting children
// after them). Left in the list, the assembly would only look for parents among the other rows and
// send them to "LST_Miscellaneous". What stays is a row whose parent was never found.
void AttachLateChildren(RecoveredTree& rt);

// "DIR_%d" for a row with an empty name; the counter lives for the whole process.
std::string nextUnnamedFolderName();

} // namespace snapmend::fsrecovery
