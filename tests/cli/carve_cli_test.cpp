// `snapmend photo|video|raw` end to end: a quick-formatted card holding real camera photos, RAW
// files and a phone video written by mtools, carved with the shipped signature databases; every
// file must come back once, whole, under its type folder and name, and the card stay unchanged.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <regex>

#include <nlohmann/json.hpp>

#include "tests/support/cli_run.h"
#include "tests/support/test_media.h"

namespace snapmend {
namespace {

using test::TempDir;
using test::UnchangedGuard;

const std::filesystem::path kSource = SNAPMEND_SOURCE_DIR;

std::string quoted(const std::filesystem::path& p) { return "'" + p.string() + "'"; }

std::vector<std::filesystem::path> cardFiles() {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(kSource / "data/demo-photos"))
        if (e.path().extension() == ".jpg") files.push_back(e.path());
    std::sort(files.begin(), files.end());
    for (const char* name : {"exiftool_CanonRaw.cr2", "exiftool_CanonRaw.cr3", "exiftool_Nikon.nef",
                             "apple_iphone6_with-gps.mov"})
        files.push_back(kSource / "tests/data/carving" / name);
    return files;
}

// A 32 MiB card with one FAT16 partition: the files are copied in, then the partition is
// quick-formatted, which leaves their data where it was and forgets everything else.
std::filesystem::path makeCard(const TempDir& dir) {
    const auto card = dir / "card.img";
    const auto vol = dir / "vol.img";
    test::run("truncate -s 32M " + quoted(card));
    test::run("printf 'label: dos\\nstart=2048, type=6\\n' | sfdisk --quiet " + quoted(card));
    test::run("truncate -s " + std::to_string(32 * 1024 * 1024 - 2048 * 512) + " " + quoted(vol));
    test::run("mkfs.fat -F 16 -n CARD " + quoted(vol) + " >/dev/null");
    test::run("MTOOLS_SKIP_CHECK=1 mmd -i " + quoted(vol) + " ::/DCIM");
    std::string copy = "MTOOLS_SKIP_CHECK=1 mcopy -i " + quoted(vol);
    for (const auto& f : cardFiles()) copy += " " + quoted(f);
    test::run(copy + " ::/DCIM/");
    test::run("mkfs.fat -F 16 -n CARD " + quoted(vol) + " >/dev/null");  // the quick format
    test::run("dd if=" + quoted(vol) + " of=" + quoted(card) + " bs=1M seek=1 conv=notrunc status=none");
    std::filesystem::remove(vol);
    return card;
}

std::vector<char> bytesOf(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// How many carved files begin with the whole original.
int timesFound(const nlohmann::json& files, const std::vector<char>& original, std::string* relative = nullptr,
               const std::filesystem::path& out = {}) {
    int found = 0;
    for (const auto& f : files) {
        const std::filesystem::path path = f["path"].get<std::string>();
        if (f["bytes"].get<std::uint64_t>() < original.size()) continue;
        std::ifstream in(path, std::ios::binary);
        std::vector<char> head(original.size());
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        if (head != original) continue;
        ++found;
        if (relative) *relative = std::filesystem::relative(path, out).string();
    }
    return found;
}

TEST(CarveCli, EveryFileOfAQuickFormattedCardComesBackOnceAndWhole) {
    TempDir dir;
    const auto card = makeCard(dir);
    UnchangedGuard guard(card);
    const struct {
        const char* command;
        const char* extension;   // originals of this extension must be found
        const char* folderName;  // expected relative path, as a pattern
    } modes[] = {
        {"photo", ".jpg", R"(Snapmend/Photo Search/General/jpg/GNDR\d{5}\.jpg)"},
        {"raw", ".cr2", R"(Snapmend/Raw Search/General/CR2/CR2\d{5}\.CR2)"},
        {"raw", ".cr3", R"(Snapmend/Raw Search/General/CR3/CR3\d{5}\.CR3)"},
        {"raw", ".nef", R"(Snapmend/Raw Search/General/NEF/NEF\d{5}\.NEF)"},
        {"video", ".mov", R"(Snapmend/Video Search/General/MOV/MOV00001\.MOV)"},
    };
    std::map<std::string, nlohmann::json> runs;
    for (const auto& m : modes) {
        if (!runs.count(m.command)) {
            const auto out = dir / (std::string("out-") + m.command);
            const auto r = test::runCli(dir, std::string(m.command) + " " + quoted(card) + " --out " + quoted(out) + " --json");
            ASSERT_EQ(r.exitCode, 0) << r.err;
            runs[m.command] = nlohmann::json::parse(r.out);
            EXPECT_FALSE(runs[m.command]["stopped"].get<bool>());
        }
        const auto& doc = runs[m.command];
        const auto out = dir / (std::string("out-") + m.command);
        for (const auto& original : cardFiles()) {
            if (original.extension() != m.extension) continue;
            std::string where;
            EXPECT_EQ(timesFound(doc["files"], bytesOf(original), &where, out), 1) << m.command << " " << original;
            EXPECT_TRUE(std::regex_match(where, std::regex(m.folderName))) << where;
        }
    }
    // The summary counts what was listed, per type and pass.
    std::uint64_t listed = 0;
    for (const auto& t : runs["raw"]["types"]) listed += t["general"].get<std::uint64_t>() + t["thorough"].get<std::uint64_t>();
    EXPECT_EQ(listed, runs["raw"]["files"].size());
}

TEST(CarveCli, RandomAndTruncatedImagesCarveWithoutFault) {
    TempDir dir;
    const auto image = dir / "noise.img";
    std::mt19937 rng(11);
    std::vector<std::byte> noise(5 * 1024 * 1024 + 333);
    for (auto& b : noise) b = std::byte(rng() & 0xFF);
    // A photo cut short by the end of the image.
    const auto photo = bytesOf(kSource / "data/demo-photos/sony_mavica.jpg");
    const std::size_t at = noise.size() - 200000;
    const std::size_t sectorAt = (at / 512 + 1) * 512;
    std::memcpy(noise.data() + sectorAt, photo.data(), noise.size() - sectorAt);
    test::createImage(image, 0);
    test::writeAt(image, 0, noise);
    UnchangedGuard guard(image);
    for (const char* mode : {"photo", "video", "raw"}) {
        const auto out = dir / (std::string("out-") + mode);
        const auto r = test::runCli(dir, std::string(mode) + " " + quoted(image) + " --out " + quoted(out) + " --json");
        ASSERT_EQ(r.exitCode, 0) << mode << r.err;
        const auto doc = nlohmann::json::parse(r.out);
        if (std::string(mode) != "photo") continue;
        bool tail = false;
        for (const auto& f : doc["files"])
            if (f["startSector"].get<std::uint64_t>() * 512 == sectorAt) {
                tail = true;
                // Up to the image's last whole sector: a device has no partial sectors.
                EXPECT_EQ(f["bytes"].get<std::uint64_t>(), noise.size() / 512 * 512 - sectorAt);
            }
        EXPECT_TRUE(tail);
    }
}

TEST(CarveCli, RefusalsAndMissingDatabases) {
    TempDir dir;
    const auto image = dir / "small.img";
    test::createImage(image, 1024 * 1024);
    std::filesystem::create_directory(dir / "nodb");
    const struct {
        std::string args;
        int exitCode;
        const char* says;
    } cases[] = {
        {"photo " + quoted(image) + " --out o --signatures " + quoted(dir / "nodb"), 1,
         "Couldn't open source file: No such file or directory"},
        {"raw " + quoted(image) + " --out o --types CR2,XYZ", 2, "unknown type 'XYZ'"},
        {"video " + quoted(image) + " --out o --range 100:100", 2, "cannot be less than or equal"},
        {"photo " + quoted(image), 2, "needs --out DIR"},
        {"photo " + quoted(dir / "missing.img") + " --out o", 2, "missing.img"},
    };
    for (const auto& c : cases) {
        const auto r = test::runCli(dir, c.args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args << "\n" << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.args << "\n" << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "o"));
}

} // namespace
} // namespace snapmend
