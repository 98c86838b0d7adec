#pragma once
// Writing update manifests for tests: the XML text is built as UTF-16 and
// stored as UTF-8 with a declaration, as the manifest's producer writes it.
#include <windows.h>

#include "support/TestSupport.h"

#include <string>
#include <utility>
#include <vector>

namespace ManifestText {

// Attribute list of one element, written in the given order.
using XmlAttributes = std::vector<std::pair<std::wstring, std::wstring>>;

inline std::wstring XmlEscape(const std::wstring& text)
{
    std::wstring escaped;
    for (wchar_t c : text) {
        switch (c) {
        case L'&': escaped += L"&amp;"; break;
        case L'<': escaped += L"&lt;"; break;
        case L'"': escaped += L"&quot;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

inline std::wstring XmlElement(const std::wstring& name, const XmlAttributes& attributes,
                               const std::wstring& children = L"")
{
    std::wstring text = L"<" + name;
    for (const auto& attribute : attributes)
        text += L" " + attribute.first + L"=\"" + XmlEscape(attribute.second) + L"\"";
    return children.empty() ? text + L"/>" : text + L">" + children + L"</" + name + L">";
}

inline std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// A whole manifest: <update> holding the given children (info, files).
inline bool WriteManifest(const std::wstring& path, const std::wstring& updateChildren)
{
    return WriteBytes(path, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n" +
                                Utf8(XmlElement(L"update", {}, updateChildren)));
}

// One item element I<index> with the usual attributes. Without an md5 the
// attribute is empty, which the engine stores and does not check.
inline std::wstring ItemElement(int index, const std::wstring& fileName, size_t sizeBytes, const std::wstring& isUpdate,
                                const std::wstring& modified = L"0", const std::wstring& tempFileName = L"",
                                const std::wstring& md5 = L"")
{
    return XmlElement(L"I" + std::to_wstring(index), {
                                                         {L"FileName", fileName},
                                                         {L"TempFileName", tempFileName},
                                                         {L"MD5", md5},
                                                         {L"Attr", L"32"},
                                                         {L"SizeByte", std::to_wstring(sizeBytes)},
                                                         {L"Modified", modified},
                                                         {L"isDownloadCopmplete", L"1"},
                                                         {L"isUpdate", isUpdate},
                                                     });
}

// An item that removes the file from the application folder.
inline std::wstring RemovalElement(int index, const std::wstring& fileName)
{
    return XmlElement(L"I" + std::to_wstring(index),
                      {{L"FileName", fileName}, {L"SizeByte", L"0"}, {L"isUpdate", L"0"}, {L"isRemove", L"1"}});
}

// count as text, for values that are not plain numbers.
inline std::wstring FilesElement(const std::wstring& items, const std::wstring& count)
{
    return XmlElement(L"files", {{L"count", count}, {L"Key", L"files-key"}}, items);
}

inline std::wstring FilesElement(const std::wstring& items, int count)
{
    return FilesElement(items, std::to_wstring(count));
}

inline std::wstring InfoElement(const std::wstring& updateFolder, const std::wstring& targetFolder,
                                const XmlAttributes& more = {})
{
    XmlAttributes attributes = {{L"UpdateFolder", updateFolder}, {L"TargetFolder", targetFolder}};
    attributes.insert(attributes.end(), more.begin(), more.end());
    return XmlElement(L"info", attributes);
}

} // namespace ManifestText
