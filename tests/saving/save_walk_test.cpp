#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>

#include "common/bytes.h"
#include "fsrecovery/basic_search.h"
#include "saving/safe_name.h"
#include "saving/save_walk.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::saving {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::UnchangedGuard;

std::vector<std::byte> randomBytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<std::byte> out(n);
    for (auto& b : out) b = std::byte(static_cast<std::uint8_t>(gen() % 80 + 'a'));  // never "Q"
    return out;
}

std::vector<std::byte> fileBytes(const fs::path& p) {
    return test::readAt(p, 0, static_cast<std::size_t>(fs::file_size(p)));
}

// Rewrites every long-name entry that starts with "QQ1QQ2" so that the name begins with "../../"
// and its seventh character is the control character 0x01: names no file system tool would write.
void plantHostileNames(const fs::path& image) {
    auto bytes = test::readAt(image, 0, static_cast<std::size_t>(fs::file_size(image)));
    const std::string pattern("Q\0Q\0" "1\0Q\0Q\0", 10);
    int planted = 0;
    for (std::size_t i = 1; i + 40 < bytes.size(); ++i) {
        if (std::memcmp(bytes.data() + i, pattern.data(), pattern.size()) != 0) continue;
        const std::size_t entry = i - 1;
        const std::pair<std::size_t, std::uint16_t> units[] = {
            {1, '.'}, {3, '.'}, {5, '/'}, {7, '.'}, {9, '.'}, {14, '/'}, {16, 0x01}};
        for (const auto& [off, unit] : units) {
            std::vector<std::byte> u(2);
            putLe16(u, 0, unit);
            test::writeAt(image, entry + off, u);
        }
        ++planted;
    }
    EXPECT_EQ(planted, 2);  // the folder's name and the file's
}

// A real FAT32 card: a fragmented live file, a deleted one, an empty one, a name without an
// extension, and a folder and a file whose long names try to climb out of the destination.
class SaveWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        image = dir / "card.img";
        test::createImage(image, std::uint64_t{40} << 20);
        ASSERT_TRUE(test::run("mkfs.fat -F 32 -s 1 -n CARD '" + image.string() + "'"));
        mmd("::/DCIM ::/DCIM/100CANON ::/QQ1QQ2evil");
        put("::/DCIM/100CANON/IMG_0001.JPG", 5000, 1);
        put("::/DCIM/100CANON/HOLE.JPG", 1500, 2);  // deleted below, leaving a gap
        put("::/DCIM/100CANON/IMG_0002.JPG", 2000, 3);
        mtools("mdel", "::/DCIM/100CANON/HOLE.JPG");
        // FSInfo's next-free hint (sector 1, +492) back to cluster 2, so the next file fills the
        // gap first and then goes on after IMG_0002: a fragmented chain.
        std::vector<std::byte> hint(4);
        putLe32(hint, 0, 2);
        test::writeAt(image, 512 + 492, hint);
        put("::/DCIM/100CANON/IMG_0004.JPG", 9000, 4);
        ASSERT_NE(test::runOutput("MTOOLS_SKIP_CHECK=1 mshowfat -i '" + image.string() +
                                  "' ::/DCIM/100CANON/IMG_0004.JPG")
                      .find("> <"),
                  std::string::npos);  // two extents
        put("::/DCIM/100CANON/IMG_0003.JPG", 7000, 5);
        mtools("mdel", "::/DCIM/100CANON/IMG_0003.JPG");
        put("::/README", 700, 6);
        put("::/EMPTY.TXT", 0, 7);
        put("::/QQ1QQ2evil/QQ1QQ2evil.txt", 600, 8);
        plantHostileNames(image);

        ASSERT_TRUE(devices.attachDisk(image.string()));
        session = std::make_unique<fsrecovery::Session>(devices);
        session->target.devicePath = device::DevicePathTable[0];
        session->target.target.fileSystem = "FAT32";
        session->target.target.endSector = (std::uint64_t{40} << 20) / 512;
        guard = std::make_unique<UnchangedGuard>(image);
        test::ScriptedSink scanSink;
        fsrecovery::BasicSearchWorker(*session, scanSink, std::stop_token{});
        ASSERT_EQ(session->params().partType, "FAT32");
        dest = dir / "dest";
        fs::create_directory(dest);
    }

    void mtools(const std::string& tool, const std::string& args) {
        ASSERT_TRUE(test::run("MTOOLS_SKIP_CHECK=1 " + tool + " -i '" + image.string() + "' " + args));
    }
    void mmd(const std::string& args) { mtools("mmd", args); }
    void put(const std::string& target, std::size_t size, unsigned seed) {
        const auto src = dir / ("src" + std::to_string(seed));
        contents[target] = randomBytes(size, seed);
        test::createImage(src, 0);
        test::writeAt(src, 0, contents[target]);
        mtools("mcopy", "'" + src.string() + "' '" + target + "'");
    }
    const std::vector<std::byte>& content(const std::string& target) { return contents.at(target); }

    std::map<std::string, const SavedFile*> byPath(const SaveSummary& s) {
        std::map<std::string, const SavedFile*> out;
        for (const auto& f : s.files) out[f.relativePath] = &f;
        return out;
    }

    TempDir dir;
    fs::path image;
    fs::path dest;
    std::map<std::string, std::vector<std::byte>> contents;
    device::DeviceMap devices;
    std::unique_ptr<fsrecovery::Session> session;
    std::unique_ptr<UnchangedGuard> guard;
};

TEST_F(SaveWalkTest, RebuildsTheTreeAndRecoversLiveDeletedAndFragmentedFiles) {
    test::ScriptedSink sink;
    SaveContext ctx;
    const auto summary = saveTree(*session, dest, ctx, sink, std::stop_token{}, false);
    EXPECT_FALSE(summary.stopped);
    EXPECT_FALSE(summary.diskFull);
    EXPECT_EQ(ctx.savedFileCount, ctx.totalFileCount);
    EXPECT_EQ(summary.filesWritten, summary.files.size());

    const auto files = byPath(summary);
    struct Want {
        const char* path;
        const char* source;
        bool deleted;
    };
    const Want wants[] = {
        {"DCIM/100CANON/IMG_0001.JPG", "::/DCIM/100CANON/IMG_0001.JPG", false},
        {"DCIM/100CANON/IMG_0002.JPG", "::/DCIM/100CANON/IMG_0002.JPG", false},
        {"DCIM/100CANON/IMG_0004.JPG", "::/DCIM/100CANON/IMG_0004.JPG", false},
        {"DCIM/100CANON/_MG_0003.JPG", "::/DCIM/100CANON/IMG_0003.JPG", true},
        {"README", "::/README", false},
        {"EMPTY.TXT", "::/EMPTY.TXT", false},
    };
    for (const auto& w : wants) {
        SCOPED_TRACE(w.path);
        const auto it = files.find(w.path);
        ASSERT_NE(it, files.end());
        EXPECT_EQ(it->second->deleted, w.deleted);
        EXPECT_TRUE(it->second->complete);
        EXPECT_EQ(it->second->size, content(w.source).size());
        EXPECT_EQ(fileBytes(dest / w.path), content(w.source));
    }

    // The hostile names stay inside the destination, and the file is still recovered.
    const SavedFile* hostile = nullptr;
    for (const auto& f : summary.files)
        if (f.relativePath.find("vil.txt") != std::string::npos) hostile = &f;
    ASSERT_NE(hostile, nullptr);
    EXPECT_EQ(hostile->relativePath, ".._..__vil/.._..__vil.txt");
    EXPECT_EQ(fileBytes(dest / hostile->relativePath), content("::/QQ1QQ2evil/QQ1QQ2evil.txt"));
    std::set<std::string> outside;
    for (const auto& e : fs::directory_iterator(dir.path())) outside.insert(e.path().filename().string());
    EXPECT_EQ(outside.count("evil"), 0u);
    for (const auto& name : outside) EXPECT_EQ(name.find("vil"), std::string::npos) << name;
    for (const auto& e : fs::recursive_directory_iterator(dest))
        EXPECT_TRUE(isInside(fs::canonical(dest), fs::canonical(e.path()))) << e.path();
}

TEST_F(SaveWalkTest, CheckedFoldersOnly) {
    auto& tree = session->recovered.tree;
    const ItemId canon = tree.findLabel("100CANON");
    ASSERT_NE(canon, kNoItem);
    tree.item(canon).stateImage = 2;
    test::ScriptedSink sink;
    SaveContext ctx;
    const auto summary = saveTree(*session, dest, ctx, sink, std::stop_token{}, true);
    EXPECT_EQ(ctx.totalFileCount, summary.filesWritten);
    ASSERT_FALSE(summary.files.empty());
    for (const auto& f : summary.files) EXPECT_TRUE(f.relativePath.starts_with("DCIM/100CANON/")) << f.relativePath;
    EXPECT_FALSE(fs::exists(dest / "README"));
}

TEST_F(SaveWalkTest, SecondSaveCollidesCancelStopsRenameAllKeepsBoth) {
    test::ScriptedSink sink;
    SaveContext ctx;
    const auto first = saveTree(*session, dest, ctx, sink, std::stop_token{}, false);
    ASSERT_FALSE(first.stopped);

    int dialogs = 0;
    ctx.resolveCollision = [&](const std::string&, const std::string&) {
        ++dialogs;
        return CollisionReply{CollisionAnswer::Skip, "", true};  // Cancel
    };
    const auto cancelled = saveTree(*session, dest, ctx, sink, std::stop_token{}, false);
    EXPECT_TRUE(cancelled.stopped);
    EXPECT_EQ(cancelled.filesWritten, 0u);
    EXPECT_EQ(dialogs, 1);

    ctx.resolveCollision = [&](const std::string&, const std::string&) {
        ++dialogs;
        return CollisionReply{CollisionAnswer::RenameAll, "", false};
    };
    const auto renamed = saveTree(*session, dest, ctx, sink, std::stop_token{}, false);
    EXPECT_FALSE(renamed.stopped);
    EXPECT_EQ(dialogs, 2);
    EXPECT_EQ(renamed.filesWritten, first.filesWritten);
    EXPECT_EQ(fileBytes(dest / "README_dd_0"), content("::/README"));
    EXPECT_EQ(fileBytes(dest / "DCIM/100CANON/IMG_0001_dd_0.JPG"), content("::/DCIM/100CANON/IMG_0001.JPG"));
}

// Requests stop once the given file is counted.
struct StopAtFile : SaveProgress {
    std::stop_source& source;
    std::uint64_t at;
    StopAtFile(std::stop_source& s, std::uint64_t n) : source(s), at(n) {}
    void fileShown(std::string_view, std::string_view) override {}
    void bytesText(std::string_view) override {}
    void filesText(std::string_view) override {}
    void currentFileBar(std::uint64_t, std::uint64_t) override {}
    void totalFilesBar(std::uint64_t done, std::uint64_t) override {
        if (done == at) source.request_stop();
    }
};

TEST_F(SaveWalkTest, StopEndsTheCurrentFileAndTheWalk) {
    std::stop_source stop;
    StopAtFile progress(stop, 2);
    test::ScriptedSink sink;
    SaveContext ctx;
    ctx.progress = &progress;
    const auto summary = saveTree(*session, dest, ctx, sink, stop.get_token(), false);
    EXPECT_TRUE(summary.stopped);
    EXPECT_LT(summary.filesWritten, ctx.totalFileCount);
    ASSERT_GE(summary.files.size(), 1u);
    EXPECT_LE(summary.files.size(), 2u);
    EXPECT_TRUE(summary.files.front().complete);
    EXPECT_EQ(ctx.progress, &progress);  // the caller's progress is left in place
}

TEST(SaveWalk, RefusesADestinationThatIsNoFolder) {
    device::DeviceMap devices;
    fsrecovery::Session session(devices);
    test::ScriptedSink sink;
    SaveContext ctx;
    TempDir dir;
    const auto summary = saveTree(session, dir / "missing", ctx, sink, std::stop_token{}, false);
    EXPECT_EQ(summary.filesWritten, 0u);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_EQ(sink.messages[0].text, kInvalidDestination);
}

} // namespace
} // namespace snapmend::saving
