#include "saving/extract_ntfs.h"

#include <algorithm>
#include <array>

#include "fsrecovery/ntfs/ntfs_reader.h"
#include "saving/collision_name.h"
#include "saving/detail/copy_extents.h"
#include "saving/detail/output.h"

namespace snapmend::saving {

namespace {

using device::kSectorSize;
namespace ntfs = fsrecovery::ntfs;

constexpr std::uint32_t kChunkSectors = 8;
constexpr std::size_t kMaxRunField = 4;
// Resident content is taken at the attribute's start + 24 (the header of an unnamed resident
// attribute) and must end by this byte of the record.
constexpr std::size_t kResidentContent = 24;
constexpr std::uint64_t kRecordLastByte = 1023;

std::uint64_t readField(Bytes b, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = width; i-- > 0;) v = (v << 8) | u8(b[at + i]);
    return v;
}

} // namespace

std::optional<std::vector<DataRun>> decodeDataRuns(Bytes bytes, std::size_t start, std::size_t end) {
    end = std::min(end, bytes.size());
    std::vector<DataRun> runs;
    std::int64_t previous = 0;
    std::size_t pos = start;
    // Every run uses at least one byte, so the list is bounded by end - start.
    while (pos < end) {
        const std::uint8_t header = u8(bytes[pos]);
        if (header == 0) break;
        const std::size_t lengthSize = header & 0x0F;
        const std::size_t offsetSize = header >> 4;
        if (lengthSize > kMaxRunField || offsetSize > kMaxRunField) return std::nullopt;
        if (end - pos - 1 < lengthSize + offsetSize) return std::nullopt;
        const std::uint64_t length = readField(bytes, pos + 1, lengthSize);
        std::int64_t offset = static_cast<std::int64_t>(readField(bytes, pos + 1 + lengthSize, offsetSize));
        if (!runs.empty() && offsetSize > 0 && (offset >> (8 * offsetSize - 1)) != 0)
            offset -= std::int64_t{1} << (8 * offsetSize);  // later runs: signed delta
        previous += offset;
        runs.push_back({previous < 0 ? kRunOutsideVolume : static_cast<std::uint64_t>(previous), length,
                        offsetSize == 0});
        pos += 1 + lengthSize + offsetSize;
    }
    return runs;
}

ExtractOutcome WriteNtfsRuns(const SourceVolume& source, SaveContext& ctx, const std::string& outputPath,
                             std::span<const DataRun> runs, std::uint64_t size, bool counted) {
    ExtractOutcome outcome;
    const auto& params = source.params;
    const device::DeviceHandle device = source.devices.openDevice(source.devicePath);
    if (!device) return outcome;

    OpenedOutput out = detail::createOutput(ctx, outputPath, outcome);
    if (!out.file) {
        if (!ctx.previewMode && ctx.progress) ctx.progress->bytesText(bytesText(size, size));
        return outcome;
    }
    if (!ctx.previewMode && ctx.progress) ctx.progress->currentFileBar(0, size);

    const std::uint64_t spc = params.SPC;
    const std::uint64_t deviceSectors = device.sectorCount();
    // Clusters whose first sector lies before the device's end; the rest of a run is cut.
    const std::uint64_t clustersOnDevice =
        spc == 0 || params.Cluster0Start >= deviceSectors ? 0 : (deviceSectors - params.Cluster0Start) / spc + 1;
    std::vector<detail::Extent> extents;
    for (const DataRun& run : runs) {
        if (run.sparse) {
            detail::appendExtent(extents, {0, run.count * spc, true, true});
            continue;
        }
        if (run.start >= clustersOnDevice) continue;
        const std::uint64_t count = std::min(run.count, clustersOnDevice - run.start);
        detail::appendExtent(extents, {run.start * spc + params.Cluster0Start, count * spc, true, false});
    }
    const std::size_t chunkBytes = (params.SPC > 7 ? kChunkSectors : 1) * kSectorSize;
    const auto copied = detail::copyExtents(device, ctx, *out.file, outcome, extents, size, chunkBytes, counted);
    const bool finished = copied.finished;
    outcome.complete = finished;
    detail::closeOutput(ctx, *out.file, outcome);
    if (!ctx.previewMode && ctx.progress) ctx.progress->currentFileBar(size, size);
    ctx.skipCurrent = false;
    return outcome;
}

ExtractOutcome ExtractNtfsFile(const SourceVolume& source, SaveContext& ctx, std::string outputPath,
                               std::string displayName, std::uint64_t size, std::uint64_t recordSector,
                               bool counted) {
    ExtractOutcome outcome;
    ctx.skipCurrent = false;
    if (counted) {
        if (!CheckCollision(ctx, outputPath, displayName)) return outcome;
        if (!ctx.previewMode && ctx.progress) ctx.progress->bytesText(bytesText(0, size));
    }
    detail::stepTotalFiles(ctx);

    std::array<std::byte, ntfs::kRecordSize> record{};
    if (!source.devices.readSectors(source.devicePath, recordSector, ntfs::kRecordSectors, record)) return outcome;
    ntfs::ApplyFixups(record, &ctx.stopAll);

    const ntfs::DataAttribute data = ntfs::findUnnamedData(record);
    if (!data.found) {
        // No unnamed data attribute: the file had no content to recover.
        OpenedOutput out = detail::createOutput(ctx, outputPath, outcome);
        if (out.file) {
            outcome.complete = size == 0;
            detail::closeOutput(ctx, *out.file, outcome);
        }
        return outcome;
    }

    if (data.resident) {
        const std::uint64_t content = data.offset + kResidentContent;
        if (size > kRecordLastByte || content + size > kRecordLastByte) return outcome;
        OpenedOutput out = detail::createOutput(ctx, outputPath, outcome);
        if (!out.file) return outcome;
        const auto bytes = Bytes(record).subspan(static_cast<std::size_t>(content), static_cast<std::size_t>(size));
        if (detail::writeOutput(ctx, *out.file, bytes, outcome)) outcome.complete = true;
        if (!ctx.previewMode && ctx.progress) ctx.progress->currentFileBar(outcome.bytes, size);
        detail::closeOutput(ctx, *out.file, outcome);
        return outcome;
    }

    // The reader's own decoder gives sectors and treats a run without offset as sparse; the save
    // keeps its cluster rules, so the list is decoded here.
    const auto runs = decodeDataRuns(Bytes(record), data.runListStart, data.runListEnd);
    if (!runs || runs->empty()) return outcome;
    return WriteNtfsRuns(source, ctx, outputPath, *runs, size, counted);
}

} // namespace snapmend::saving
