#include "fsrecovery/folder_listing.h"

#include <cstdio>

#include "common/text.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/fat/fat_walker.h"
#include "fsrecovery/ntfs/ntfs_reader.h"

namespace snapmend::fsrecovery {

std::string countsText(std::uint64_t folders, std::uint64_t files) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%llu Folders, %llu Files", static_cast<unsigned long long>(folders),
                  static_cast<unsigned long long>(files));
    return buf;
}

namespace {

// The tree holds nothing but "Root", or "Root" and the catch-all folder.
bool treeLooksEmpty(const RecoveredTree& rt) {
    const auto& tree = rt.tree;
    if (tree.size() <= 1) return true;
    if (tree.size() != 2) return false;
    const ItemId root = tree.firstItem();
    return root != kNoItem && tree.children(root).size() == 1 && tree.label(tree.children(root).front()) == kMiscName;
}

// The index (from 0) of the Deep FAT volume activeParams describe.
int volumeIndexOf(const Session& session) {
    const WorkTable& volumes = session.DeepVolumeList;
    for (std::size_t r = 0; r < volumes.rowCount(); ++r)
        if (volumes.u64At(r, kBsCluster0Start) == session.params().Cluster0Start) return static_cast<int>(r);
    return -1;
}

} // namespace

ListingOutcome FolderListingWorker(Session& session, ItemId item, EngineSink& sink) {
    auto& rt = session.recovered;
    auto& tree = rt.tree;
    session.listingCancel = false;
    session.folderCount = 0;
    session.fileCount = 0;
    sink.status(countsText(0, 0));
    session.itemList.clear();

    const ItemId root = tree.firstItem();
    const bool isRoot = item == root;
    if (session.lastListedItem != kNoItem && tree.valid(session.lastListedItem))
        tree.item(session.lastListedItem).image = kFolderImage;
    if (!isRoot && tree.valid(item)) {
        tree.item(item).image = kOpenFolderImage;
        session.lastListedItem = item;
    }

    const bool ntfs = session.isNtfs();
    // Deep Search on FAT: every folder is read on its own volume, "Root" on every volume.
    const bool deepFat = !ntfs && session.isDeepFat();
    std::uint32_t listed = ntfs ? kNtfsRootParent : kFatRootParent;
    int parentDeleted = 0;
    NodeId selected = kNoNode;
    if (!isRoot) {
        selected = rt.nodeOf(item);
        if (selected == kNoNode) return {};
        listed = rt.folders[selected].selfCluster;
        if (deepFat) SwitchToFolderVolume(session, rt.folders[selected].cluster0Start);
        if (!ntfs && listed != kMiscCluster && tree.hasChildren(item)) fat::nameChildFoldersNow(session, selected);
        parentDeleted = rt.folders[selected].deleted;
    }

    // Subfolders first.
    for (std::size_t i = isRoot ? 0 : selected; i < rt.folders.size() && !session.listingCancel; ++i) {
        auto& node = rt.folders[i];
        if (node.parentCluster != listed || tree.parent(node.treeItem) != item) continue;
        ++session.folderCount;
        sink.status(countsText(session.folderCount, session.fileCount));
        // Deletion passes down to the subfolders of a deleted folder as they are listed.
        if (node.deleted || parentDeleted) node.deleted = 1;
        WorkTable::Row row(session.itemList.columnCount());
        row[kItName] = node.name;
        row[kItType] = "FOLDER";
        row[kItSize] = "0";
        if (node.name == kMiscName) {
            row[kItDate] = currentDateText();
            row[kItTime] = ntfs ? ntfs::NtfsTimeText(node.date) : FatTimeText(static_cast<std::uint16_t>(node.time));
        } else if (ntfs) {
            row[kItDate] = ntfs::NtfsDateText(node.date);
            row[kItTime] = ntfs::NtfsTimeText(node.date);
        } else {
            row[kItDate] = FatDateText(static_cast<std::uint16_t>(node.date));
            row[kItTime] = FatTimeText(static_cast<std::uint16_t>(node.time));
        }
        row[kItHidden1] = decimal(node.selfCluster);
        row[kItHidden2] = decimal(node.parentCluster);
        row[kItHidden3] = decimal(static_cast<std::uint64_t>(node.treeItem));
        row[kItDeleted] = node.deleted ? "1" : "";
        session.itemList.append(std::move(row));
    }

    // Then the files.
    if (!session.listingCancel) {
        if (ntfs) {
            ntfs::ListNtfsFolderFiles(session, listed);
        } else if (deepFat && isRoot) {
            // One pass per volume; each file row carries its volume's index.
            const std::size_t volumes = session.DeepVolumeList.rowCount();
            for (std::size_t v = 0; v < volumes && !session.listingCancel; ++v) {
                LoadDeepVolume(session, v + 1);
                fat::ListFolderFiles(session, kFatRootParent, static_cast<int>(v));
            }
            LoadDeepVolume(session, 1);
        } else if (listed != kMiscCluster) {
            fat::ListFolderFiles(session, listed, session.isDeepFat() ? volumeIndexOf(session) : -1);
        }
    }
    sink.status(countsText(session.folderCount, session.fileCount));

    ListingOutcome outcome;
    if (isRoot && treeLooksEmpty(rt) && !session.resultsFound && !session.loadedFromLog) {
        outcome.nothingFound = true;
        sink.message(MessageKind::Information, session.isDeepSearch() ? kDeepNothingFound : kBasicNothingFound);
    }
    return outcome;
}

} // namespace snapmend::fsrecovery
