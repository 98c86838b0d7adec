#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/TextConversion.h"

#include <map>

namespace {

// The index of an item element: "I" followed by a decimal number without sign
// or leading zeros that fits in 32 signed bits; -1 for any other name.
int ItemIndex(const wchar_t* name)
{
    if (name[0] != L'I' || name[1] == L'\0' || (name[1] == L'0' && name[2] != L'\0'))
        return -1;
    long long value = 0;
    for (const wchar_t* digit = name + 1; *digit != L'\0'; ++digit) {
        if (*digit < L'0' || *digit > L'9')
            return -1;
        value = value * 10 + (*digit - L'0');
        if (value > 0x7FFFFFFF)
            return -1;
    }
    return static_cast<int>(value);
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::wstring ItemElementName(int index)
{
    return L"I" + std::to_wstring(index);
}

std::vector<pugi::xml_node> ItemElements(const pugi::xml_node& files, int count)
{
    // Walking the children once instead of looking up every index keeps a
    // huge count from turning into billions of lookups.
    std::map<int, pugi::xml_node> found;
    for (pugi::xml_node child = files.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element)
            continue;
        const int index = ItemIndex(child.name());
        if (index >= 0 && index < count)
            found.emplace(index, child); // keeps the first of a name
    }
    std::vector<pugi::xml_node> items;
    items.reserve(found.size());
    for (const auto& entry : found)
        items.push_back(entry.second);
    return items;
}

std::string ManifestText(const pugi::xml_attribute& attribute)
{
    return WideToAnsi(attribute.as_string());
}

std::wstring FindDownloadW(const std::wstring& updateFolder, const std::wstring& fileName,
                           const std::wstring& tempFileName)
{
    std::wstring source = updateFolder + fileName;
    if (FileExists(source))
        return source;
    source = updateFolder + tempFileName;
    if (FileExists(source))
        return source;
    return std::wstring();
}

bool IsMd5Digest(const std::string& text)
{
    if (text.size() != 32)
        return false;
    for (char c : text) {
        if (HexValue(c) < 0)
            return false;
    }
    return true;
}

bool SameMd5Digest(const std::string& a, const std::string& b)
{
    if (!IsMd5Digest(a) || !IsMd5Digest(b))
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (HexValue(a[i]) != HexValue(b[i]))
            return false;
    }
    return true;
}
