// MD5 of four contents side by side, against the known digests and against
// the system's provider for contents fed in pieces of every kind: side by
// side or alone, at a block boundary or not, with lanes idle or ending.
#include "platform/Md5.h"
#include "platform/Md5Lanes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string ProviderMd5(const std::string& content)
{
    CMd5 md5;
    EXPECT_TRUE(md5.Update(content.data(), content.size()));
    return md5.FinishHex();
}

std::string Content(size_t size, unsigned seed)
{
    std::string content(size, '\0');
    unsigned value = seed * 2654435761u + 1;
    for (char& byte : content) {
        value = value * 1103515245u + 12345u;
        byte = static_cast<char>(value >> 16);
    }
    return content;
}

} // namespace

TEST(Md5Lanes, KnownDigestsInEveryLane)
{
    const struct
    {
        std::string content;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    CMd5Lanes lanes;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        for (int lane = 0; lane < CMd5Lanes::kLanes; ++lane) {
            lanes.Update(lane, c.content.data(), c.content.size());
            EXPECT_EQ(c.digest, lanes.FinishHex(lane)) << "lane " << lane;
        }
    }
}

TEST(Md5Lanes, PaddingAtEveryLengthAroundABlock)
{
    // The length field goes into the last block or, from 56 bytes on, a block of its own.
    CMd5Lanes lanes;
    for (size_t size = 0; size <= 200; ++size) {
        const std::string content = Content(size, static_cast<unsigned>(size));
        lanes.Update(size % 4, content.data(), content.size());
        EXPECT_EQ(ProviderMd5(content), lanes.FinishHex(size % 4)) << "size " << size;
    }
}

TEST(Md5Lanes, SideBySideGivesEachContentsOwnDigest)
{
    // Each row feeds the lanes the same way: pieces of one size, side by side,
    // with a piece fed to one lane alone first (so that lane is off a block
    // boundary), and some lanes idle.
    const struct
    {
        const char* what;
        size_t sizes[CMd5Lanes::kLanes]; // 0: the lane is idle
        size_t piece;
        int offBoundaryLane; // -1: none
        size_t offBy;
    } cases[] = {
        {"four lanes, whole blocks", {4096, 4096, 4096, 4096}, 1024, -1, 0},
        {"four lanes, pieces not whole blocks", {5000, 5000, 5000, 5000}, 1000, -1, 0},
        {"lanes of other lengths", {100000, 64, 1, 70000}, 4096, -1, 0},
        {"two lanes, two idle", {9000, 0, 9000, 0}, 640, -1, 0},
        {"one lane alone", {0, 0, 3000, 0}, 512, -1, 0},
        {"one lane off a block boundary", {8192, 8192, 8192, 8192}, 2048, 1, 10},
        {"a lane ends in a short piece", {262144, 262144 + 7, 262144, 31}, 65536, -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string contents[CMd5Lanes::kLanes];
        size_t fed[CMd5Lanes::kLanes] = {};
        CMd5Lanes lanes;
        for (int lane = 0; lane < CMd5Lanes::kLanes; ++lane)
            contents[lane] = Content(c.sizes[lane], 100 + lane);
        if (c.offBoundaryLane >= 0) {
            lanes.Update(c.offBoundaryLane, contents[c.offBoundaryLane].data(), c.offBy);
            fed[c.offBoundaryLane] = c.offBy;
        }
        // Side by side as the stager does: the length all busy lanes have in
        // common together, the rest of each lane's piece alone.
        for (;;) {
            const unsigned char* data[CMd5Lanes::kLanes] = {};
            size_t pieces[CMd5Lanes::kLanes] = {};
            size_t common = 0;
            bool any = false;
            for (int lane = 0; lane < CMd5Lanes::kLanes; ++lane) {
                if (fed[lane] >= contents[lane].size())
                    continue;
                pieces[lane] = std::min(c.piece, contents[lane].size() - fed[lane]);
                data[lane] = reinterpret_cast<const unsigned char*>(contents[lane].data()) + fed[lane];
                common = any ? std::min(common, pieces[lane]) : pieces[lane];
                any = true;
            }
            if (!any)
                break;
            lanes.UpdateTogether(data, common);
            for (int lane = 0; lane < CMd5Lanes::kLanes; ++lane) {
                if (data[lane] == nullptr)
                    continue;
                lanes.Update(lane, data[lane] + common, pieces[lane] - common);
                fed[lane] += pieces[lane];
            }
        }
        for (int lane = 0; lane < CMd5Lanes::kLanes; ++lane)
            EXPECT_EQ(ProviderMd5(contents[lane]), lanes.FinishHex(lane)) << "lane " << lane;
    }
}

TEST(Md5Lanes, FinishStartsNewContentInThatLaneOnly)
{
    const std::string first = Content(300, 1);
    const std::string second = Content(700, 2);
    CMd5Lanes lanes;
    lanes.Update(0, first.data(), first.size());
    lanes.Update(1, second.data(), 100);
    EXPECT_EQ(ProviderMd5(first), lanes.FinishHex(0));
    lanes.Update(1, second.data() + 100, second.size() - 100);
    EXPECT_EQ(ProviderMd5(second), lanes.FinishHex(1));
    EXPECT_EQ(ProviderMd5(std::string()), lanes.FinishHex(0));
}
