// Copies stretches of device sectors into an output file for both extraction engines: large reads
// for speed, with the result of reading chunk by chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "device/device_map.h"
#include "saving/save_context.h"

namespace snapmend::saving::detail {

// Consecutive sectors of the device in file order.
struct Extent {
    std::uint64_t firstSector = 0;
    std::uint64_t sectors = 0;
    bool addressable = true;  // false: its sector number does not fit; reads as unreadable
    bool sparse = false;      // never written on the medium: zeros without reading
};

// Appends sectors to extents, merging with the last extent when they follow on.
void appendExtent(std::vector<Extent>& extents, const Extent& next);

struct CopyResult {
    std::uint64_t written = 0;
    bool finished = false;  // size bytes were written
    bool stopped = false;   // Skip, Stop or a write failure ended the copy
};

// Writes the extents to file until size bytes are written. Reads up to a megabyte at a time; a
// read that comes back short is redone chunk by chunk (chunkBytes: what the engines read at once),
// and a chunk that still cannot be read is written as zeros, so later data keeps its offset and no
// earlier buffer content is ever written. Data past the device's end is absent: the copy ends
// there. skipCurrent and stopAll are checked before every read.
CopyResult copyExtents(const device::DeviceHandle& device, SaveContext& ctx, OutputFile& file, ExtractOutcome& outcome,
                       std::span<const Extent> extents, std::uint64_t size, std::size_t chunkBytes, bool counted);

} // namespace snapmend::saving::detail
