// The update engine's object lifetime and the manifest loader: the run's
// settings and, for every file to install, its new content read into memory.
#include "update/QXUpdate.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <vector>

namespace {

std::string Text(const pugi::xml_attribute& attribute)
{
    return WideToAnsi(attribute.as_string());
}

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

// The item elements I0 .. I(count-1) that exist, in index order, the first
// element of each name only. Walking the children once instead of looking up
// every index keeps a huge count from turning into billions of lookups.
std::vector<pugi::xml_node> ItemElements(const pugi::xml_node& files, int count)
{
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

// Reads exactly size bytes of path into a new block; null when the file
// cannot be opened, has another length now, or cannot be read in full.
unsigned char* ReadWholeFile(const std::wstring& path, int64_t size)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return nullptr;
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.Get(), &length) || length.QuadPart != size)
        return nullptr;

    // Filled before the read: a read into pages that were never touched, and
    // the later write from them, were measured more than twice as slow under
    // Wine as the same calls on a block that the process has written first.
    // A download too large for memory fails like an unreadable one: an update
    // run must not end on an allocation failure with nothing installed.
    unsigned char* block = new (std::nothrow) unsigned char[static_cast<size_t>(size)];
    if (block == nullptr)
        return nullptr;
    std::memset(block, 0, static_cast<size_t>(size));
    int64_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<int64_t>(size - done, 1 << 30));
        DWORD read = 0;
        if (!ReadFile(file.Get(), block + done, chunk, &read, nullptr) || read == 0) {
            delete[] block;
            return nullptr;
        }
        done += read;
    }
    return block;
}

// Finds the download of one item and reads it; false on a size discrepancy
// (also when the file changed or could not be read after its size matched).
bool LoadItemContent(CUpdateFileItem& item, const std::string& updateFolder)
{
    std::string source = updateFolder + item.fileName;
    if (!FileExistsA(source))
        source = updateFolder + item.tempFileName;
    if (!FileExistsA(source))
        return true; // no download: the item is kept without content

    const std::wstring widePath = AnsiToWide(source);
    const uint64_t size = GetFileSizeByName(widePath);
    if (size == static_cast<uint64_t>(item.sizeBytes)) {
        item.content = ReadWholeFile(widePath, item.sizeBytes);
        if (item.content != nullptr)
            return true;
    }
    item.downloadComplete = false;
    LOG(ERROR) << ToLogText(L"Обнаружено расхождение в данных файла: ") << item.fileName;
    return false;
}

} // namespace

CUpdateFileItem::~CUpdateFileItem()
{
    delete[] content;
}

CQXUpdate::~CQXUpdate()
{
    Reset();
}

void CQXUpdate::Reset()
{
    for (CUpdateFileItem* item : files)
        delete item;
    files.clear();
    updateFolder.clear();
    targetFolder.clear();
    key.clear();
    appToRun.clear();
    params.clear();
    filesKey.clear();
}

bool CQXUpdate::LoadUpdateInfoFromXmlFile(std::wstring path)
{
    if (!FileExists(path))
        return false;
    pugi::xml_document document;
    if (!document.load_file(path.c_str()))
        return false;

    bool result = true;
    const pugi::xml_node update = document.child(L"update");
    const pugi::xml_node info = update.child(L"info");
    if (!info) {
        result = false;
    } else {
        SetUpdateFolder(Text(info.attribute(L"UpdateFolder")));
        SetTargetFolder(Text(info.attribute(L"TargetFolder")));
        const std::string hexKey = Text(info.attribute(L"Key"));
        std::vector<unsigned char> decoded(hexKey.size() / 2 + 1, 0);
        HexToBytes(hexKey, decoded.data());
        SetKey(std::string(reinterpret_cast<const char*>(decoded.data()), hexKey.size() / 2));
    }
    // Absent attributes (and a missing info element) read as empty, 0 or false.
    xKey = static_cast<uint8_t>(info.attribute(L"xKey").as_int() & 0xFF);
    assignedVersion.ParseWide(info.attribute(L"AssignedVersion").as_string());
    forceUpdateDate = info.attribute(L"ForceUpdateDate").as_llong();
    performDbBackup = info.attribute(L"PerformDbBackup").as_bool();
    restartQuoteBench = info.attribute(L"RestartQuoteBench").as_bool();
    appToRun = Text(info.attribute(L"AppToRun"));
    params = Text(info.attribute(L"Params"));
    key = UnmaskKey(key, std::string(1, static_cast<char>(xKey)));

    const pugi::xml_node filesElement = update.child(L"files");
    if (!filesElement)
        return false;
    const int count = filesElement.attribute(L"count").as_int();
    filesKey = Text(filesElement.attribute(L"Key"));

    for (const pugi::xml_node& element : ItemElements(filesElement, count)) {
        auto item = std::make_unique<CUpdateFileItem>();
        item->fileName = Text(element.attribute(L"FileName"));
        item->tempFileName = Text(element.attribute(L"TempFileName"));
        item->md5 = Text(element.attribute(L"MD5"));
        item->attributes = element.attribute(L"Attr").as_uint();
        item->sizeBytes = element.attribute(L"SizeByte").as_llong();
        item->modified = element.attribute(L"Modified").as_llong();
        item->downloadComplete = element.attribute(L"isDownloadCopmplete").as_bool();
        item->doUpdate = element.attribute(L"isUpdate").as_bool();
        if (item->doUpdate && !LoadItemContent(*item, updateFolder))
            result = false;
        files.push_back(item.get());
        item.release();
    }
    return result;
}

std::string UnmaskKey(const std::string& data, const std::string& mask)
{
    if (data.empty() || mask.empty())
        return data;
    std::string result = data;
    unsigned rotation = 7;
    size_t maskIndex = 0;
    for (char& value : result) {
        const unsigned byte =
            static_cast<unsigned char>(~(static_cast<unsigned char>(value) ^ static_cast<unsigned char>(mask[maskIndex])));
        value = static_cast<char>(((byte << rotation) | (byte >> (8 - rotation))) & 0xFF);
        rotation = rotation == 1 ? 7 : rotation - 1;
        if (++maskIndex == mask.size())
            maskIndex = 0;
    }
    return result;
}
