#include "update/BaseVersionCheck.h"

#include "update/ManifestFormat.h"
#include "update/UpdateMessages.h"

#include "platform/Handles.h"
#include "platform/Md5.h"
#include "platform/PathRules.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <windows.h>

namespace {

// Files named one by one; past these, one line with the count.
constexpr size_t kShown = 5;

// Why the installed file is not the base version's; empty when it is.
std::wstring Difference(const std::wstring& folder, const CBaseFile& file, std::vector<unsigned char>& buffer)
{
    // A name that a manifest may not use is never opened (a device would block).
    if (!StaysInside(file.name) || NamesDevice(file.name))
        return L"недопустимое имя";
    const std::wstring path = folder + file.name;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return L"файл отсутствует";
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return L"на месте файла находится папка";
    const int64_t size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != file.size)
        return L"размер " + std::to_wstring(size) + L" байт вместо " + std::to_wstring(file.size);
    if (!IsMd5Digest(file.md5))
        return std::wstring();
    CHandle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!handle) {
        const DWORD code = GetLastError();
        // Held open by the application, which still runs at the load: its
        // size is that of the base version, and nothing of it changes.
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
            LOG(WARNING) << ToLogText(UpdateMessages::kBaseUnread + file.name);
            return std::wstring();
        }
        return L"не удалось прочитать, код " + std::to_wstring(code);
    }
    CMd5 md5;
    DWORD read = 0;
    int64_t total = 0;
    while (ReadFile(handle.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read != 0) {
        md5.Update(buffer.data(), read);
        total += read;
    }
    if (total != size)
        return L"не удалось прочитать, код " + std::to_wstring(GetLastError());
    const std::string found = md5.FinishHex();
    if (SameMd5Digest(found, file.md5))
        return std::wstring();
    return L"MD5 " + AnsiToWide(found) + L" вместо " + AnsiToWide(file.md5);
}

} // namespace

CBaseRecord ReadBaseRecord(const pugi::xml_node& update)
{
    using namespace ManifestNames;
    CBaseRecord record;
    const pugi::xml_node base = update.child(kBase);
    if (!base)
        return record;
    record.present = true;
    record.version = base.attribute(kBaseVersion).as_string();
    for (const pugi::xml_node& element : base.children(kBaseFile)) {
        CBaseFile file;
        file.name = element.attribute(kFileName).as_string();
        file.size = element.attribute(kSizeByte).as_llong(-1);
        file.md5 = WideToAnsi(element.attribute(kMd5).as_string());
        record.files.push_back(file);
    }
    return record;
}

size_t CheckBaseVersion(const std::wstring& folder, const CBaseRecord& record)
{
    using namespace UpdateMessages;
    std::vector<unsigned char> buffer(256 << 10);
    size_t differing = 0;
    for (const CBaseFile& file : record.files) {
        const std::wstring reason = Difference(folder, file, buffer);
        if (reason.empty())
            continue;
        if (++differing <= kShown)
            LOG(ERROR) << ToLogText(kBaseDiffers + file.name + L": " + reason);
    }
    if (differing > kShown)
        LOG(ERROR) << ToLogText(kBaseDiffersMore) << differing - kShown;
    return differing;
}
