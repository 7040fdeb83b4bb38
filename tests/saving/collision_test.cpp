#include <gtest/gtest.h>

#include <deque>
#include <fstream>

#include "saving/collision_name.h"
#include "saving/save_context.h"
#include "tests/support/test_media.h"

namespace snapmend::saving {
namespace {

using test::TempDir;

void touch(const std::filesystem::path& p) { std::ofstream(p) << "x"; }

TEST(BuildCollisionName, FirstFreeVariantFromTheGivenNumber) {
    TempDir dir;
    const std::string d = dir.path().string() + "/";
    touch(dir / "taken_dd_0.jpg");
    touch(dir / "taken_dd_1.jpg");
    touch(dir / "busy_dd_3");
    struct Case {
        const char* name;
        std::string path;
        std::uint64_t start;
        std::string expected;
    };
    const Case cases[] = {
        {"extension kept", d + "report.txt", 0, d + "report_dd_0.txt"},
        {"no extension", d + "README", 0, d + "README_dd_0"},
        {"last dot splits", d + "archive.tar.gz", 0, d + "archive.tar_dd_0.gz"},
        {"existing candidates skipped", d + "taken.jpg", 0, d + "taken_dd_2.jpg"},
        {"start number used", d + "busy", 3, d + "busy_dd_4"},
        {"dot in a folder name is not an extension", d + "IMG.DIR/README", 0, d + "IMG.DIR/README_dd_0"},
        {"no folder part", "zzz_snapmend_none.txt", 7, "zzz_snapmend_none_dd_7.txt"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(BuildCollisionName(c.path, c.start), c.expected);
    }
}

// A resolver that answers from a script and records what the dialog was shown.
struct ScriptedResolver {
    std::deque<CollisionReply> replies;
    std::vector<std::pair<std::string, std::string>> shown;
    CollisionResolver fn() {
        return [this](const std::string& path, const std::string& suggested) {
            shown.emplace_back(path, suggested);
            CollisionReply r = replies.front();
            replies.pop_front();
            return r;
        };
    }
};

TEST(CheckCollision, AnswersDecideWriteRenameAndWhetherToAskAgain) {
    // Two colliding files in a row; the second shows whether the first answer is remembered.
    struct Case {
        const char* name;
        std::vector<CollisionReply> replies;
        bool firstWritten;
        std::string firstName;   // file name finally used
        bool secondWritten;
        std::string secondName;
        std::size_t dialogs;
        bool stop;
    };
    const Case cases[] = {
        {"overwrite asks again", {{CollisionAnswer::Overwrite, "", false}, {CollisionAnswer::Skip, "", false}},
         true, "a.jpg", false, "", 2, false},
        {"skip asks again", {{CollisionAnswer::Skip, "", false}, {CollisionAnswer::Overwrite, "", false}},
         false, "", true, "b.jpg", 2, false},
        {"overwrite all", {{CollisionAnswer::OverwriteAll, "", false}}, true, "a.jpg", true, "b.jpg", 1, false},
        {"skip all", {{CollisionAnswer::SkipAll, "", false}}, false, "", false, "", 1, false},
        {"cancel skips all and stops", {{CollisionAnswer::Skip, "", true}}, false, "", false, "", 1, true},
        {"rename uses the edited name",
         {{CollisionAnswer::Rename, "/anywhere/else/mine.jpg", false}, {CollisionAnswer::Skip, "", false}}, true,
         "mine.jpg", false, "", 2, false},
        {"rename with an unusable edit takes the suggestion",
         {{CollisionAnswer::Rename, "/x/", false}, {CollisionAnswer::Skip, "", false}}, true, "a_dd_0.jpg", false,
         "", 2, false},
        {"edited name is made safe", {{CollisionAnswer::Rename, "..", false}, {CollisionAnswer::Skip, "", false}},
         true, "_", false, "", 2, false},
        {"rename all", {{CollisionAnswer::RenameAll, "/x/first.jpg", false}}, true, "first.jpg", true,
         "b_dd_0.jpg", 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        touch(dir / "a.jpg");
        touch(dir / "b.jpg");
        ScriptedResolver resolver;
        resolver.replies.assign(c.replies.begin(), c.replies.end());
        SaveContext ctx;
        ctx.resolveCollision = resolver.fn();

        std::string first = (dir / "a.jpg").string(), firstName = "a.jpg";
        EXPECT_EQ(CheckCollision(ctx, first, firstName), c.firstWritten);
        if (c.firstWritten) {
            EXPECT_EQ(first, (dir / c.firstName).string());
            EXPECT_EQ(firstName, c.firstName);
        }
        std::string second = (dir / "b.jpg").string(), secondName = "b.jpg";
        EXPECT_EQ(CheckCollision(ctx, second, secondName), c.secondWritten);
        if (c.secondWritten) {
            EXPECT_EQ(second, (dir / c.secondName).string());
        }

        EXPECT_EQ(resolver.shown.size(), c.dialogs);
        EXPECT_EQ(ctx.stopAll.load(), c.stop);
        EXPECT_EQ(ctx.savedFileCount, (c.firstWritten ? 1u : 0u) + (c.secondWritten ? 1u : 0u));
    }
}

TEST(CheckCollision, DialogShowsThePathAndTheSuggestionFromRenameStart) {
    TempDir dir;
    touch(dir / "a.jpg");
    ScriptedResolver resolver;
    resolver.replies.push_back({CollisionAnswer::Skip, "", false});
    SaveContext ctx;
    ctx.renameStart = 5;
    ctx.resolveCollision = resolver.fn();
    std::string path = (dir / "a.jpg").string(), name = "a.jpg";
    EXPECT_FALSE(CheckCollision(ctx, path, name));
    ASSERT_EQ(resolver.shown.size(), 1u);
    EXPECT_EQ(resolver.shown[0].first, (dir / "a.jpg").string());
    EXPECT_EQ(resolver.shown[0].second, (dir / "a_dd_5.jpg").string());
    EXPECT_EQ(ctx.collisionPath, (dir / "a.jpg").string());
}

TEST(CheckCollision, NoCollisionOrNobodyToAskNeverOverwrites) {
    TempDir dir;
    touch(dir / "a.jpg");
    std::filesystem::create_symlink("/nonexistent-target", dir / "link.jpg");
    SaveContext ctx;  // no resolver
    struct Case {
        const char* name;
        std::string file;
        std::string expected;
    };
    const Case cases[] = {
        {"free path kept", "new.jpg", "new.jpg"},
        {"existing file renamed", "a.jpg", "a_dd_0.jpg"},
        {"dangling link counts as taken", "link.jpg", "link_dd_0.jpg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = (dir / c.file).string(), name = c.file;
        EXPECT_TRUE(CheckCollision(ctx, path, name));
        EXPECT_EQ(path, (dir / c.expected).string());
    }
}

TEST(ProgressTexts, FilesBytesAndWrappedPaths) {
    EXPECT_EQ(bytesText(512, 4096), "512 / 4096 Bytes");
    EXPECT_EQ(filesText(3, 10), "3 / 10");
    EXPECT_EQ(filesText(11, 10), "10 / 10");
    const std::string p70 = "/" + std::string(69, 'a');
    EXPECT_EQ(displayPath(p70), p70);
    const std::string p71 = "/out/" + std::string(66, 'a');
    EXPECT_EQ(displayPath(p71), " /out /" + std::string(66, 'a'));
}

} // namespace
} // namespace snapmend::saving
