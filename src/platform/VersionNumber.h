#pragma once
// A dotted version number major.minor.build.revision.
#include <cstdint>
#include <string>

class CVersionNumber
{
public:
    int32_t major = 0;
    int32_t minor = 0;
    int32_t build = 0;
    int32_t revision = 0;

    // Empty text sets all four to 0. Otherwise the first four dot-separated parts
    // are read with atoi; numbers without a part keep their previous values.
    void Parse(const std::string& text);
    void ParseWide(const std::wstring& text);
};
