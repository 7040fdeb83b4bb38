#include "saving/extract_fat.h"

#include <algorithm>
#include <array>
#include <vector>

#include "common/bytes.h"
#include "saving/collision_name.h"
#include "saving/detail/copy_extents.h"
#include "saving/detail/output.h"

namespace snapmend::saving {

namespace {

using device::kSectorSize;

// Chunks are 8 sectors when a cluster has at least 8, else single sectors.
constexpr std::uint32_t kChunkSectors = 8;

// FAT16 entries at or above this end a chain; 0xFFF8..0xFFFE are taken as cluster numbers, so a
// chain ending in them goes one step too far and fails the length test.
constexpr std::uint32_t kFat16ChainEnd = 0xFFFF;
// FAT32 entries are used unmasked; at or above this they end a chain.
constexpr std::uint32_t kFat32ChainEnd = 0x0FFFFFFF;

// Reads FAT sectors through the file's device handle, keeping the last one: consecutive entries
// of a chain usually share a sector.
class FatReader {
public:
    FatReader(const device::DeviceHandle& device, std::uint32_t fatStart) : m_device(device), m_fatStart(fatStart) {}

    // The entry of cluster, or nullopt when its FAT sector cannot be read.
    std::optional<std::uint32_t> entry(std::uint32_t cluster, bool fat32) {
        const std::uint64_t sector = std::uint64_t{m_fatStart} + (fat32 ? cluster >> 7 : cluster >> 8);
        if (sector != m_cached) {
            m_cached = ~std::uint64_t{0};
            if (m_device.readAt(sector * kSectorSize, m_sector) != m_sector.size()) return std::nullopt;
            m_cached = sector;
        }
        const ByteReader r{Bytes(m_sector)};
        if (fat32) return r.le32Unchecked((cluster & 0x7F) * 4);
        return r.le16Unchecked((cluster & 0xFF) * 2);
    }

private:
    const device::DeviceHandle& m_device;
    std::uint32_t m_fatStart;
    std::array<std::byte, kSectorSize> m_sector{};
    std::uint64_t m_cached = ~std::uint64_t{0};
};

// The file's chain through the FAT at fatStart. It is built until an end entry or a free (0)
// entry, and never beyond needed + 1 elements: a longer chain, or a loop, only has to fail the
// caller's length test.
std::vector<std::uint32_t> buildChain(const device::DeviceHandle& device, const device::VolumeParams& params,
                                      std::uint32_t fatStart, std::uint32_t firstCluster, std::uint64_t needed,
                                      const SaveContext& ctx) {
    std::vector<std::uint32_t> chain{firstCluster};
    const bool fat32 = params.partType == "FAT32";
    if (needed < 1 || (!fat32 && fatStart == 0)) return chain;
    FatReader fat(device, fatStart);
    std::uint32_t current = firstCluster;
    while (chain.size() <= needed && !ctx.stopAll && !ctx.skipCurrent) {
        const auto next = fat.entry(current, fat32);
        if (!next || *next == 0 || *next >= (fat32 ? kFat32ChainEnd : kFat16ChainEnd)) break;
        chain.push_back(*next);
        current = *next;
    }
    return chain;
}

// The chain to follow, or empty for contiguous clusters.
std::vector<std::uint32_t> chooseChain(const device::DeviceHandle& device, const device::VolumeParams& params,
                                       std::uint32_t firstCluster, std::uint64_t needed, const SaveContext& ctx) {
    auto fits = [&](std::uint32_t fatStart) {
        auto chain = buildChain(device, params, fatStart, firstCluster, needed, ctx);
        if (chain.size() != needed) chain.clear();
        return chain;
    };
    switch (ctx.fatCopyChoice) {
        case 0: {
            auto chain = fits(params.firstFAT);
            return chain.empty() ? fits(params.secondFAT) : chain;
        }
        case 1:
            return fits(params.firstFAT);
        case 2:
            return fits(params.secondFAT);
        default:
            return {};
    }
}

// First sector of a cluster, in 64 bits; nullopt when it does not fit.
std::optional<std::uint64_t> clusterSector(const device::VolumeParams& params, std::uint64_t cluster) {
    std::uint64_t offset = 0;
    std::uint64_t sector = 0;
    if (__builtin_mul_overflow(cluster, std::uint64_t{params.SPC}, &offset) ||
        __builtin_add_overflow(params.Cluster0Start, offset, &sector))
        return std::nullopt;
    return sector;
}

} // namespace

ExtractOutcome ExtractFatFile(const SourceVolume& source, SaveContext& ctx, std::string outputPath,
                              std::string displayName, std::uint64_t size, std::uint32_t firstCluster,
                              bool counted) {
    ExtractOutcome outcome;
    ctx.skipCurrent = false;
    const auto& params = source.params;
    if (params.SPC == 0) return outcome;  // no cluster size: nothing can be located

    if (!ctx.previewMode && ctx.progress) {
        ctx.progress->fileShown(displayPath(outputPath), displayName);
        ctx.progress->bytesText(bytesText(0, size));
        ctx.progress->filesText(filesText(ctx.savedFileCount + 1, ctx.totalFileCount));
        ctx.progress->currentFileBar(0, size);
    }
    if (counted && !CheckCollision(ctx, outputPath, displayName)) return outcome;
    detail::stepTotalFiles(ctx);

    const device::DeviceHandle device = source.devices.openDevice(source.devicePath);
    if (!device) return outcome;

    const std::uint64_t clusterBytes = std::uint64_t{params.SPC} * kSectorSize;
    const std::uint64_t needed = size / clusterBytes + (size % clusterBytes != 0 ? 1 : 0);
    const std::vector<std::uint32_t> chain =
        needed == 0 ? std::vector<std::uint32_t>{} : chooseChain(device, params, firstCluster, needed, ctx);

    OpenedOutput out = detail::createOutput(ctx, outputPath, outcome);
    if (!out.file) return outcome;

    // The file's clusters as stretches of consecutive sectors.
    std::vector<detail::Extent> extents;
    std::uint64_t cluster = firstCluster;
    for (std::uint64_t index = 0; index < needed; ++index, ++cluster) {
        if (!chain.empty()) cluster = chain[index];
        const auto first = clusterSector(params, cluster);
        detail::appendExtent(extents, {first.value_or(0), params.SPC, first.has_value(), false});
    }
    const std::size_t chunkBytes = (params.SPC >= kChunkSectors ? kChunkSectors : 1) * kSectorSize;
    const auto copied = detail::copyExtents(device, ctx, *out.file, outcome, extents, size, chunkBytes, counted);
    const bool finished = copied.finished;
    outcome.complete = finished;
    detail::closeOutput(ctx, *out.file, outcome);
    ctx.skipCurrent = false;
    return outcome;
}

} // namespace snapmend::saving
