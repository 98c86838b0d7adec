// The rules that the engine and the publishing tool share.
#include "update/ManifestFormat.h"

#include <gtest/gtest.h>

TEST(ManifestFormat, Md5DigestIsExactly32HexadecimalDigits)
{
    const struct
    {
        const char* text;
        bool digest;
    } cases[] = {
        {"d41d8cd98f00b204e9800998ecf8427e", true},
        {"D41D8CD98F00B204E9800998ECF8427E", true},
        {"0123456789abcdefABCDEF0123456789", true},
        {"", false},
        {"d41d8cd98f00b204e9800998ecf8427", false},   // 31
        {"d41d8cd98f00b204e9800998ecf8427e0", false}, // 33
        {"d41d8cd98f00b204e9800998ecf8427g", false},
        {"d41d8cd98f00b204e9800998ecf8427 ", false},
        {"0xd41d8cd98f00b204e9800998ecf842", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.digest, IsMd5Digest(c.text)) << '"' << c.text << '"';
}

TEST(ManifestFormat, SameMd5DigestIgnoresLetterCaseOnly)
{
    EXPECT_TRUE(SameMd5Digest("d41d8cd98f00b204e9800998ecf8427e", "D41D8CD98F00B204E9800998ECF8427E"));
    EXPECT_FALSE(SameMd5Digest("d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427f"));
    EXPECT_FALSE(SameMd5Digest("d41d8cd98f00b204e9800998ecf8427e", "d41d8cd98f00b204e9800998ecf8427"));
    EXPECT_FALSE(SameMd5Digest("", ""));
    EXPECT_FALSE(SameMd5Digest("zz", "zz"));
}
