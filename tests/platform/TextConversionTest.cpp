#include "platform/Stopwatch.h"
#include "platform/TextConversion.h"
#include "platform/VersionNumber.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Crc64, KnownValues)
{
    EXPECT_EQ(Crc64("abc"), 0xD327F6B5E5D889D8ULL);
    EXPECT_EQ(Crc64(""), ~0ULL);
    // The complement of the standard CRC-64/XZ check value.
    EXPECT_EQ(~Crc64("123456789"), 0x995DC9BBDF1939FAULL);
}

TEST(HexToBytes, DecodesPairs)
{
    const struct
    {
        const char* text;
        std::vector<unsigned char> bytes;
    } cases[] = {
        {"0aFF", {0x0A, 0xFF}},
        {"abc", {0xAB, 0x0C}}, // odd length: the last digit alone
        {"zz", {0x00}},        // junk gives 0, the length stays
        {"1z", {0x01}},        // a number stops at the first non-digit
        {"", {}},
        {"00ff7F", {0x00, 0xFF, 0x7F}},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> out(std::strlen(c.text) / 2 + 2, 0xEE);
        const size_t written = HexToBytes(c.text, out.data());
        ASSERT_EQ(written, c.bytes.size()) << c.text;
        EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + written), c.bytes) << c.text;
        EXPECT_EQ(out[written], 0xEE) << "wrote past its length: " << c.text;
    }
}

TEST(SplitString, KeepsEmptyElements)
{
    const struct
    {
        const char* text;
        const char* separator;
        std::vector<std::string> parts;
    } cases[] = {
        {"6.1.7601", ".", {"6", "1", "7601"}},
        {"a;;b", ";", {"a", "", "b"}},
        {"", ".", {""}},
        {"a.", ".", {"a", ""}},
        {"a::b", "::", {"a", "b"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SplitString(c.text, c.separator), c.parts) << c.text;
}

TEST(VersionNumber, ParsesIntoUsedRecord)
{
    const struct
    {
        const char* text;
        CVersionNumber before;
        int32_t major, minor, build, revision;
    } cases[] = {
        {"10.0.586.1", {}, 10, 0, 586, 1},
        {"6.3", {1, 2, 3, 4}, 6, 3, 3, 4},   // missing parts keep their values
        {"", {1, 2, 3, 4}, 0, 0, 0, 0},      // empty text clears
        {"x.y", {1, 2, 3, 4}, 0, 0, 3, 4},
        {"1.2.3.4.5", {}, 1, 2, 3, 4},       // parts after the fourth are ignored
        {" -7.+8", {}, -7, 8, 0, 0},         // atoi: white space and signs
    };
    for (const auto& c : cases) {
        CVersionNumber version = c.before;
        version.Parse(c.text);
        EXPECT_EQ(version.major, c.major) << c.text;
        EXPECT_EQ(version.minor, c.minor) << c.text;
        EXPECT_EQ(version.build, c.build) << c.text;
        EXPECT_EQ(version.revision, c.revision) << c.text;
    }
    CVersionNumber wide;
    wide.ParseWide(L"5.6.7.8");
    EXPECT_EQ(wide.build, 7);
}

TEST(Stopwatch, WholeUnitCounts)
{
    // Each count is the whole elapsed time in its unit, rounded down; the
    // values are the elapsed time in that unit. One count per millisecond.
    const struct
    {
        const char* what;
        double elapsedMs;
        int64_t milliseconds, seconds, minutes, hours, days, months, years;
        double secondsValue;
    } cases[] = {
        {"nothing", 0, 0, 0, 0, 0, 0, 0, 0, 0.0},
        {"just below a second", 999, 999, 0, 0, 0, 0, 0, 0, 0.999},
        {"one and a half minutes: not rounded up", 90500, 90500, 90, 1, 0, 0, 0, 0, 90.5},
        {"just below a minute", 59999, 59999, 59, 0, 0, 0, 0, 0, 59.999},
        {"a minute", 60000, 60000, 60, 1, 0, 0, 0, 0, 60.0},
        {"a day", 86400000, 86400000, 86400, 1440, 24, 1, 0, 0, 86400.0},
        // A month and a year are their average lengths: 30.4375 and 365.25 days.
        {"a year of days", 31557600000.0, 31557600000, 31557600, 525960, 8766, 365, 12, 1, 31557600.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CStopwatch watch;
        watch.frequency = 1000.0;
        watch.startCount = 5000.0;
        watch.stopCount = 5000.0 + c.elapsedMs;
        watch.Recompute();
        EXPECT_TRUE(watch.valid);
        EXPECT_EQ(watch.milliseconds, c.milliseconds);
        EXPECT_EQ(watch.seconds, c.seconds);
        EXPECT_EQ(watch.minutes, c.minutes);
        EXPECT_EQ(watch.hours, c.hours);
        EXPECT_EQ(watch.days, c.days);
        EXPECT_EQ(watch.months, c.months);
        EXPECT_EQ(watch.years, c.years);
        EXPECT_DOUBLE_EQ(watch.secondsValue, c.secondsValue);
    }
}

TEST(Stopwatch, InvalidWithoutFrequency)
{
    CStopwatch watch;
    watch.MarkStart();
    watch.MarkStop();
    EXPECT_FALSE(watch.valid);
    EXPECT_EQ(watch.milliseconds, 0);
}

TEST(Stopwatch, MeasuresRealCounter)
{
    // Measured against the system's millisecond tick, read around and inside
    // the measured span: what it reports lies between the two readings.
    CStopwatch watch;
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    watch.frequency = static_cast<double>(frequency.QuadPart);
    const ULONGLONG before = GetTickCount64();
    watch.MarkStart();
    const ULONGLONG inner = GetTickCount64();
    while (GetTickCount64() - inner < 300)
        Sleep(10);
    const ULONGLONG innerEnd = GetTickCount64();
    watch.MarkStop();
    const ULONGLONG after = GetTickCount64();
    EXPECT_TRUE(watch.valid);
    // The tick moves in steps of up to 16 ms.
    EXPECT_GE(watch.milliseconds + 16, static_cast<int64_t>(innerEnd - inner));
    EXPECT_LE(watch.milliseconds, static_cast<int64_t>(after - before) + 16);
}

TEST(SystemErrorText, KnownAndUnknownCodes)
{
    const std::wstring missing = GetSystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_GE(missing.size(), 2u);
    EXPECT_EQ(missing.substr(missing.size() - 2), L"\r\n");
    EXPECT_EQ(GetSystemErrorText(0x2A5F3B1), L"");
}

// Code-page dependent conversions: the 1252 rows run in the default process,
// the Cp1251 rows in a process whose ANSI code page is 1251.
TEST(AnsiConversion, Cp1252)
{
    ASSERT_EQ(GetACP(), 1252u);
    EXPECT_EQ(AnsiToWide(""), L"");
    EXPECT_EQ(AnsiToWide(std::string("ab\0cd", 5)), L"ab");
    EXPECT_EQ(AnsiToWide("caf\xE9"), L"caf\u00E9");
    EXPECT_EQ(WideToAnsi(L"caf\u00E9"), "caf\xE9");
    EXPECT_EQ(WideToAnsi(L"\u0416"), "?"); // Cyrillic is outside 1252
    EXPECT_EQ(WideToAnsi(L""), "");
}

TEST(AnsiConversion, Cp1251)
{
    ASSERT_EQ(GetACP(), 1251u);
    EXPECT_EQ(AnsiToWide("\xC6\xE0"), L"\u0416\u0430");
    EXPECT_EQ(WideToAnsi(L"\u0416\u0430"), "\xC6\xE0");
    // No best fit: "é" as "e" would name another file ("café" is not "cafe").
    EXPECT_EQ(WideToAnsi(L"\u00E9"), "?");
    EXPECT_EQ(WideToAnsi(L"caf\u00E9.dll"), "caf?.dll");
}

TEST(LogText, AlwaysWindows1251)
{
    // Independent of the ANSI code page: the log is one 1251 text.
    EXPECT_EQ(ToLogText(L"\u0424\u0430\u0439\u043B tail"), "\xD4\xE0\xE9\xEB tail");
    EXPECT_EQ(ToLogText(L"\u4E2D"), "?");
    EXPECT_EQ(ToLogText(L"caf\u00E9"), "caf?"); // not best-fit "cafe"
    EXPECT_EQ(ToLogText(L""), "");
}
