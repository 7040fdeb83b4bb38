// The Open action: temporary names, extraction in preview mode, the opener, and the clean-up that
// leaves every other file of the temporary folder alone.
#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "device/scan_target.h"
#include "fsrecovery/deep_search.h"
#include "fsrecovery/folder_listing.h"
#include "fsrecovery/session.h"
#include "saving/open_action.h"
#include "tests/saving/tiny_fat.h"
#include "tests/support/cli_run.h"
#include "tests/support/scripted_sink.h"

namespace snapmend::saving {
namespace {

namespace fs = std::filesystem;

TEST(OpenAction, TemporaryNames) {
    struct Case {
        int counter;
        const char* name;
        const char* expected;
    };
    const Case cases[] = {
        {3, "photo.jpg", "QTM3.jpg"},
        {0, "movie.MP4", "QTM0.MP4"},
        {0, "README", "QTM0"},
        {5, "archive.tar.gz", "QTM5.gz"},
        {1, "my photo.jpg", "QTM1.jpg"},
        {2, "odd. jpg", "QTM2"},         // a blank after the dot: no extension
        {4, "name.", "QTM4"},
        {6, "x/../../evil", "QTM6._evil"},  // cannot leave the temporary folder
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(temporaryOpenName(c.counter, c.name), c.expected);
    }
}

TEST(OpenAction, CleanTempFilesDeletesOnlyItsOwnFiles) {
    test::TempDir tmp;
    const char* ours[] = {"QTM0.jpg", "QTM12.MP4", "QTM3"};
    const char* foreign[] = {"QTM", "QTM.jpg", "QTMx.jpg", "xQTM1.jpg", "QTM1.jpg.bak", "qtm1.jpg", "QTM1.",
                             "notes.txt", "MYQTM2.doc"};
    for (const auto* n : ours) std::ofstream(tmp / n) << "x";
    for (const auto* n : foreign) std::ofstream(tmp / n) << "x";
    fs::create_directory(tmp / "QTM4.dir");
    std::ofstream(tmp / "QTM4.dir" / "QTM5.jpg") << "x";
    test::TempDir elsewhere;
    std::ofstream(elsewhere / "target.jpg") << "keep";
    fs::create_symlink(elsewhere / "target.jpg", tmp / "QTM6.jpg");

    EXPECT_EQ(CleanTempFiles(tmp.path()), 3u);
    for (const auto* n : ours) EXPECT_FALSE(fs::exists(tmp / n)) << n;
    for (const auto* n : foreign) EXPECT_TRUE(fs::exists(tmp / n)) << n;
    EXPECT_TRUE(fs::exists(tmp / "QTM4.dir" / "QTM5.jpg"));
    EXPECT_TRUE(fs::is_symlink(tmp / "QTM6.jpg"));
    EXPECT_TRUE(fs::exists(elsewhere / "target.jpg"));
    EXPECT_EQ(CleanTempFiles(tmp / "missing"), 0u);
}

class RecordingOpener final : public FileOpener {
public:
    bool open(const fs::path& path) override {
        opened.push_back(path);
        return true;
    }
    std::vector<fs::path> opened;
};

struct OpenFixture {
    OpenFixture() : fat("FAT16", 2, 20) {
        fat.setChain(test_fixtures::TinyFat::kFirstFat, {5, 6}, 0xFFFF);
        session.target.devicePath = device::DevicePathTable[0];
        session.target.activeParams = fat.params;
        addRow({"IMG_0001.JPG", "JPEG Image File", "1500", "", "", "5", "0", "0"});
        addRow({"DCIM", "FOLDER", "0", "", "", "9", "0", "7"});
        addRow({"blank", "", "0", "", "", "0", "0", "0"});
        state.tempFolder = temp.path() / "snapmend-tmp";
    }
    void addRow(WorkTable::Row row) {
        row.resize(session.itemList.columnCount());
        session.itemList.append(std::move(row));
    }
    test_fixtures::TinyFat fat;
    fsrecovery::Session session{fat.devices};
    test::TempDir temp;
    OpenState state;
    SaveContext ctx;
    RecordingOpener opener;
    test::ScriptedSink sink;
};

TEST(OpenAction, ExtractsToANewTemporaryNameAndOpensIt) {
    OpenFixture f;
    test::UnchangedGuard guard(f.fat.image);
    f.ctx.stopAll = true;
    for (int i = 0; i < 2; ++i) {
        const auto outcome = OpenRecoveredFile(f.session, 0, f.state, f.ctx, f.opener, f.sink);
        ASSERT_EQ(outcome.status, OpenStatus::Opened);
        EXPECT_EQ(outcome.path, f.state.tempFolder / ("QTM" + std::to_string(i) + ".JPG"));
        EXPECT_EQ(test::readAt(outcome.path, 0, 2000), f.fat.expected({5, 6}, 1500));
        EXPECT_FALSE(f.ctx.previewMode);
        EXPECT_FALSE(f.ctx.stopAll);
    }
    EXPECT_EQ(f.state.openCounter, 2);
    EXPECT_EQ(f.opener.opened.size(), 2u);
    EXPECT_TRUE(f.sink.messages.empty());
}

TEST(OpenAction, FolderRowsAndEmptyTypesExtractNothing) {
    OpenFixture f;
    auto outcome = OpenRecoveredFile(f.session, 1, f.state, f.ctx, f.opener, f.sink);
    EXPECT_EQ(outcome.status, OpenStatus::FolderSelected);
    EXPECT_EQ(outcome.folderItem, 7u);
    outcome = OpenRecoveredFile(f.session, 2, f.state, f.ctx, f.opener, f.sink);
    EXPECT_EQ(outcome.status, OpenStatus::NoRow);
    EXPECT_EQ(f.state.openCounter, 0);
    EXPECT_TRUE(f.opener.opened.empty());
    EXPECT_FALSE(fs::exists(f.state.tempFolder));
}

TEST(OpenAction, DiskFullShowsNoSaveMessageAndLeavesStopClear) {
    OpenFixture f;
    f.ctx.sink = &f.sink;
    f.ctx.openOutput = [](const std::string&) { return OpenedOutput{nullptr, ENOSPC}; };
    const auto outcome = OpenRecoveredFile(f.session, 0, f.state, f.ctx, f.opener, f.sink);
    EXPECT_EQ(outcome.status, OpenStatus::Missing);
    EXPECT_FALSE(f.ctx.stopAll);
    ASSERT_EQ(f.sink.messages.size(), 1u);
    EXPECT_EQ(f.sink.messages[0].text, kDoesNotExist);
    EXPECT_TRUE(f.opener.opened.empty());
}

// Two FAT16 volumes on one disk, each with a root file of the same name, size and first cluster but
// other content: "Root" of a Deep Search lists both, and each must open from its own volume.
TEST(OpenAction, DeepSearchRootFilesOpenFromTheVolumeTheirRowNames) {
    test::TempDir dir;
    const auto q = [](const fs::path& p) { return "'" + p.string() + "'"; };
    const auto disk = dir / "disk.img";
    std::vector<std::string> contents;
    for (int v = 0; v < 2; ++v) {
        const auto vol = dir / ("v" + std::to_string(v) + ".img");
        ASSERT_TRUE(test::run("truncate -s 16M " + q(vol) + " && mkfs.fat -F 16 -s 4 " + q(vol) + " >/dev/null"));
        std::mt19937 gen(static_cast<unsigned>(v + 1));
        std::string text(6000, '\0');
        for (auto& c : text) c = static_cast<char>(gen());
        contents.push_back(text);
        std::ofstream(dir / "src", std::ios::binary) << text;
        // A folder as well, so the volumes are decided from directory clusters, not one root check.
        ASSERT_TRUE(test::run("MTOOLS_SKIP_CHECK=1 mmd -i " + q(vol) + " ::/DCIM && MTOOLS_SKIP_CHECK=1 mcopy -i " +
                              q(vol) + " " + q(dir / "src") + " ::/PHOTO.JPG"));
    }
    ASSERT_TRUE(test::run("truncate -s 40M " + q(disk) +
                          " && printf 'label: dos\\nstart=2048, size=32768, type=6\\nstart=36864, type=6\\n' | "
                          "sfdisk -q " + q(disk)));
    ASSERT_TRUE(test::run("dd if=" + q(dir / "v0.img") + " of=" + q(disk) + " bs=512 seek=2048 conv=notrunc status=none"));
    ASSERT_TRUE(test::run("dd if=" + q(dir / "v1.img") + " of=" + q(disk) + " bs=512 seek=36864 conv=notrunc status=none"));
    test::UnchangedGuard guard(disk);

    device::DeviceMap devices;
    ASSERT_TRUE(devices.attachDisk(disk.string()));
    fsrecovery::Session session(devices);
    device::TargetSelection sel;
    sel.kind = std::string(device::kKindHardDisk);
    sel.end = sel.diskTotalSectors = 40 * 2048;
    ASSERT_TRUE(device::setRangeTarget(session.target, sel, fsrecovery::kDeepSearchMode, 0, sel.end, 0, sel.end));
    session.target.target.fileSystem = "FAT16";
    test::ScriptedSink sink;
    ASSERT_TRUE(fsrecovery::StartDeepSearch(session, sink));
    fsrecovery::DeepSearchWorker(session, sink, std::stop_token{});
    ASSERT_EQ(session.DeepVolumeList.rowCount(), 2u);
    fsrecovery::FolderListingWorker(session, session.recovered.tree.firstItem(), sink);

    OpenState state;
    state.tempFolder = dir / "tmp";
    SaveContext ctx;
    RecordingOpener opener;
    std::size_t opened = 0;
    // The second volume's file first: after the listing the first volume is the one loaded.
    for (const std::string volume : {"1", "0"}) {
        for (std::size_t row = 0; row < session.itemList.rowCount(); ++row) {
            if (session.itemList.cell(row, fsrecovery::kItName) != "PHOTO.JPG" ||
                session.itemList.cell(row, fsrecovery::kItFileSys) != volume)
                continue;
            SCOPED_TRACE("volume " + volume);
            const auto outcome = OpenRecoveredFile(session, row, state, ctx, opener, sink);
            ASSERT_EQ(outcome.status, OpenStatus::Opened);
            EXPECT_EQ(test::slurp(outcome.path), contents[volume == "1" ? 1 : 0]);
            ++opened;
        }
    }
    EXPECT_EQ(opened, 2u);
}

} // namespace
} // namespace snapmend::saving
