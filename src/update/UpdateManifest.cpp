// The update engine's object lifetime and the manifest loader: the run's
// settings and, for every file to install, its new content read into memory.
#include "update/QXUpdate.h"

#include "update/ManifestFormat.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/Md5.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>
#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace {

// Reads exactly size bytes of path into a new block, adding each piece to md5
// when one is given; null when the file cannot be opened, has another length
// now, or cannot be read in full.
unsigned char* ReadWholeFile(const std::wstring& path, int64_t size, CMd5* md5)
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
        if (!ReadFile(file.Get(), block + done, chunk, &read, nullptr) || read == 0 ||
            (md5 != nullptr && !md5->Update(block + done, read))) {
            delete[] block;
            return nullptr;
        }
        done += read;
    }
    return block;
}

// Finds the download of one item and reads it; false on a discrepancy: another
// size, a file that changed or could not be read after its size matched, or
// content whose MD5 differs from the item's digest (or cannot be taken). A
// corrupted download of the right size must not be installed, so it is refused
// like a short one.
bool LoadItemContent(CUpdateFileItem& item, const std::string& updateFolder)
{
    const std::string source = FindDownload(updateFolder, item.fileName, item.tempFileName);
    if (source.empty())
        return true; // no download: the item is kept without content

    const std::wstring widePath = AnsiToWide(source);
    const uint64_t size = GetFileSizeByName(widePath);
    if (size == static_cast<uint64_t>(item.sizeBytes)) {
        const bool check = IsMd5Digest(item.md5);
        CMd5 md5;
        item.content = ReadWholeFile(widePath, item.sizeBytes, check ? &md5 : nullptr);
        if (item.content != nullptr && (!check || SameMd5Digest(md5.FinishHex(), item.md5)))
            return true;
        delete[] item.content;
        item.content = nullptr;
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
    using namespace ManifestNames;
    if (!FileExists(path))
        return false;
    pugi::xml_document document;
    if (!document.load_file(path.c_str()))
        return false;

    bool result = true;
    const pugi::xml_node update = document.child(kUpdate);
    const pugi::xml_node info = update.child(kInfo);
    if (!info) {
        result = false;
    } else {
        SetUpdateFolder(ManifestText(info.attribute(kUpdateFolder)));
        SetTargetFolder(ManifestText(info.attribute(kTargetFolder)));
        const std::string hexKey = ManifestText(info.attribute(kKey));
        std::vector<unsigned char> decoded(hexKey.size() / 2 + 1, 0);
        HexToBytes(hexKey, decoded.data());
        SetKey(std::string(reinterpret_cast<const char*>(decoded.data()), hexKey.size() / 2));
    }
    // Absent attributes (and a missing info element) read as empty, 0 or false.
    xKey = static_cast<uint8_t>(info.attribute(kXKey).as_int() & 0xFF);
    assignedVersion.ParseWide(info.attribute(kAssignedVersion).as_string());
    forceUpdateDate = info.attribute(kForceUpdateDate).as_llong();
    performDbBackup = info.attribute(kPerformDbBackup).as_bool();
    restartQuoteBench = info.attribute(kRestartQuoteBench).as_bool();
    appToRun = ManifestText(info.attribute(kAppToRun));
    params = ManifestText(info.attribute(kParams));
    key = UnmaskKey(key, std::string(1, static_cast<char>(xKey)));

    const pugi::xml_node filesElement = update.child(kFiles);
    if (!filesElement)
        return false;
    const int count = filesElement.attribute(kCount).as_int();
    filesKey = ManifestText(filesElement.attribute(kFilesKey));

    for (const pugi::xml_node& element : ItemElements(filesElement, count)) {
        auto item = std::make_unique<CUpdateFileItem>();
        item->fileName = ManifestText(element.attribute(kFileName));
        item->tempFileName = ManifestText(element.attribute(kTempFileName));
        item->md5 = ManifestText(element.attribute(kMd5));
        item->attributes = element.attribute(kAttr).as_uint();
        item->sizeBytes = element.attribute(kSizeByte).as_llong();
        item->modified = element.attribute(kModified).as_llong();
        item->downloadComplete = element.attribute(kDownloadComplete).as_bool();
        item->doUpdate = element.attribute(kIsUpdate).as_bool();
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
