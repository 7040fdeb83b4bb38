#include <gtest/gtest.h>

#include <fstream>

#include "saving/extract_fat.h"
#include "tests/saving/tiny_fat.h"

namespace snapmend::saving {
namespace {

using test_fixtures::fileBytes;
using test_fixtures::TinyFat;
using device::DevicePathTable;
using test::UnchangedGuard;

TEST(ExtractFatFile, ChainOrContiguousClustersByTheChainRule) {
    using Chain = std::vector<std::uint32_t>;
    struct Fat {
        Chain chain;
        std::uint32_t end = 0;
    };
    struct Case {
        const char* name;
        std::string type;
        std::uint32_t spc;
        int fatCopyChoice;
        Fat fat1, fat2;
        std::uint64_t size;
        Chain clusters;  // the file's clusters, expected in the output
    };
    const Case cases[] = {
        {"chain used when its length matches", "FAT16", 1, 0, {{5, 9, 7}, 0xFFFF}, {}, 1200, {5, 9, 7}},
        {"deleted file with zero entries read contiguously", "FAT16", 1, 0, {}, {}, 1200, {5, 6, 7}},
        {"FAT16 end 0xFFF8 goes one step too far", "FAT16", 1, 0, {{5, 9, 7}, 0xFFF8}, {}, 1200, {5, 6, 7}},
        {"FAT16 end 0xFFFE goes one step too far", "FAT16", 1, 0, {{5, 9, 7}, 0xFFFE}, {}, 1200, {5, 6, 7}},
        {"chain too short is rejected", "FAT16", 1, 0, {{5, 9}, 0xFFFF}, {}, 1200, {5, 6, 7}},
        {"loop fails the length test", "FAT16", 1, 0, {{5, 9, 7, 5}, 0xFFFF}, {}, 1200, {5, 6, 7}},
        {"choice 0 falls back to the second FAT", "FAT16", 1, 0, {{5, 6}, 0xFFFF}, {{5, 9, 7}, 0xFFFF}, 1200,
         {5, 9, 7}},
        {"choice 1 takes only the first FAT", "FAT16", 1, 1, {{5, 6}, 0xFFFF}, {{5, 9, 7}, 0xFFFF}, 1200,
         {5, 6, 7}},
        {"choice 2 takes only the second FAT", "FAT16", 1, 2, {{5, 9, 7}, 0xFFFF}, {{5, 8, 6}, 0xFFFF}, 1200,
         {5, 8, 6}},
        {"choice 3 reads contiguously", "FAT16", 1, 3, {{5, 9, 7}, 0xFFFF}, {}, 1200, {5, 6, 7}},
        {"FAT32 chain", "FAT32", 1, 0, {{5, 9, 7}, 0x0FFFFFFF}, {}, 1536, {5, 9, 7}},
        {"FAT32 end 0x0FFFFFF8 goes one step too far", "FAT32", 1, 0, {{5, 9, 7}, 0x0FFFFFF8}, {}, 1536,
         {5, 6, 7}},
        {"4 KiB chunks of 8-sector clusters", "FAT32", 8, 0, {{3, 9, 4}, 0x0FFFFFFF}, {}, 9000, {3, 9, 4}},
        {"clusters of 16 sectors", "FAT16", 16, 0, {{4, 2}, 0xFFFF}, {}, 8193, {4, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TinyFat fat(c.type, c.spc, 12);
        if (!c.fat1.chain.empty()) fat.setChain(TinyFat::kFirstFat, c.fat1.chain, c.fat1.end);
        if (!c.fat2.chain.empty()) fat.setChain(TinyFat::kSecondFat, c.fat2.chain, c.fat2.end);
        UnchangedGuard guard(fat.image);
        SaveContext ctx;
        ctx.fatCopyChoice = c.fatCopyChoice;
        const auto outcome = fat.extract(ctx, "f.bin", c.size, c.clusters.front());
        EXPECT_TRUE(outcome.created);
        EXPECT_TRUE(outcome.complete);
        EXPECT_EQ(outcome.bytes, c.size);
        EXPECT_EQ(fileBytes(fat.out / "f.bin"), fat.expected(c.clusters, c.size));
    }
}

TEST(ExtractFatFile, SizeZeroGivesAnEmptyFile) {
    TinyFat fat("FAT16", 1, 8);
    UnchangedGuard guard(fat.image);
    SaveContext ctx;
    const auto outcome = fat.extract(ctx, "empty.txt", 0, 0);
    EXPECT_TRUE(outcome.created);
    EXPECT_TRUE(outcome.complete);
    EXPECT_EQ(std::filesystem::file_size(fat.out / "empty.txt"), 0u);
}

TEST(ExtractFatFile, DataPastTheEndOfTheMediumIsAbsentNotStaleOrInvented) {
    TinyFat fat("FAT16", 1, 8);  // the last cluster is 7
    UnchangedGuard guard(fat.image);
    SaveContext ctx;
    const auto outcome = fat.extract(ctx, "tail.bin", 1500, 7);  // clusters 7, 8, 9: two past the end
    EXPECT_TRUE(outcome.created);
    EXPECT_FALSE(outcome.complete);
    EXPECT_EQ(fileBytes(fat.out / "tail.bin"), fat.expected({7}, 512));
}

TEST(ExtractFatFile, ClusterSectorIsComputedIn64Bits) {
    // Cluster0Start + cluster x SPC = 2^32 + 20: beyond this image, so nothing real can be read.
    // Cut to 32 bits it would be sector 20, which holds cluster 4's bytes.
    TinyFat fat("FAT16", 1, 8);
    fat.params.Cluster0Start = (std::uint64_t{1} << 32) + 20 - 0x10000;
    fat.params.SPF = 0;
    fat.params.firstFAT = 0;  // no FAT: contiguous clusters
    UnchangedGuard guard(fat.image);
    SaveContext ctx;
    const auto outcome = fat.extract(ctx, "far.bin", 512, 0x10000);
    EXPECT_TRUE(outcome.created);
    EXPECT_FALSE(outcome.complete);
    EXPECT_TRUE(fileBytes(fat.out / "far.bin").empty());
}

// Records what the progress window would show and can press Skip or Stop part-way.
struct RecordingProgress : SaveProgress {
    SaveContext* ctx = nullptr;
    std::uint64_t skipAt = 0;  // press Skip once this many bytes are written
    bool stopInstead = false;
    std::vector<std::string> bytes;
    void fileShown(std::string_view, std::string_view) override {}
    void bytesText(std::string_view t) override { bytes.emplace_back(t); }
    void filesText(std::string_view) override {}
    void currentFileBar(std::uint64_t done, std::uint64_t) override {
        if (skipAt != 0 && done >= skipAt) (stopInstead ? ctx->stopAll : ctx->skipCurrent) = true;
    }
    void totalFilesBar(std::uint64_t, std::uint64_t) override {}
};

TEST(ExtractFatFile, SkipAndStopLeaveWhatWasWritten) {
    for (const bool stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop" : "skip");
        TinyFat fat("FAT16", 1, 8);
        // Two fragments: Skip and Stop are seen before the second one is read.
        fat.setChain(TinyFat::kFirstFat, {2, 3, 6, 7}, 0xFFFF);
        UnchangedGuard guard(fat.image);
        SaveContext ctx;
        RecordingProgress progress;
        progress.ctx = &ctx;
        progress.skipAt = 1024;
        progress.stopInstead = stop;
        ctx.progress = &progress;
        const auto outcome = fat.extract(ctx, "part.bin", 2048, 2);
        EXPECT_TRUE(outcome.created);
        EXPECT_FALSE(outcome.complete);
        EXPECT_EQ(fileBytes(fat.out / "part.bin"), fat.expected({2, 3}, 1024));
        EXPECT_FALSE(ctx.skipCurrent.load());  // cleared after the file
        EXPECT_EQ(ctx.stopAll.load(), stop);
        EXPECT_EQ(progress.bytes.front(), "0 / 2048 Bytes");
    }
}

TEST(ExtractFatFile, CountedFilesMeetTheCollisionCheckUncountedOverwrite) {
    TinyFat fat("FAT16", 1, 8);
    UnchangedGuard guard(fat.image);
    const SourceVolume source{fat.devices, DevicePathTable[0], fat.params};
    std::ofstream(fat.out / "a.bin") << "old";
    SaveContext ctx;
    ctx.collisionAnswer = CollisionAnswer::SkipAll;
    auto outcome = ExtractFatFile(source, ctx, (fat.out / "a.bin").string(), "a.bin", 100, 2, true);
    EXPECT_FALSE(outcome.created);
    EXPECT_EQ(std::filesystem::file_size(fat.out / "a.bin"), 3u);
    EXPECT_EQ(ctx.savedFileCount, 0u);

    ctx.previewMode = true;  // the Open action
    outcome = ExtractFatFile(source, ctx, (fat.out / "a.bin").string(), "a.bin", 100, 2, false);
    EXPECT_TRUE(outcome.created);
    EXPECT_EQ(fileBytes(fat.out / "a.bin"), fat.expected({2}, 100));
}

} // namespace
} // namespace snapmend::saving
