// Writes one recovered file of an NTFS volume to an output path from its MFT record: resident
// content straight from the record, non-resident content cluster by cluster from its runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "saving/save_context.h"

namespace snapmend::saving {

// A run of a file's data, in clusters relative to the volume's first sector (Cluster0Start).
struct DataRun {
    std::uint64_t start = 0;
    std::uint64_t count = 0;
    bool sparse = false;  // no offset field: never written on the medium, its content is zeros
    bool operator==(const DataRun&) const = default;
};
// The start of a run whose deltas lead before the volume: no cluster of it is read.
inline constexpr std::uint64_t kRunOutsideVolume = ~std::uint64_t{0};

// Decodes the mapping pairs in bytes[start, end) the way the save reads them: the first run's
// offset is unsigned, later ones are signed deltas from the previous run's start, and a run
// without an offset field is sparse (it adds 0 to the position). Length and offset fields
// are up to 4 bytes; a wider field, or a run crossing end, fails the decoding (nullopt).
std::optional<std::vector<DataRun>> decodeDataRuns(Bytes bytes, std::size_t start, std::size_t end);

// counted as for ExtractFatFile. Reads the 1024-byte record at recordSector: unreadable gives no
// output; no unnamed data attribute gives an empty file; resident content that does not fit in
// the record, or a non-resident attribute without usable runs, gives no output.
ExtractOutcome ExtractNtfsFile(const SourceVolume& source, SaveContext& ctx, std::string outputPath,
                               std::string displayName, std::uint64_t size, std::uint64_t recordSector,
                               bool counted);

// Writes the clusters of runs, up to size bytes, through one device handle. A chunk whose read
// fails is left out (the file becomes shorter); clusters beyond the device's end are not read.
// Size 0 gives an empty file. Nothing is written when the device cannot be opened.
ExtractOutcome WriteNtfsRuns(const SourceVolume& source, SaveContext& ctx, const std::string& outputPath,
                             std::span<const DataRun> runs, std::uint64_t size, bool counted);

} // namespace snapmend::saving
