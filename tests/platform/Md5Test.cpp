// MD5 through the system's hashing provider: known digests, and the same
// digest however the content is cut into pieces.
#include "platform/Md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Md5Of(const std::string& content)
{
    CMd5 md5;
    EXPECT_TRUE(md5.Update(content.data(), content.size()));
    return md5.FinishHex();
}

} // namespace

TEST(Md5, KnownDigests)
{
    // The test suite of RFC 1321.
    const struct
    {
        std::string content;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        // Bytes that are not text, a NUL among them.
        {std::string("\x00\xff\x80", 3), "4fd64cb80c3f86e1e9d0f559af8b370f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        EXPECT_EQ(c.digest, Md5Of(c.content));
    }
}

TEST(Md5, PiecesGiveTheDigestOfTheWhole)
{
    // Longer than one 64-byte block of the algorithm, cut at every position.
    std::string content;
    for (int i = 0; i < 1000; ++i)
        content.push_back(static_cast<char>(i * 7));
    const std::string whole = Md5Of(content);
    ASSERT_EQ(32u, whole.size());
    for (size_t cut = 0; cut <= content.size(); cut += 37) {
        CMd5 md5;
        ASSERT_TRUE(md5.Update(content.data(), cut));
        ASSERT_TRUE(md5.Update(content.data() + cut, 0)); // an empty piece changes nothing
        ASSERT_TRUE(md5.Update(content.data() + cut, content.size() - cut));
        EXPECT_EQ(whole, md5.FinishHex()) << "cut at " << cut;
    }
}

TEST(Md5, FinishStartsNewContent)
{
    CMd5 md5;
    ASSERT_TRUE(md5.Update("abc", 3));
    CMd5::Digest digest{};
    ASSERT_TRUE(md5.Finish(&digest));
    EXPECT_EQ(0x90, digest[0]);
    EXPECT_EQ(0x72, digest[15]);
    // Nothing added since: the digest of empty content.
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5.FinishHex());
    ASSERT_TRUE(md5.Update("a", 1));
    EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", md5.FinishHex());
}

TEST(BytesToHex, TwoLowerCaseDigitsPerByte)
{
    const unsigned char bytes[] = {0x00, 0x0a, 0xAB, 0xff};
    EXPECT_EQ("000aabff", BytesToHex(bytes, sizeof(bytes)));
    EXPECT_EQ("", BytesToHex(bytes, 0));
}
