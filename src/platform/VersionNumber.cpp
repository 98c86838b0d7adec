#include "platform/VersionNumber.h"

#include "platform/TextConversion.h"

#include <cstdlib>

void CVersionNumber::Parse(const std::string& text)
{
    if (text.empty()) {
        major = minor = build = revision = 0;
        return;
    }
    int32_t* const fields[] = {&major, &minor, &build, &revision};
    const std::vector<std::string> parts = SplitString(text, ".");
    for (size_t i = 0; i < parts.size() && i < 4; ++i)
        *fields[i] = std::atoi(parts[i].c_str());
}

void CVersionNumber::ParseWide(const std::wstring& text)
{
    Parse(WideToAnsi(text));
}
