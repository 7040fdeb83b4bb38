// snapmend deep: Deep Search from the command line, with listing and saving.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "app/cli/media.h"
#include "app/cli/recovered_output.h"
#include "common/text.h"
#include "device/partition_table.h"
#include "fsrecovery/deep_scan_fat.h"
#include "fsrecovery/deep_search.h"
#include "fsrecovery/session.h"

namespace snapmend::cli {

namespace {

std::string chosenFileSystem(const std::string& text) {
    for (const char* kind : {"FAT16", "FAT32", "NTFS"})
        if (iequals(text, kind)) return kind;
    throw UsageError("--fs takes FAT16, FAT32 or NTFS, not '" + text + "'");
}

// "START:END" in the numbering of the chosen item, END exclusive; it must lie inside [min, max].
std::pair<std::uint64_t, std::uint64_t> parseRange(const std::string& text, std::uint64_t min, std::uint64_t max) {
    const auto colon = text.find(':');
    const auto number = [&](std::string_view part) {
        if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos || part.size() > 19)
            throw UsageError("--range takes START:END in sectors, not '" + text + "'");
        return parseU64(part);
    };
    if (colon == std::string::npos) throw UsageError("--range takes START:END in sectors, not '" + text + "'");
    const std::uint64_t start = number(std::string_view(text).substr(0, colon));
    const std::uint64_t end = number(std::string_view(text).substr(colon + 1));
    if (end <= start) throw UsageError(std::string(device::kEndSectorRefused));
    if (start < min || end > max)
        throw UsageError("--range " + text + " lies outside sectors " + decimal(min) + ":" + decimal(max) +
                         " of the chosen medium");
    return {start, end};
}

// The whole image as one disk: the range Deep Search takes when no partition or volume is named.
std::optional<ChosenTarget> wholeImage(device::DeviceMap& devices, const std::string& image, ChooseFailure& failure) {
    const auto disk = devices.attachDisk(image);
    if (!disk) {
        failure = {kExitUsage, disk.error().detail};
        return std::nullopt;
    }
    ChosenTarget chosen;
    const std::uint64_t sectors = devices.disk(*disk)->sizeBytes / device::kSectorSize;
    auto& sel = chosen.selection;
    sel.kind = std::string(device::kKindHardDisk);
    sel.diskIndex = *disk;
    sel.start = 0;
    sel.end = sectors;
    sel.diskTotalSectors = sectors;
    ItemTree tree;
    const ItemId diskItem = tree.insert(kNoItem, "Disk");
    device::DiskPartitions entry;
    (void)device::walkPartitionTable(devices, *disk, tree, diskItem, 0, sectors, entry);
    for (const ItemId item : tree.children(diskItem)) sel.partitionLabels.push_back(tree.label(item));
    chosen.description = "the whole of " + image;
    return chosen;
}

nlohmann::json volumesJson(const fsrecovery::Session& session) {
    using namespace fsrecovery;
    auto list = nlohmann::json::array();
    const WorkTable& v = session.DeepVolumeList;
    for (std::size_t r = 0; r < v.rowCount(); ++r) {
        const std::uint64_t boot = v.u64At(r, kBsSector);
        nlohmann::json j{{"cluster0Start", v.u64At(r, kBsCluster0Start)},
                         {"sectorsPerCluster", v.u64At(r, kBsSpc)},
                         {"fileSystem", v.cell(r, kBsPartType)},
                         {"firstFAT", v.u64At(r, kBsFirstFat)},
                         {"secondFAT", v.u64At(r, kBsSecondFat)}};
        // Inferred volumes have no boot sector; a boot sector at sector 0 has a total.
        if (boot != 0 || v.u64At(r, kBsTotalSectors) != 0) j["bootSector"] = boot;
        else j["inferred"] = true;
        list.push_back(std::move(j));
    }
    return list;
}

} // namespace

int runDeep(Args& args) {
    TargetChoice choice;
    if (const auto p = args.option("--partition")) choice.partition = parseCount("--partition", *p);
    choice.forceVolume = args.flag("--volume");
    const auto fsText = args.option("--fs");
    const auto rangeText = args.option("--range");
    const OutputOptions options = takeOutputOptions(args);
    const ScanLog log{args.option("--log"), 2};
    const auto images = args.positionals();
    args.finish();
    if (images.size() != 1) throw UsageError("needs exactly one IMAGE (see --help)");
    if (!fsText || iequals(*fsText, "Unknown"))
        throw UsageError(std::string(fsrecovery::kSelectFileSystemType) + " (--fs FAT16|FAT32|NTFS)");
    const std::string fileSystem = chosenFileSystem(*fsText);
    choice.image = images.front();

    device::DeviceMap devices;
    ChooseFailure failure;
    auto chosen = choice.partition || choice.forceVolume ? chooseTarget(devices, choice, "Deep Search", failure)
                                                         : wholeImage(devices, choice.image, failure);
    if (!chosen) {
        std::fprintf(stderr, "snapmend deep: %s\n", failure.text.c_str());
        return failure.exitCode;
    }
    const auto& sel = chosen->selection;
    const auto [start, end] =
        rangeText ? parseRange(*rangeText, sel.start, sel.end) : std::pair{sel.start, sel.end};
    device::TargetState state;
    const auto outcome = device::setRangeTarget(state, sel, fsrecovery::kDeepSearchMode, start, end, sel.start, sel.end);
    if (!outcome) {
        std::fprintf(stderr, "snapmend deep: %s\n", outcome.error().detail.c_str());
        return kExitUsage;
    }
    state.target.fileSystem = fileSystem;

    StopOnInterrupt interrupt;
    ConsoleSink sink(std::nullopt, interrupt.token());
    fsrecovery::Session session(devices);
    session.target = state;
    session.logicalDevicePath = chosen->logicalDevicePath;
    if (!fsrecovery::StartDeepSearch(session, sink)) return kExitUsage;
    sink.status("Deep Search on " + chosen->description + " as " + fileSystem);
    sink.status(outcome->noticePrefix + outcome->rangeText);

    const auto summary = fsrecovery::DeepSearchWorker(session, sink, interrupt.token());
    sink.finishLine();
    const auto addJson = [&](nlohmann::json& doc) {
        doc["image"] = choice.image;
        doc["mode"] = fsrecovery::kDeepSearchMode;
        doc["fileSystem"] = fileSystem;
        if (fileSystem == "NTFS") {
            doc["fileRecords"] = summary.fileRecords;
        } else {
            doc["bootSectorsFound"] = summary.bootSectors;
            doc["directoryClustersFound"] = summary.dirClusters;
            doc["volumes"] = volumesJson(session);
        }
    };
    const auto beforeTree = [&](std::ostream& out) {
        if (fileSystem != "NTFS")
            out << summary.volumes << " volume" << (summary.volumes == 1 ? "" : "s") << " found ("
                << summary.bootSectors << " boot sectors, " << summary.dirClusters << " directory clusters)\n";
    };
    return presentRecovered(session, sink, interrupt.token(), options, log, summary.stopped, addJson, beforeTree);
}

} // namespace snapmend::cli
