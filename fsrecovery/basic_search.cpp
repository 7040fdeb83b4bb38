#include "fsrecovery/basic_search.h"

#include "common/text.h"
#include "device/volume_params.h"
#include "fsrecovery/fat/fat_walker.h"
#include "fsrecovery/ntfs/ntfs_reader.h"

namespace snapmend::fsrecovery {

namespace {

AssemblyProgress assemblyProgress(EngineSink& sink) {
    return [&sink](std::uint64_t done, std::uint64_t total) {
        // Assembly is quick next to the scan: report its end points only.
        if (done == total) sink.progress(done, total);
    };
}

void scanFat(Session& session, EngineSink& sink, std::stop_token stop, BasicSearchSummary& summary) {
    auto& state = session.target;
    bool haveParams = device::computeVolumeParams(session.devices, state, session.logicalDevicePath);
    summary.paramsFromBootSector = haveParams;
    if (!haveParams) {
        sink.status(device::kCalculatingParamsText);
        haveParams = device::searchFatParams(session.devices, state, sink, stop);
        if (!haveParams && !stop.stop_requested())
            sink.message(MessageKind::Information, device::kUnableToCalculateParams);
    }
    summary.paramsFound = haveParams;
    device::activateParams(state);

    auto& rt = session.recovered;
    // Expanding a folder names its child folders from its own directory.
    rt.tree.setExpandingHandler([&session](ItemTree&, ItemId item) {
        const NodeId node = session.recovered.nodeOf(item);
        if (node != kNoNode) fat::nameChildFolders(session, node);
    });
    if (haveParams) fat::ScanLostDirectories(session, sink, stop);
    summary.stopped = stop.stop_requested();

    sink.status(kSearchingLostDirectories);
    if (rt.LostDirList.rowCount() >= 2) session.resultsFound = true;
    ResolveOrphans(rt.LostDirList, kFatRootParent, assemblyProgress(sink));
    rt.tree.clear();
    rt.folders.clear();
    rt.TreeItemIndex.clear();
    rt.ensureRoot();
    sink.status(kStoringDirectoryInformation);
    if (rt.LostDirList.empty()) return;
    // An unreadable FAT16 root directory abandons the assembly: the tree stays as it is.
    if (!fat::NameRootLevelRows(session)) return;
    AssembleTreeFat(rt, assemblyProgress(sink));
}

void scanNtfs(Session& session, EngineSink& sink, std::stop_token stop, BasicSearchSummary& summary) {
    auto& state = session.target;
    summary.paramsFromBootSector = device::computeVolumeParams(session.devices, state, session.logicalDevicePath);
    summary.paramsFound = summary.paramsFromBootSector;
    device::activateParams(state);
    const auto& p = state.activeParams;
    session.mftRuns = ntfs::BuildMftRunList(session, p.Cluster0Start, p.mftStart, p.SPC);

    auto& rt = session.recovered;
    rt.tree.clear();
    rt.folders.clear();
    rt.TreeItemIndex.clear();
    rt.ensureRoot();
    ntfs::WalkMft(session, sink, stop);
    summary.stopped = stop.stop_requested();

    sink.status(kSearchingLostDirectories);
    ResolveOrphans(rt.LostDirList, kNtfsRootParent, assemblyProgress(sink));
    sink.status(kStoringDirectoryInformation);
    AssembleTreeNtfs(rt, assemblyProgress(sink));
    const ItemId root = rt.tree.firstItem();
    rt.tree.expand(root);
    rt.tree.sortChildren(root);
}

} // namespace

BasicSearchSummary BasicSearchWorker(Session& session, EngineSink& sink, std::stop_token stop) {
    BasicSearchSummary summary;
    session.resultsFound = false;
    session.listingCancel = false;
    const std::string& fs = session.target.target.fileSystem;
    if (fs == "FAT16" || fs == "FAT32")
        scanFat(session, sink, stop, summary);
    else if (fs == "NTFS")
        scanNtfs(session, sink, stop, summary);

    auto& rt = session.recovered;
    if (rt.tree.size() == 0) rt.ensureRoot();
    summary.folders = rt.folders.size();
    return summary;
}

void LeaveBasicResults(Session& session) {
    session.clearResults();
    session.recovered.tree.setExpandingHandler({});
}

} // namespace snapmend::fsrecovery
