// Lists the content of a recovered folder into the session's item list: its subfolders first,
// then its files, with the "%llu Folders, %llu Files" counts.
#pragma once

#include <string>
#include <string_view>

#include "common/engine_sink.h"
#include "fsrecovery/session.h"

namespace snapmend::fsrecovery {

inline constexpr std::string_view kBasicNothingFound =
    "Recovery is not possible in Basic Search Mode, use other search mode to recover your data.";
inline constexpr std::string_view kDeepNothingFound =
    "Recovery is not possible in Deep Search Mode, use other search mode to recover your data.";

// "%llu Folders, %llu Files"
std::string countsText(std::uint64_t folders, std::uint64_t files);

struct ListingOutcome {
    bool nothingFound = false;  // the mode's "Recovery is not possible" window is due
};

// Lists the folder shown by item (the tree's first item is "Root") into session.itemList.
// Naming of child folders, deleted marks passed down and the counters happen as a side effect.
ListingOutcome FolderListingWorker(Session& session, ItemId item, EngineSink& sink);

} // namespace snapmend::fsrecovery
