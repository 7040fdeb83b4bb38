// Writes one recovered file of a FAT16 or FAT32 volume to an output path, following its cluster
// chain when the FAT still holds one of the right length, else reading contiguous clusters.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "saving/save_context.h"

namespace snapmend::saving {

// counted marks a file of a save walk: only then are collisions checked and the file counted.
// The device is opened once for the file. A file of size 0 is written as an empty file. A chunk
// whose read fails is written as zeros, so the rest of the file keeps its offsets. Nothing is
// written when the device cannot be opened or the volume has no cluster size.
ExtractOutcome ExtractFatFile(const SourceVolume& source, SaveContext& ctx, std::string outputPath,
                              std::string displayName, std::uint64_t size, std::uint32_t firstCluster,
                              bool counted);

} // namespace snapmend::saving
