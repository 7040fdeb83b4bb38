#include "carving/carve_passes.h"

#include <fstream>
#include <gtest/gtest.h>

#include "device/scan_target.h"
#include "tests/support/scripted_sink.h"
#include "tests/support/test_media.h"

namespace snapmend::carving {
namespace {

using test::TempDir;
constexpr std::uint64_t kS = 512;

TEST(CarvedOutput, NamesPathsAndTexts) {
    const struct {
        const char* prefix;
        const char* ext;
        std::uint64_t n;
        const char* name;
    } names[] = {
        {"GNDR", ".jpg", 1, "GNDR00001.jpg"},   {"GNDR", ".jpg", 9, "GNDR00009.jpg"},
        {"THDR", "jpg", 10, "THDR00010.jpg"},   {"CR2", ".CR2", 99999, "CR299999.CR2"},
        {"CR2", "CR2", 100000, "CR2100000.CR2"}, {"X", "x", 4294967296ull, "X4294967296.x"},
    };
    for (const auto& c : names) EXPECT_EQ(carvedFileName(c.prefix, c.ext, "", c.n), c.name);
    EXPECT_EQ(carvedFilePath("/d/", "Raw Search", "Omitted", "CR200003.CR2"), "/d/Snapmend/Raw Search/Omitted/CR2/CR200003.CR2");
    EXPECT_EQ(carvedFilePath("/d", "Photo Search", "General", "GNDR00001.jpg"),
              "/d/Snapmend/Photo Search/General/jpg/GNDR00001.jpg");
    EXPECT_EQ(carvedTypeFolder("GNDR00001_a.jpg"), "jpg_a");
    EXPECT_EQ(carvedTypeFolder("_GNDR.jpg"), "jpg");
    EXPECT_EQ(resultsLocationText("Raw"),
              "The results of Primary Scanning are saved in folder: Snapmend >> Raw Search >> General, in selected "
              "location by user and (if selected) Thorough Scanning results are saved in folder: Snapmend >> Raw "
              "Search >> Omitted, in the same path.");
}

TEST(CarvedOutput, NeverOverwritesAndKeepsDatabaseNamesInsideTheTree) {
    TempDir dir;
    CarvedOutputTree tree(dir.path().string(), CarveMode::Photo);
    auto first = tree.create(CarvePass::General, "GNDR00001.jpg");
    ASSERT_TRUE(first.file);
    auto second = tree.create(CarvePass::General, "GNDR00001.jpg");
    ASSERT_TRUE(second.file);
    EXPECT_EQ(second.path, (dir / "Snapmend/Photo Search/General/jpg/GNDR00001_dd_1.jpg").string());
    auto hostile = tree.create(CarvePass::Thorough, "THDR00001./../../x");
    ASSERT_TRUE(hostile.file);
    EXPECT_EQ(hostile.path.rfind((dir / "Snapmend/Photo Search/Omitted/").string(), 0), 0u) << hostile.path;
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string record(const std::string& ext, const std::string& sig, const std::string& description = "d") {
    return "Extension:" + ext + "\nMax Size:100000000\nSignature:" + sig + "\nHeader Offset:1\nFooter:\nDescription:" +
           description + "\n";
}

struct Card {
    TempDir dir;
    std::filesystem::path image = dir / "card.img";
    device::DeviceMap devices;
    test::ScriptedSink sink;
    std::vector<CarvedFile> files;

    explicit Card(const std::vector<std::pair<std::uint64_t, std::string>>& headers) {
        test::createImage(image, 4096 * kS);
        for (const auto& [sector, hex] : headers) {
            std::vector<std::byte> b;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2) b.push_back(std::byte(std::stoi(hex.substr(i, 2), nullptr, 16)));
            test::writeAt(image, sector * kS, b);
        }
        EXPECT_TRUE(devices.attachDisk(image.string()));
    }
    CarveRun run(bool thorough = true) {
        CarveRun r;
        r.devices = &devices;
        r.devicePath = device::DevicePathTable[0];
        r.lastSector = 4095;
        r.destination = (dir / "out").string();
        r.thorough = thorough;
        r.onFile = [this](const CarvedFile& f) { files.push_back(f); };
        return r;
    }
    std::vector<std::string> relativePaths() const {
        std::vector<std::string> out;
        for (const auto& f : files) out.push_back(std::filesystem::relative(f.savedPath, dir / "out").string());
        return out;
    }
};

TEST(PhotoSearch, GeneralThenThoroughEachNumberedFromOne) {
    for (const bool thorough : {true, false}) {
        Card card({{10, "FFD8FFE1"}, {100, "89504E47"}, {200, "FFD8FFE1"}});
        PhotoSignatureSets sets;
        sets.photoGeneralSet.add([] {
            FileType1 r;
            r.extension = ".jpg";
            r.maxSizeText = "100000000";
            r.headerOffset = 1;
            r.signature = {0xFF, 0xD8, 0xFF, 0xE1};
            r.signatureLength = 4;
            r.firstByte = 0xFF;
            return r;
        }());
        FileType1 png = sets.photoGeneralSet.records[0];
        png.extension = ".png";
        png.signature = {0x89, 0x50, 0x4E, 0x47};
        png.firstByte = 0x89;
        sets.photoAdvanceSet.add(png);
        test::UnchangedGuard guard(card.image);
        const auto report = runPhotoSearch(sets, card.run(thorough), card.sink, {});
        ASSERT_TRUE(report);
        EXPECT_EQ(report->thoroughRan, thorough);
        std::vector<std::string> expected = {"Snapmend/Photo Search/General/jpg/GNDR00001.jpg",
                                             "Snapmend/Photo Search/General/jpg/GNDR00002.jpg"};
        if (thorough) expected.push_back("Snapmend/Photo Search/Omitted/png/THDR00001.png");
        EXPECT_EQ(card.relativePaths(), expected);
        EXPECT_EQ(report->generalCount, 2u);
        EXPECT_EQ(report->thoroughCount, thorough ? 1u : 0u);
        ASSERT_EQ(report->types.size(), 2u);
        EXPECT_EQ(report->types[0].extension, "jpg");
        EXPECT_EQ(report->containingFolder, (card.dir / "out/Snapmend/Photo Search").string());
    }
}

TEST(PhotoSearch, StopInTheGeneralPassSkipsTheThoroughPassAndBadRangeIsRefused) {
    Card card({{10, "FFD8FF"}});
    PhotoSignatureSets sets;
    TempDir db;
    writeFile(db / "g.dll", record(".jpg", "FFD8FF"));
    writeFile(db / "a.dll", record(".jpg", "FFD8FF"));
    ASSERT_TRUE(loadSignatureFile(db.path(), "g.dll", "General", sets));
    ASSERT_TRUE(loadSignatureFile(db.path(), "a.dll", "Advance", sets));
    std::stop_source stop;
    stop.request_stop();
    const auto stopped = runPhotoSearch(sets, card.run(), card.sink, stop.get_token());
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(stopped->stopped);
    EXPECT_FALSE(stopped->thoroughRan);

    auto run = card.run();
    run.firstSector = run.lastSector = 7;
    const auto refused = runPhotoSearch(sets, run, card.sink, {});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().detail, device::kEndSectorRefused);
}

TEST(SignatureSearch, NumbersRunOnIntoTheThoroughPassForTickedTypesOnly) {
    // Two CR2 files of the General form, one of a form only the Thorough file knows, and a NEF
    // that is not ticked.
    Card card({{10, "49492A0010000000435202"}, {50, "49492A0010000000435202"}, {90, "4949524F"}, {130, "4D4D002A"}});
    TempDir db;
    writeFile(db / "QSIGRaw.dll", record(".cr2", "49492A00100000004352") + record(".nef", "4D4D002A", "Nikon"));
    writeFile(db / "QSIGRawAdv.dll", record(".cr2", "4949524F") + record(".x3f", "464F5662", "Sigma"));
    ExtensionList list;
    ASSERT_TRUE(fillExtensionList(list, db.path(), "QSIGRaw.dll", "QSIGRawAdv.dll"));
    list.find("NEF")->ticked = false;
    SignatureSet carveSet;
    test::UnchangedGuard guard(card.image);
    const auto report = runSignatureSearch(CarveMode::Raw, db.path(), list, carveSet, card.run(), card.sink, {});
    ASSERT_TRUE(report) << report.error().detail;
    EXPECT_EQ(card.relativePaths(), (std::vector<std::string>{"Snapmend/Raw Search/General/CR2/CR200001.CR2",
                                                              "Snapmend/Raw Search/General/CR2/CR200002.CR2",
                                                              "Snapmend/Raw Search/Omitted/CR2/CR200003.CR2"}));
    ASSERT_EQ(report->types.size(), 2u);  // CR2 and X3F are ticked
    EXPECT_EQ(report->types[0].extension, "CR2");
    EXPECT_EQ(report->types[0].general, 2u);
    EXPECT_EQ(report->types[0].thorough, 1u);
    EXPECT_EQ(report->types[1].general + report->types[1].thorough, 0u);
    EXPECT_EQ(carveSet.records.size(), 2u);  // the Thorough records stay until "Back"

    list.tickAll(false);
    const auto none = runSignatureSearch(CarveMode::Raw, db.path(), list, carveSet, card.run(), card.sink, {});
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().detail, kNoExtensionTicked);
    list.tickAll(true);
    std::filesystem::remove(db / "QSIGRawAdv.dll");
    const auto missing = runSignatureSearch(CarveMode::Raw, db.path(), list, carveSet, card.run(), card.sink, {});
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().detail, "Couldn't open source file: No such file or directory");
}

} // namespace
} // namespace snapmend::carving
