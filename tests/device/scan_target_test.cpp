#include <gtest/gtest.h>

#include "device/device_map.h"
#include "device/scan_target.h"

namespace snapmend::device {
namespace {

TargetSelection partitionRow() {
    TargetSelection s;
    s.kind = std::string(kKindPartition);
    s.diskIndex = 2;
    s.partitionIndex = 1;
    s.fileSystemText = " FAT32 ";
    s.start = 2048;
    s.end = 10240;
    s.diskTotalSectors = 20000;
    return s;
}

TEST(ScanTarget, ResetClearsTheTargetAndBothParameterCopiesButNotTheListedRange) {
    TargetState state;
    state.target = {3, 4, "NTFS", "Basic Search", 5, 6, 7, 8};
    state.calculatedParams.SPC = 8;
    state.activeParams.partType = "NTFS";
    state.activeParams.mftStart = 99;
    resetTarget(state);
    EXPECT_EQ(state.target.diskIndex, 0);
    EXPECT_EQ(state.target.partitionIndex, 0u);
    EXPECT_EQ(state.target.fileSystem, "");
    EXPECT_EQ(state.target.searchMode, "");
    EXPECT_EQ(state.target.startSector, 0u);
    EXPECT_EQ(state.target.endSector, 0u);
    EXPECT_EQ(state.target.listedStartSector, 7u);
    EXPECT_EQ(state.calculatedParams, VolumeParams{});
    EXPECT_EQ(state.activeParams, VolumeParams{});
}

TEST(ScanTarget, PartitionRowTargetsItsDiskAndRange) {
    TargetState state;
    const auto outcome = setTargetFromSelection(state, partitionRow(), "Basic Search");
    ASSERT_TRUE(outcome);
    EXPECT_EQ(state.devicePath, "\\\\.\\PhysicalDrive2");
    EXPECT_EQ(state.targetKind, "part");
    EXPECT_EQ(state.target.fileSystem, "FAT32");
    EXPECT_EQ(state.target.searchMode, "Basic Search");
    EXPECT_EQ(state.target.partitionIndex, 1u);
    EXPECT_EQ(state.target.startSector, 2048u);
    EXPECT_EQ(state.target.endSector, 10240u);
    EXPECT_EQ(state.target.listedStartSector, 2048u);
    EXPECT_EQ(outcome->rangeText, "Search Range : 2048 to 10240");
}

TEST(ScanTarget, LogicalDriveIsScannedThroughItsDisk) {
    TargetSelection s;
    s.kind = std::string(kKindLogical);
    s.diskIndex = 0;
    s.fileSystemText = "FAT";
    s.start = 0;
    s.end = 8000;
    s.diskTotalSectors = 9000;
    s.volumeOnDisk = VolumeOnDisk{3, 2048, 10048, true};
    TargetState state;
    const auto outcome = setTargetFromSelection(state, s, "Basic Search");
    ASSERT_TRUE(outcome);
    EXPECT_EQ(state.devicePath, "\\\\.\\PhysicalDrive3");
    EXPECT_EQ(state.target.diskIndex, 3);
    EXPECT_EQ(state.target.fileSystem, "FAT16");
    EXPECT_EQ(state.target.startSector, 2048u);
    EXPECT_EQ(state.target.endSector, 9000u);  // the volume's end clipped to the disk
    EXPECT_EQ(outcome->noticePrefix, "This is a Dynamic disk. \r\n\r\n");
}

TEST(ScanTarget, WholeDiskTakesTheSharedPartitionNameOrTheSizeGuess) {
    TargetSelection s;
    s.kind = std::string(kKindHardDisk);
    s.diskIndex = 1;
    s.start = 63;
    s.end = 16000000;
    s.diskTotalSectors = 16000000;
    s.partitionLabels = {"Partition - 1 ( FAT32 )", "Partition - 2 ( FAT32 )"};
    TargetState state;
    ASSERT_TRUE(setTargetFromSelection(state, s, "Basic Search"));
    EXPECT_EQ(state.target.fileSystem, "FAT32");
    s.partitionLabels = {"Partition - 1 ( FAT32 )", "Partition - 2 ( NTFS )"};
    ASSERT_TRUE(setTargetFromSelection(state, s, "Basic Search"));
    EXPECT_EQ(state.target.fileSystem, "FAT32");  // 8 GB guesses FAT32
    s.partitionLabels = {"no brackets"};
    s.end = 100;
    ASSERT_TRUE(setTargetFromSelection(state, s, "Basic Search"));
    EXPECT_EQ(state.target.fileSystem, "Unknown");
}

TEST(ScanTarget, ClipsARangeLongerThanTheDiskAndKeepsTheListedEnd) {
    auto s = partitionRow();
    s.start = 0;
    s.end = 50000;
    TargetState state;
    ASSERT_TRUE(setTargetFromSelection(state, s, "Basic Search"));
    EXPECT_EQ(state.target.endSector, 20000u);
    EXPECT_EQ(state.target.listedEndSector, 50000u);
}

TEST(ScanTarget, RefusedStartsChangeNothing) {
    TargetState state;
    ASSERT_TRUE(setTargetFromSelection(state, partitionRow(), "Basic Search"));
    const TargetState before = state;
    auto s = partitionRow();
    s.start = 0;
    s.end = 0;
    const auto refused = setTargetFromSelection(state, s, "Basic Search");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().detail, kEndSectorRefused);
    EXPECT_EQ(state.target.endSector, before.target.endSector);
    EXPECT_EQ(state.devicePath, before.devicePath);

    const auto same = setRangeTarget(state, partitionRow(), "Deep Search", 500, 500, 0, 20000);
    ASSERT_FALSE(same);
    EXPECT_EQ(same.error().detail, kEndSectorRefused);
    EXPECT_EQ(state.target.searchMode, "Basic Search");
}

TEST(ScanTarget, RangeOnALogicalDriveMovesOntoItsDisk) {
    TargetSelection s;
    s.kind = std::string(kKindLogical);
    s.fileSystemText = "NTFS";
    s.start = 0;
    s.end = 8000;
    s.diskTotalSectors = 12000;
    s.volumeOnDisk = VolumeOnDisk{1, 2048, 10048, false};
    TargetState state;
    const auto outcome = setRangeTarget(state, s, "Deep Search", 100, 7000, 0, 8000);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(state.target.startSector, 2148u);
    EXPECT_EQ(state.target.endSector, 9048u);
    EXPECT_EQ(state.target.listedStartSector, 2048u);
    EXPECT_EQ(state.target.listedEndSector, 12000u);
    EXPECT_EQ(outcome->rangeText, "Search Range : 2148 to 9048");
}

} // namespace
} // namespace snapmend::device
