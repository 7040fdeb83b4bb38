#include "saving/detail/copy_extents.h"

#include <algorithm>
#include <vector>

#include "saving/detail/output.h"

namespace snapmend::saving::detail {

namespace {

using device::kSectorSize;

// Large enough that system calls cost nothing next to the copy, small enough that Stop and Skip
// answer at once.
constexpr std::size_t kSpanBytes = std::size_t{1} << 20;

// Fills span from byteOffset; what cannot be read, chunk by chunk, is zeros.
void readSpan(const device::DeviceHandle& device, std::uint64_t byteOffset, std::span<std::byte> span,
              std::size_t chunkBytes) {
    const std::size_t got = device.readAt(byteOffset, span);
    if (got == span.size()) return;
    for (std::size_t pos = got - got % chunkBytes; pos < span.size(); pos += chunkBytes) {
        const std::size_t n = std::min(chunkBytes, span.size() - pos);
        device.readAt(byteOffset + pos, span.subspan(pos, n));  // zero-fills what it cannot read
    }
}

} // namespace

void appendExtent(std::vector<Extent>& extents, const Extent& next) {
    if (!extents.empty()) {
        Extent& last = extents.back();
        const bool followsOn = last.addressable && next.addressable && last.sparse == next.sparse &&
                               (last.sparse || last.firstSector + last.sectors == next.firstSector);
        if (followsOn) {
            last.sectors += next.sectors;
            return;
        }
    }
    extents.push_back(next);
}

CopyResult copyExtents(const device::DeviceHandle& device, SaveContext& ctx, OutputFile& file, ExtractOutcome& outcome,
                       std::span<const Extent> extents, std::uint64_t size, std::size_t chunkBytes, bool counted) {
    CopyResult result;
    result.finished = size == 0;
    std::vector<std::byte> buffer(std::min<std::uint64_t>(kSpanBytes, std::max<std::uint64_t>(size, chunkBytes)));
    const std::uint64_t deviceSectors = device.sectorCount();

    for (const Extent& extent : extents) {
        for (std::uint64_t done = 0; done < extent.sectors && !result.finished;) {
            if (ctx.skipCurrent || ctx.stopAll) {
                result.stopped = true;
                return result;
            }
            const std::uint64_t sector = extent.firstSector + done;
            if (!extent.sparse && extent.addressable && sector >= deviceSectors) return result;  // past the end

            const std::uint64_t remaining = size - result.written;
            std::uint64_t spanSectors = std::min<std::uint64_t>(
                {extent.sectors - done, buffer.size() / kSectorSize, (remaining + kSectorSize - 1) / kSectorSize});
            if (!extent.sparse && extent.addressable) spanSectors = std::min(spanSectors, deviceSectors - sector);
            const std::span<std::byte> span(buffer.data(), spanSectors * kSectorSize);
            if (extent.sparse || !extent.addressable)
                std::fill(span.begin(), span.end(), std::byte{0});
            else
                readSpan(device, sector * kSectorSize, span, chunkBytes);

            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, span.size()));
            const std::uint64_t before = outcome.bytes;
            const bool ok = writeOutput(ctx, file, span.first(take), outcome);
            result.written += outcome.bytes - before;
            if (!ok) {
                result.stopped = true;
                return result;
            }
            result.finished = result.written == size;
            done += spanSectors;
            if (!ctx.previewMode && ctx.progress) {
                ctx.progress->currentFileBar(result.written, size);
                if (counted || result.finished) ctx.progress->bytesText(bytesText(result.written, size));
            }
        }
        if (result.finished) break;
    }
    return result;
}

} // namespace snapmend::saving::detail
