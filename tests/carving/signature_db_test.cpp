#include "carving/signature_db.h"

#include <fstream>
#include <gtest/gtest.h>

#include "tests/support/test_media.h"

namespace snapmend::carving {
namespace {

using test::TempDir;

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string record(const std::string& ext, const std::string& size, const std::string& sig, const std::string& offset,
                   const std::string& description = "A type") {
    return "Extension:" + ext + "\r\nMax Size:" + size + "\r\nSignature:" + sig + "\r\nHeader Offset:" + offset +
           "\r\nReserved:x\r\nDescription:" + description + "\r\n";
}

TEST(RecordValue, TakesTextAfterLastColonTrimmed) {
    const struct {
        const char* line;
        const char* value;
    } cases[] = {
        {"Extension:.jpg", ".jpg"},
        {"  no colon here \t", "no colon here"},
        {"a:b:c: value ", "value"},
        {"Signature:", ""},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(recordValue(c.line), c.value) << c.line;
}

TEST(HexPairValue, DigitsInEitherCaseOthersCountZero) {
    const struct {
        const char* text;
        int value;
    } cases[] = {{"FF", 255}, {"d8", 216}, {"0a", 10}, {"A", 10}, {"C", 12}, {"G1", 1}, {"zz", 0}};
    for (const auto& c : cases) EXPECT_EQ(hexPairValue(c.text), c.value) << c.text;
}

TEST(LoadSignatureFile, ParsesRecordsAndKeepsOffsetsInFirstSeenOrder) {
    TempDir dir;
    writeFile(dir / "QSIGExt2.dll", record(".jpg", "20000000", "ffd8FF", "1") + record(".png", "5000", "89504E47", "1") +
                                        record(".mov", "7000", "6674797071742020", "5") +
                                        record(".odd", "10", "ABC", "1"));
    PhotoSignatureSets sets;
    const auto loaded = loadSignatureFile(dir.path(), "QSIGExt2.dll", "General", sets);
    ASSERT_TRUE(loaded) << loaded.error().detail;
    EXPECT_EQ(loaded->stored, 4u);
    EXPECT_TRUE(loaded->skipped.empty());
    const auto& set = sets.photoGeneralSet;
    ASSERT_EQ(set.records.size(), 4u);
    EXPECT_EQ(set.offsets, (std::vector<std::int32_t>{1, 5}));
    const FileType1& jpg = set.records[0];
    EXPECT_EQ(jpg.extension, ".jpg");
    EXPECT_EQ(jpg.signatureText, "FFD8FF");
    EXPECT_EQ(jpg.signatureLength, 3);
    EXPECT_EQ(jpg.firstByte, 255);
    EXPECT_EQ((std::vector<int>(jpg.signature.begin(), jpg.signature.begin() + 3)), (std::vector<int>{255, 216, 255}));
    EXPECT_EQ(jpg.maxSize(), 20000000u);
    const FileType1& odd = set.records[3];
    EXPECT_EQ(odd.signatureLength, 2);
    EXPECT_EQ(odd.signature[0], 171);
    EXPECT_EQ(odd.signature[1], 12);
    EXPECT_TRUE(sets.photoAdvanceSet.empty());
}

TEST(LoadSignatureFile, SkipsAndNamesRecordsOutsideTheFormat) {
    TempDir dir;
    const std::string tooLong(102, 'A');
    writeFile(dir / "db.dll", record(".ok", "100", "FFD8", "1") + record(".long", "100", tooLong, "1") +
                                  record(".zero", "100", "FFD8", "0") + record(".far", "100", "FFD8", "262144") +
                                  record(".empty", "100", "", "1") + record(".nosize", "abc", "FFD8", "1") +
                                  record(".last", "100", "FFD8", "262143") +
                                  "Extension:.cut\nMax Size:100\n");  // cut short at the end
    PhotoSignatureSets sets;
    const auto loaded = loadSignatureFile(dir.path(), "db.dll", "Advance", sets);
    ASSERT_TRUE(loaded);
    ASSERT_EQ(sets.photoAdvanceSet.records.size(), 2u);
    EXPECT_EQ(sets.photoAdvanceSet.records[0].extension, ".ok");
    EXPECT_EQ(sets.photoAdvanceSet.records[1].extension, ".last");
    EXPECT_EQ(sets.photoAdvanceSet.offsets, (std::vector<std::int32_t>{1, 262143}));
    ASSERT_EQ(loaded->skipped.size(), 6u);
    EXPECT_EQ(loaded->skipped[0], "db.dll line 7: skipped, a signature longer than 50 bytes");
    EXPECT_NE(loaded->skipped[5].find("line 43"), std::string::npos);
}

TEST(LoadSignatureFile, MissingFileGivesTheSystemReasonAndUnknownListIsRefused) {
    TempDir dir;
    PhotoSignatureSets sets;
    const auto missing = loadSignatureFile(dir.path(), "QSIGExt2.dll", "General", sets);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().detail, "Couldn't open source file: No such file or directory");
    writeFile(dir / "x.dll", record(".jpg", "1", "FF", "1"));
    EXPECT_EQ(loadSignatureFile(dir.path(), "x.dll", "Other", sets).error().code, Errc::InvalidArgument);
    EXPECT_TRUE(sets.photoGeneralSet.empty());
}

TEST(CheckSignatureFiles, NamesTheFirstFileThatDoesNotOpen) {
    TempDir dir;
    for (auto name : kSignatureFiles) writeFile(dir / std::string(name), "");
    EXPECT_TRUE(checkSignatureFiles(dir.path()));
    std::filesystem::remove(dir / "QSIGVideoAdv.dll");
    std::filesystem::create_directory(dir / "QSIGVideoAdv.dll");
    const auto checked = checkSignatureFiles(dir.path());
    ASSERT_FALSE(checked);
    EXPECT_EQ(checked.error().detail, "Couldn't open source file: Is a directory");
}

TEST(ExtensionList, OneRowPerExtensionAcrossBothFilesWithFirstDescription) {
    TempDir dir;
    writeFile(dir / "QSIGRaw.dll", record(".cr2", "1000", "49492A00", "1", "Canon RAW 2") +
                                       record(".nef", "1000", "4D4D002A", "1", "Nikon RAW") +
                                       record(".CR2", "1000", "4D4D002A", "1", "Canon again"));
    writeFile(dir / "QSIGRawAdv.dll", record(".cr2", "1000", "FF", "1", "later") + record(".x3f", "10", "464F5662", "1", "Sigma"));
    ExtensionList list;
    ASSERT_TRUE(fillExtensionList(list, dir.path(), "QSIGRaw.dll", "QSIGRawAdv.dll"));
    ASSERT_EQ(list.rows().size(), 3u);
    EXPECT_EQ(list.rows()[0].extension, "CR2");
    EXPECT_EQ(list.rows()[0].description, "Canon RAW 2");
    EXPECT_EQ(list.rows()[2].extension, "X3F");
    for (const auto& row : list.rows()) EXPECT_TRUE(row.ticked);
    EXPECT_FALSE(fillExtensionList(list, dir.path(), "QSIGRaw.dll", "missing.dll"));
}

TEST(LoadSelectedSignatures, KeepsOnlyTickedExtensionsUpperCasedAndAppends) {
    TempDir dir;
    writeFile(dir / "QSIGRaw.dll", record(".cr2", "1000", "49492a00", "1") + record(".nef", "1000", "4D4D002A", "9") +
                                       record(".cr2", "2000", "4949", "3"));
    ExtensionList list;
    list.rows() = {{"CR2", "", true}, {"NEF", "", false}};
    SignatureSet carveSet;
    carveSet.add(FileType1{.headerOffset = 7, .firstByte = 1, .signature = {1}, .signatureLength = 1,
                           .extension = ".X", .maxSizeText = "1", .signatureText = "01"});
    const auto loaded = loadSelectedSignatures(list, dir.path(), "QSIGRaw.dll", carveSet);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->stored, 2u);
    ASSERT_EQ(carveSet.records.size(), 3u);
    EXPECT_EQ(carveSet.records[1].extension, ".CR2");
    EXPECT_EQ(carveSet.records[1].signatureText, "49492A00");
    EXPECT_EQ(carveSet.records[2].maxSizeText, "2000");
    EXPECT_EQ(carveSet.offsets, (std::vector<std::int32_t>{7, 1, 3}));
}

} // namespace
} // namespace snapmend::carving
