#include <gtest/gtest.h>

#include "fsrecovery/file_type.h"

namespace snapmend::fsrecovery {
namespace {

TEST(FileType, NamesTheTypeOfAnExtension) {
    struct Case {
        std::string_view extension, type;
    };
    const Case cases[] = {
        {".JPG", "Image File"},
        {".jpg", "Image File"},
        {".Jpg", "JPG File"},  // mixed spelling matches no key
        {".docx", "Microsoft Word File"},
        {".DOCX", "Microsoft Word File"},
        {".pps", "Microsoft Power Point File"},
        {".7z", "Winzip File"},
        {".3GP", "Video File"},
        {".mp3", "Sound file"},
        {".c", "C++ file"},
        {".h", "Header file"},
        {".log", "Text file"},
        {".TORRENT", "BitTorrent File"},
        {".contact", "Contact File"},
        {".xyz", "XYZ File"},
        {".jpe", "JPE File"},  // a prefix of a key is no match
        {"", "File"},
        {"  ", "File"},
    };
    for (const auto& c : cases) EXPECT_EQ(FileTypeText(c.extension, "name"), c.type) << c.extension;
}

TEST(FileType, FindsTheExtensionAfterTheLastDot) {
    struct Case {
        std::string_view name, extension;
    };
    const Case cases[] = {
        {"photo.jpg", ".jpg"},
        {"archive.tar.gz", ".gz"},
        {"Holiday at the lake.jpg", ".jpg"},
        {"README", ""},
        {"version 1.0 final", ""},  // a blank after the dot: no extension
        {"trailing.", "."},
    };
    for (const auto& c : cases) EXPECT_EQ(fileExtension(c.name), c.extension) << c.name;
}

} // namespace
} // namespace snapmend::fsrecovery
