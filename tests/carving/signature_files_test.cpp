// The six shipped signature databases: every record must load, and the first sector of each real
// camera file must start exactly one file of its intended type in one pass of its mode.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "carving/signature_db.h"

namespace snapmend::carving {
namespace {

const std::filesystem::path kDatabases = std::filesystem::path(SNAPMEND_SOURCE_DIR) / "data" / "signatures";
const std::filesystem::path kSamples = std::filesystem::path(SNAPMEND_SOURCE_DIR) / "tests" / "data" / "signatures";

constexpr std::size_t kSectorBytes = 512;
// Shorter signatures would start files all over a card.
constexpr int kMinSignatureBytes = 4;

enum class Mode { Photo, Video, Raw };

struct ModeFiles {
    Mode mode;
    const char* name;
    std::string_view general;
    std::string_view thorough;
};

constexpr ModeFiles kModes[] = {
    {Mode::Photo, "Photo", kPhotoGeneralFile, kPhotoThoroughFile},
    {Mode::Video, "Video", kVideoGeneralFile, kVideoThoroughFile},
    {Mode::Raw, "Raw", kRawGeneralFile, kRawThoroughFile},
};

const ModeFiles& filesOf(Mode mode) {
    return *std::find_if(std::begin(kModes), std::end(kModes), [mode](const ModeFiles& m) { return m.mode == mode; });
}

struct ModeSets {
    SignatureSet general;
    SignatureSet thorough;
    LoadOutcome generalOutcome;
    LoadOutcome thoroughOutcome;
};

// Loads both files of a mode the way the searches do: Photo as written, Video and Raw with every
// extension of the list ticked.
ModeSets loadMode(const ModeFiles& files) {
    ModeSets out;
    if (files.mode == Mode::Photo) {
        PhotoSignatureSets sets;
        auto general = loadSignatureFile(kDatabases, files.general, "General", sets);
        auto thorough = loadSignatureFile(kDatabases, files.thorough, "Advance", sets);
        if (!general || !thorough) {
            ADD_FAILURE() << files.name << ": a database did not load";
            return out;
        }
        out.general = std::move(sets.photoGeneralSet);
        out.thorough = std::move(sets.photoAdvanceSet);
        out.generalOutcome = *general;
        out.thoroughOutcome = *thorough;
        return out;
    }
    ExtensionList list;
    const auto filled = fillExtensionList(list, kDatabases, files.general, files.thorough);
    auto general = loadSelectedSignatures(list, kDatabases, files.general, out.general);
    auto thorough = loadSelectedSignatures(list, kDatabases, files.thorough, out.thorough);
    if (!filled || !general || !thorough) {
        ADD_FAILURE() << files.name << ": a database did not load";
        return out;
    }
    out.generalOutcome = *general;
    out.thoroughOutcome = *thorough;
    return out;
}

std::vector<std::string> fileLines(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::uint8_t> firstSector(const std::string& sample) {
    std::ifstream in(kSamples / sample, std::ios::binary);
    EXPECT_TRUE(in) << "missing sample " << sample;
    std::vector<std::uint8_t> sector((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    sector.resize(kSectorBytes, 0);
    return sector;
}

// The extensions of every record whose signature stands at its header offset of this sector.
std::vector<std::string> matchingExtensions(const SignatureSet& set, const std::vector<std::uint8_t>& sector) {
    std::vector<std::string> found;
    for (const FileType1& r : set.records) {
        const std::size_t start = static_cast<std::size_t>(r.headerOffset - 1);
        if (r.signatureLength < 1 || start + static_cast<std::size_t>(r.signatureLength) > sector.size()) continue;
        bool equal = true;
        for (int i = 0; i < r.signatureLength && equal; ++i) equal = sector[start + i] == r.signature[i];
        if (equal) found.push_back(r.extension);
    }
    return found;
}

TEST(ShippedSignatures, EveryRecordIsInTheFormat) {
    const auto checked = checkSignatureFiles(kDatabases);
    ASSERT_TRUE(checked) << checked.error().detail;

    for (const ModeFiles& files : kModes) {
        const ModeSets sets = loadMode(files);
        const std::pair<std::string_view, const LoadOutcome*> loads[] = {{files.general, &sets.generalOutcome},
                                                                          {files.thorough, &sets.thoroughOutcome}};
        for (const auto& [file, outcome] : loads) {
            const auto lines = fileLines(kDatabases / std::string(file));
            ASSERT_FALSE(lines.empty()) << file;
            EXPECT_EQ(lines.size() % 6, 0u) << file << ": records are six lines each";
            EXPECT_EQ(outcome->stored, lines.size() / 6) << file;
            for (const auto& why : outcome->skipped) ADD_FAILURE() << why;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                // A second colon would cut the value, most easily in a description.
                EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ':'), 1) << file << " line " << i + 1;
                if (i % 6 == 0) {
                    const auto colon = lines[i].find(':');
                    EXPECT_EQ(lines[i].substr(colon + 1, 1), ".") << file << " line " << i + 1
                                                                  << ": the dot must follow the colon";
                }
            }
        }
        for (const SignatureSet* set : {&sets.general, &sets.thorough}) {
            for (const FileType1& r : set->records) {
                EXPECT_GE(r.signatureLength, kMinSignatureBytes) << files.name << " " << r.extension;
                EXPECT_EQ(r.signatureText.size(), 2u * static_cast<std::size_t>(r.signatureLength))
                    << files.name << " " << r.extension << ": odd number of hex digits in " << r.signatureText;
                EXPECT_EQ(r.signatureText.find_first_not_of("0123456789ABCDEF"), std::string::npos)
                    << files.name << " " << r.extension << ": " << r.signatureText;
                // Below one window every file of the type would end after its first window.
                EXPECT_GE(r.maxSize(), kReadWindowBytes) << files.name << " " << r.extension;
                EXPECT_LE(static_cast<std::size_t>(r.headerOffset - 1 + r.signatureLength), kSectorBytes)
                    << files.name << " " << r.extension << ": the signature must lie in the header sector";
            }
        }
    }
}

// The extension list shows one row per extension with its first record's description, and Photo
// Search names its type folders after the extension as written.
TEST(ShippedSignatures, AnExtensionIsSpelledAndDescribedOneWayPerMode) {
    for (const ModeFiles& files : kModes) {
        std::map<std::string, std::pair<std::string, std::string>> seen;  // lower-case key -> spelling, description
        for (std::string_view file : {files.general, files.thorough}) {
            const auto lines = fileLines(kDatabases / std::string(file));
            for (std::size_t i = 0; i + 5 < lines.size(); i += 6) {
                const std::string extension = recordValue(lines[i]);
                const std::string description = recordValue(lines[i + 5]);
                EXPECT_FALSE(description.empty()) << file << " " << extension;
                const auto [it, added] = seen.try_emplace(lower(extension), extension, description);
                if (added) continue;
                EXPECT_EQ(it->second.first, extension) << files.name << ": one extension, two spellings";
                if (files.mode != Mode::Photo) {
                    EXPECT_EQ(it->second.second, description) << files.name << " " << extension;
                }
            }
        }
    }
}

// Video and Raw Search start a file for every record that matches, and both passes scan the same
// range, so two records of a mode that agree wherever they overlap would carve one file twice.
TEST(ShippedSignatures, NoTwoRecordsOfAModeAgreeWhereTheyOverlap) {
    for (const ModeFiles& files : kModes) {
        const ModeSets sets = loadMode(files);
        std::vector<const FileType1*> all;
        for (const SignatureSet* set : {&sets.general, &sets.thorough}) {
            for (const FileType1& r : set->records) all.push_back(&r);
        }
        for (std::size_t a = 0; a < all.size(); ++a) {
            for (std::size_t b = a + 1; b < all.size(); ++b) {
                const FileType1& x = *all[a];
                const FileType1& y = *all[b];
                const int from = std::max(x.headerOffset, y.headerOffset);
                const int to = std::min(x.headerOffset + x.signatureLength, y.headerOffset + y.signatureLength);
                if (from >= to) continue;
                bool agree = true;
                for (int pos = from; pos < to && agree; ++pos) {
                    agree = x.signature[pos - x.headerOffset] == y.signature[pos - y.headerOffset];
                }
                EXPECT_FALSE(agree) << files.name << ": " << x.extension << " " << x.signatureText << " at "
                                    << x.headerOffset << " and " << y.extension << " " << y.signatureText << " at "
                                    << y.headerOffset;
            }
        }
    }
}

TEST(ShippedSignatures, RealFirstSectorsStartOnlyTheirType) {
    // Expected extension per pass as the loaders store it; empty means no record of that pass.
    const struct {
        const char* sample;
        Mode mode;
        const char* general;
        const char* thorough;
    } cases[] = {
        {"apple_iphone4.jpg.head", Mode::Photo, ".jpg", ""},  // JFIF
        {"samsung_sm-j327t1.jpg.head", Mode::Photo, ".jpg", ""},
        {"canon_powershot_s40.jpg.head", Mode::Photo, ".jpg", ""},  // Exif, Intel order
        {"casio_ex-z3.jpg.head", Mode::Photo, ".jpg", ""},          // Exif, Motorola order
        {"sony_dcr-pc100_zero-padded.jpg.head", Mode::Photo, ".jpg", ""},
        // The Exif thumbnail begins a sector inside the photo: a General match would cut the photo there.
        {"canon_powershot_s40.jpg.sector4", Mode::Photo, "", ".jpg"},

        {"exiftool_CanonRaw.cr2.head", Mode::Raw, ".CR2", ""},
        {"exiftool_CanonRaw.cr3.head", Mode::Raw, ".CR3", ""},
        // The CR3's Exif record is a TIFF header that begins a sector: a match would cut the CR3 there.
        {"exiftool_CanonRaw.cr3.sector26", Mode::Raw, "", ""},
        {"exiftool_CanonRaw.crw.head", Mode::Raw, "", ".CRW"},
        {"exiftool_Nikon.nef.head", Mode::Raw, ".NEF", ""},
        // Plain TIFF RAWs share the NEF header in either byte order.
        {"exiftool_DNG.dng.head", Mode::Raw, ".NEF", ""},
        {"gopro_hero6_GOPR0024.GPR.head", Mode::Raw, ".NEF", ""},
        {"exiftool_FujiFilm.raf.head", Mode::Raw, ".RAF", ""},
        {"exiftool_Panasonic.rw2.head", Mode::Raw, ".RW2", ""},
        {"exiftool_Minolta.mrw.head", Mode::Raw, "", ".MRW"},
        {"exiftool_PhaseOne.iiq.head", Mode::Raw, "", ".IIQ"},
        {"exiftool_Sigma.x3f.head", Mode::Raw, "", ".X3F"},

        {"gopro_max_heromode.mp4.head", Mode::Video, ".MP4", ""},
        {"phone_3gp5_mdat-first.mp4.head", Mode::Video, ".3GP", ""},  // named by its 3gp5 brand
        {"apple_iphone6_with-gps.mov.head", Mode::Video, ".MOV", ""},
        {"exiftool_QuickTime.mov.head", Mode::Video, "", ".MOV"},  // no ftyp, moov first
        {"canon_MVI_4823.AVI.head", Mode::Video, ".AVI", ""},
        {"exiftool_Pentax.avi.head", Mode::Video, ".AVI", ""},
        {"exiftool_RIFF.avi.head", Mode::Video, ".AVI", ""},
        {"sony_ilce-7m3.mts.head", Mode::Video, ".MTS", ""},
        {"exiftool_M2TS.mts.head", Mode::Video, ".MTS", ""},
        {"exiftool_ASF.wmv.head", Mode::Video, ".WMV", ""},
        {"exiftool_Matroska.mkv.head", Mode::Video, "", ".MKV"},
        {"exiftool_DV.dv.head", Mode::Video, "", ".DV"},
    };
    std::map<Mode, ModeSets> loaded;
    for (const ModeFiles& files : kModes) loaded.emplace(files.mode, loadMode(files));

    for (const auto& c : cases) {
        const auto sector = firstSector(c.sample);
        const ModeSets& sets = loaded.at(c.mode);
        const auto expected = [](const char* extension) {
            return *extension ? std::vector<std::string>{extension} : std::vector<std::string>{};
        };
        EXPECT_EQ(matchingExtensions(sets.general, sector), expected(c.general))
            << c.sample << " in " << filesOf(c.mode).general;
        EXPECT_EQ(matchingExtensions(sets.thorough, sector), expected(c.thorough))
            << c.sample << " in " << filesOf(c.mode).thorough;
    }
}

} // namespace
} // namespace snapmend::carving
