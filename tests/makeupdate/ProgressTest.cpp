// The progress line: shown only once work has lasted a moment, changed a few
// times a second at most, erased at the end; sizes in readable units.
#include "makeupdate/Progress.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A clock the test moves and the lines the progress showed.
struct CFakeConsole
{
    ULONGLONG now = 0;
    std::vector<std::wstring> shown;
    int clears = 0;

    CProgressOutput Output()
    {
        return CProgressOutput{[](void* self) { return static_cast<CFakeConsole*>(self)->now; },
                               [](void* self, const std::wstring& line) {
                                   static_cast<CFakeConsole*>(self)->shown.push_back(line);
                               },
                               [](void* self) { ++static_cast<CFakeConsole*>(self)->clears; }, this};
    }
};

const uint64_t kMiB = 1ULL << 20;

} // namespace

TEST(Progress, LongWork_ShownAfterTheFirstSecondThenAtMostEveryQuarter)
{
    CFakeConsole console;
    CProgress progress(console.Output());
    progress.BeginFile(L"copying", 1, 2, L"big.bin", 4096 * kMiB);
    console.now = 999;
    progress.Advance(kMiB);
    EXPECT_EQ(std::vector<std::wstring>(), console.shown);

    console.now = 1000;
    progress.Advance(kMiB);
    console.now = 1249;
    progress.Advance(kMiB);
    EXPECT_EQ(std::vector<std::wstring>{L"copying 1 of 2: big.bin, 2.0 MiB of 4.0 GiB (0%)"}, console.shown);

    console.now = 1250;
    progress.Advance(2045 * kMiB);
    // The next file: its line waits for the interval too.
    console.now = 1300;
    progress.BeginFile(L"copying", 2, 2, L"small.txt", 0);
    console.now = 1500;
    progress.Advance(0);
    const std::vector<std::wstring> expected = {
        L"copying 1 of 2: big.bin, 2.0 MiB of 4.0 GiB (0%)",
        L"copying 1 of 2: big.bin, 2.0 GiB of 4.0 GiB (50%)",
        L"copying 2 of 2: small.txt, 0 bytes of 0 bytes",
    };
    EXPECT_EQ(expected, console.shown);
    EXPECT_EQ(0, console.clears);
    progress.Finish();
    EXPECT_EQ(1, console.clears);
    progress.Finish();
    EXPECT_EQ(1, console.clears);
}

TEST(Progress, ShortWork_NothingShownNothingErased)
{
    CFakeConsole console;
    {
        CProgress progress(console.Output());
        for (size_t file = 1; file <= 3; ++file) {
            console.now += 300;
            progress.BeginFile(L"hashing", file, 3, L"f", 10);
            progress.Advance(10);
        }
    } // finished by its destructor
    EXPECT_EQ(std::vector<std::wstring>(), console.shown);
    EXPECT_EQ(0, console.clears);
}

TEST(Progress, AfterFinish_TheNextWorkWaitsItsOwnSecond)
{
    CFakeConsole console;
    CProgress progress(console.Output());
    progress.BeginFile(L"comparing", 1, 1, L"a", 100);
    console.now = 5000;
    progress.Advance(50);
    ASSERT_EQ(1u, console.shown.size());
    progress.Finish();
    progress.BeginFile(L"copying", 1, 1, L"a", 100);
    console.now = 5999;
    progress.Advance(50);
    EXPECT_EQ(1u, console.shown.size());
    console.now = 6000;
    progress.Advance(50);
    ASSERT_EQ(2u, console.shown.size());
    EXPECT_EQ(L"copying 1 of 1: a, 100 bytes of 100 bytes (100%)", console.shown[1]);
    // Advance before any file is begun shows nothing.
    CFakeConsole idle;
    CProgress unused(idle.Output());
    idle.now = 10000;
    unused.Advance(1);
    EXPECT_EQ(std::vector<std::wstring>(), idle.shown);
}

TEST(SizeText, UnitsAndTheirBoundaries)
{
    const struct
    {
        uint64_t bytes;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 bytes"},
        {1, L"1 byte"},
        {1023, L"1023 bytes"},
        {1024, L"1.0 KiB"},
        {1535, L"1.4 KiB"}, // rounded down
        {1536, L"1.5 KiB"},
        {kMiB - 1, L"1023.9 KiB"},
        {kMiB, L"1.0 MiB"},
        {(4ULL << 30) - 1, L"3.9 GiB"},
        {4ULL << 30, L"4.0 GiB"},
        {1ULL << 40, L"1.0 TiB"},
        {1ULL << 50, L"1024.0 TiB"}, // the largest unit keeps counting
        {UINT64_MAX, L"16777215.9 TiB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, SizeText(c.bytes)) << c.bytes;
}
