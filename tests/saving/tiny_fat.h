// A tiny FAT volume built byte by byte for the saving tests, with layout values put straight into
// VolumeParams.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/bytes.h"
#include "device/device_map.h"
#include "saving/extract_fat.h"
#include "tests/support/test_media.h"

namespace snapmend::saving::test_fixtures {

using device::DevicePathTable;
using test::TempDir;

// A tiny FAT volume written byte by byte: two FAT copies and data clusters whose every byte tells
// the cluster and the offset apart, so an output shows which clusters it was read from.
struct TinyFat {
    static constexpr std::uint32_t kFirstFat = 4;
    static constexpr std::uint32_t kSecondFat = 8;
    static constexpr std::uint64_t kCluster0Start = 16;

    TinyFat(const std::string& type, std::uint32_t spc, std::uint32_t clusters) {
        image = dir / "fat.img";
        params.partType = type;
        params.SPC = spc;
        params.SPF = 4;
        params.firstFAT = kFirstFat;
        params.secondFAT = kSecondFat;
        params.Cluster0Start = kCluster0Start;
        test::createImage(image, (kCluster0Start + std::uint64_t{clusters} * spc) * 512);
        for (std::uint32_t c = 2; c < clusters; ++c) {
            std::vector<std::byte> data(std::size_t{spc} * 512);
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = clusterByte(c, i);
            test::writeAt(image, params.clusterSector(c) * 512, data);
        }
        EXPECT_TRUE(devices.attachDisk(image.string()));
    }

    static std::byte clusterByte(std::uint32_t cluster, std::size_t offset) {
        return std::byte(static_cast<std::uint8_t>(cluster * 37 + offset / 512 * 5 + offset % 251 + 1));
    }

    void setEntry(std::uint32_t fatStart, std::uint32_t cluster, std::uint32_t value) {
        const bool fat32 = params.partType == "FAT32";
        std::vector<std::byte> bytes(fat32 ? 4 : 2);
        if (fat32)
            putLe32(bytes, 0, value);
        else
            putLe16(bytes, 0, static_cast<std::uint16_t>(value));
        test::writeAt(image, std::uint64_t{fatStart} * 512 + cluster * bytes.size(), bytes);
    }
    // Links the clusters in order and ends the chain with endValue.
    void setChain(std::uint32_t fatStart, const std::vector<std::uint32_t>& chain, std::uint32_t endValue) {
        for (std::size_t i = 0; i < chain.size(); ++i)
            setEntry(fatStart, chain[i], i + 1 < chain.size() ? chain[i + 1] : endValue);
    }

    std::vector<std::byte> expected(const std::vector<std::uint32_t>& clusters, std::uint64_t size) const {
        std::vector<std::byte> out;
        const std::size_t clusterBytes = std::size_t{params.SPC} * 512;
        for (std::uint32_t c : clusters)
            for (std::size_t i = 0; i < clusterBytes && out.size() < size; ++i) out.push_back(clusterByte(c, i));
        return out;
    }

    ExtractOutcome extract(SaveContext& ctx, const std::string& name, std::uint64_t size, std::uint32_t first) {
        const SourceVolume source{devices, DevicePathTable[0], params};
        return ExtractFatFile(source, ctx, (out / name).string(), name, size, first, false);
    }

    TempDir dir;
    TempDir out;
    std::filesystem::path image;
    device::VolumeParams params;
    device::DeviceMap devices;
};

inline std::vector<std::byte> fileBytes(const std::filesystem::path& p) {
    return test::readAt(p, 0, static_cast<std::size_t>(std::filesystem::file_size(p)));
}

} // namespace snapmend::saving::test_fixtures
