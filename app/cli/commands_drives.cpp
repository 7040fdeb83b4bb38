// snapmend drives: builds the drive tree the mode dialogs start from (removable disks with their
// partitions, removable logical drives), runs the automatic partition search on disks without a
// recognised partition, and prints the tree and every item's property list.
#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "app/cli/command.h"
#include "app/cli/console_sink.h"
#include "app/cli/interrupt.h"
#include "common/text.h"
#include "device/device_map.h"
#include "device/drive_enum.h"
#include "device/media_description.h"
#include "device/partition_search.h"
#include "device/sysfs_disks.h"

namespace snapmend::cli {

namespace {

constexpr std::string_view kMode = "Basic Search";

using device::DriveList;
using device::PropertyRow;

struct ItemView {
    std::vector<PropertyRow> rows;
    std::string hint;
};

ItemView viewOf(const device::DeviceMap& devices, const DriveList& list, ItemId item) {
    const auto sel = device::selectDriveItem(devices, list, item, kMode);
    return {sel.properties, sel.hint};
}

void printTree(const DriveList& list) {
    list.tree.forEach([&](ItemId id, int depth) {
        const bool found = list.itemColors.count(id) != 0;
        std::printf("%*s%s%s\n", depth * 2, "", list.tree.label(id).c_str(), found ? "  [found]" : "");
    });
}

void printProperties(const device::DeviceMap& devices, const DriveList& list) {
    list.tree.forEach([&](ItemId id, int) {
        const ItemView v = viewOf(devices, list, id);
        if (v.rows.empty()) return;
        std::printf("\n%s\n", list.tree.label(id).c_str());
        for (const auto& r : v.rows) std::printf("  %-28s %s\n", trim(r.name).c_str(), r.value.c_str());
    });
}

nlohmann::ordered_json treeJson(const device::DeviceMap& devices, const DriveList& list, ItemId id) {
    nlohmann::ordered_json node;
    node["label"] = list.tree.label(id);
    node["image"] = list.tree.item(id).image;
    if (list.itemColors.count(id)) node["color"] = "green";
    const ItemView v = viewOf(devices, list, id);
    if (!v.rows.empty()) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (const auto& r : v.rows) rows.push_back({{"name", r.name}, {"value", r.value}});
        node["properties"] = rows;
    }
    nlohmann::ordered_json children = nlohmann::ordered_json::array();
    for (const ItemId c : list.tree.children(id)) children.push_back(treeJson(devices, list, c));
    node["children"] = children;
    return node;
}

} // namespace

int runDrives(Args& args) {
    const bool json = args.flag("--json");
    const bool noSearch = args.flag("--no-search");
    const auto diskPaths = args.options("--disk");
    const auto volumePaths = args.options("--volume");
    const auto mediaFile = args.option("--media");
    const auto sysfsRoot = args.option("--sysfs").value_or("/sys");
    const auto devRoot = args.option("--dev").value_or("/dev");
    const auto extra = args.positionals();
    args.finish();
    if (!extra.empty()) throw UsageError("takes no IMAGE; attach media with --disk, --volume or --media");

    device::MediaDescription media;
    if (mediaFile) {
        auto parsed = device::readMediaDescription(*mediaFile);
        if (!parsed) {
            std::fprintf(stderr, "snapmend drives: %s\n", parsed.error().detail.c_str());
            return kExitUsage;
        }
        media = std::move(*parsed);
    }
    // Disks and volumes named on the command line come before the description's.
    std::vector<device::DiskDescription> disks;
    for (const auto& p : diskPaths) {
        device::DiskDescription d;
        d.path = p;
        disks.push_back(std::move(d));
    }
    disks.insert(disks.end(), media.disks.begin(), media.disks.end());
    media.disks = std::move(disks);
    std::vector<device::VolumeDescription> volumes;
    for (const auto& p : volumePaths) {
        device::VolumeDescription v;
        v.path = p;
        volumes.push_back(std::move(v));
    }
    volumes.insert(volumes.end(), media.volumes.begin(), media.volumes.end());
    media.volumes = std::move(volumes);

    device::DeviceMap devices(sysfsRoot);
    std::vector<std::string> notes;
    const auto machine =
        device::attachMedia(devices, media, device::readSysfsDisks(sysfsRoot, devRoot), notes);
    if (!machine) {
        std::fprintf(stderr, "snapmend drives: %s\n", machine.error().detail.c_str());
        return kExitUsage;
    }

    DriveList list;
    const ItemId firstPending = device::makeDriveTree(devices, *machine, kMode, list);
    std::vector<std::string> messages;
    bool stopped = false;
    if (!noSearch && firstPending != kNoItem) {
        StopOnInterrupt interrupt;
        ConsoleSink sink(std::nullopt, interrupt.token());
        const auto results = device::autoSearchPendingDisks(devices, list, kMode, sink, interrupt.token());
        sink.finishLine();
        for (const auto& r : results) {
            messages.push_back(r.message);
            for (const auto& n : r.notes) notes.push_back(n);
        }
        stopped = interrupt.interrupted();
    }
    notes.insert(notes.end(), list.notes.begin(), list.notes.end());

    if (json) {
        const nlohmann::ordered_json out = {{"computerName", machine->computerName},
                                            {"tree", treeJson(devices, list, list.root)},
                                            {"logDriveTable", list.logDriveTable},
                                            {"diskIdentityTable", list.diskIdentityTable},
                                            {"mediaList", list.mediaList},
                                            {"messages", messages},
                                            {"notes", notes},
                                            {"stopped", stopped}};
        std::printf("%s\n", out.dump(2).c_str());
    } else {
        printTree(list);
        printProperties(devices, list);
        if (!messages.empty()) std::printf("\n");
        for (const auto& m : messages) std::printf("%s\n", m.c_str());
        for (const auto& n : notes) std::printf("note: %s\n", n.c_str());
        if (stopped) std::printf("Stopped: the partitions found so far are listed.\n");
    }
    return stopped ? kExitFailure : kExitOk;
}

} // namespace snapmend::cli
