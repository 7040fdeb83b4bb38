#include <gtest/gtest.h>

#include "saving/safe_name.h"

namespace snapmend::saving {
namespace {

TEST(SafeComponent, NamesFromAMediumStayOneComponent) {
    struct Case {
        const char* name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"ordinary", "IMG_0001.JPG", "IMG_0001.JPG"},
        {"empty", "", "_"},
        {"dot", ".", "_"},
        {"dot dot", "..", "_"},
        {"three dots are a name", "...", "..."},
        {"traversal", "../../etc/passwd", ".._.._etc_passwd"},
        {"backslash", "a\\b", "a_b"},
        {"control characters", std::string("a\x01\x1f\x7f", 4) + "b", "a___b"},
        {"embedded NUL", std::string("a\0b", 3), "a_b"},
        {"trailing dots and spaces kept", "name. ", "name. "},
        {"non-ASCII kept", "caf\xc3\xa9.jpg", "caf\xc3\xa9.jpg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(safeComponent(c.in), c.out);
    }
}

TEST(SafeComponent, LongNamesAreCutOnACharacterBoundaryKeepingTheExtension) {
    std::string stem;
    for (int i = 0; i < 200; ++i) stem += "\xc3\xa9";  // 400 bytes of two-byte characters
    const std::string out = safeComponent(stem + ".jpeg");
    EXPECT_LE(out.size(), kMaxComponentBytes);
    EXPECT_TRUE(out.ends_with("\xc3\xa9.jpeg"));
    EXPECT_EQ((out.size() - 5) % 2, 0u);
}

TEST(IsInside, OnlyPathsBelowTheFolder) {
    struct Case {
        const char* path;
        bool inside;
    };
    const Case cases[] = {
        {"/dest/a", true},     {"/dest/a/b/c", true}, {"/dest", false},         {"/dest/", false},
        {"/dest/../x", false}, {"/destx/a", false},   {"/dest/a/../../x", false}, {"/other", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(isInside("/dest", c.path), c.inside);
        EXPECT_EQ(isInside("/dest/", c.path), c.inside);
    }
}

} // namespace
} // namespace snapmend::saving
