// Replacing the application files: each old file is kept under a ".old" name
// until its new content is written and stamped with the manifest's time, and
// is put back under its own name when the new one cannot be installed.
#include "update/QXUpdate.h"

#include "platform/FileHelpers.h"
#include "platform/FileWriter.h"
#include "platform/NativeFile.h"
#include "platform/PathParts.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

namespace {

const wchar_t kCreateFailed[] = L"Ошибка обновления: Не удалось создать файл. ";
const wchar_t kWriteFailed[] =
    L"Ошибка обновления: Не удалось записать данные в файл или данные записаны частично. ";
const wchar_t kStampFailed[] = L"Ошибка обновления: Не получилось обновить дату файла и атрубуты. ";
const wchar_t kRestored[] = L"Ошибка обновления: Восстановлена прежняя версия файла. ";
const wchar_t kCode[] = L" Код ошибки ";

// The target path with ".old" appended to its extension; empty when the path
// is beyond what the path helper can split or compose.
std::wstring MakeBackupPath(const std::string& targetPath)
{
    CPathParts parts;
    parts.SetFullPath(targetPath);
    parts.Split();
    // A refused split leaves every part empty; composing those would give the
    // relative name ".old" in whatever the current folder is.
    if (parts.drive.empty() && parts.dir.empty() && parts.fname.empty() && parts.ext.empty())
        return std::wstring();
    parts.ext = parts.GetExt() + L".old";
    parts.Compose();
    return parts.GetFullPath();
}

// A failure that reported no code still gets a definite one in the log.
DWORD DefiniteCode(DWORD code, DWORD fallback)
{
    return code != 0 ? code : fallback;
}

// Stale backup. While the target holds the old file, a backup left by an
// earlier run is deleted. Without a target the backup is the only copy of the
// old file (a run ended between its move and its write): it goes back under
// its own name instead, and the update goes on from there.
void ClearStaleBackup(const std::wstring& target, const std::wstring& backupPath)
{
    if (!FileExists(backupPath))
        return;
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES || GetLastError() != ERROR_FILE_NOT_FOUND) {
        DeleteFileW(backupPath.c_str());
        return;
    }
    if (MoveFileW(backupPath.c_str(), target.c_str())) {
        LOG(WARNING) << ToLogText(kRestored) << ToLogText(target);
        return;
    }
    const DWORD code = DefiniteCode(GetLastError(), ERROR_GEN_FAILURE);
    LOG(WARNING) << ToLogText(kRestored) << ToLogText(target) << ToLogText(kCode) << code;
}

// Puts the old file back under its own name after its item failed; MoveFileW
// keeps its time stamps. When that fails the file stays under the backup name.
void RestoreBackup(const std::wstring& target, const std::wstring& backupPath, DWORD oldAttributes)
{
    if (MoveFileW(backupPath.c_str(), target.c_str())) {
        SetFileAttributesW(target.c_str(), oldAttributes);
        LOG(ERROR) << ToLogText(kRestored) << ToLogText(target);
        return;
    }
    const DWORD code = DefiniteCode(GetLastError(), ERROR_GEN_FAILURE);
    LOG(ERROR) << ToLogText(kRestored) << ToLogText(target) << ToLogText(kCode) << code;
}

// Gives the written file the manifest's time stamp. A stamp outside what the
// time conversions accept leaves the times as written, without a message.
void StampFileTimes(const std::wstring& target, int64_t modified)
{
    QX_FILE_BASIC_INFORMATION info{};
    if (GetFileBasicInfo(&info, target) != 0) {
        const DWORD code = GetLastError();
        LOG(WARNING) << ToLogText(kStampFailed) << ToLogText(target) << ToLogText(kCode) << code;
        return;
    }
    FILETIME time{};
    if (!TimeStampToFileTime(modified, &time))
        return;
    LARGE_INTEGER value{};
    value.LowPart = time.dwLowDateTime;
    value.HighPart = static_cast<LONG>(time.dwHighDateTime);
    info.CreationTime = value;
    info.LastAccessTime = value;
    info.LastWriteTime = value;
    info.ChangeTime = value;
    SetFileBasicInfo(target, info);
}

// Writes the item's whole content with one call. On failure code receives the
// writer's error, or a definite one where the system reported none.
bool WriteContent(CFileWriter& writer, const CUpdateFileItem& item, DWORD* code)
{
    // The count carries the low 32 bits of the size, so a size of 4 GiB or
    // more can never be complete; it is not attempted.
    const uint64_t size = static_cast<uint64_t>(item.sizeBytes);
    const DWORD count = static_cast<DWORD>(size & 0xFFFFFFFFu);
    if ((size >> 32) != 0) {
        *code = ERROR_FILE_TOO_LARGE;
        return false;
    }
    if (item.content == nullptr && count != 0) {
        // The download was not found: there are no bytes to write.
        *code = ERROR_FILE_NOT_FOUND;
        return false;
    }
    // A download not found with size 0 has no block; WriteFile still gets a buffer.
    static const unsigned char kNoBytes = 0;
    const BOOL written = writer.Write(item.content != nullptr ? item.content : &kNoBytes, count);
    if (written && writer.bytesWritten == count)
        return true;
    // After a successful but short write the last-error value is stale.
    *code = written ? static_cast<DWORD>(ERROR_WRITE_FAULT) : DefiniteCode(writer.lastError, ERROR_WRITE_FAULT);
    return false;
}

} // namespace

bool CQXUpdate::UpdateAppFiles()
{
    bool ok = true;
    for (const CUpdateFileItem* item : files) {
        if (!item->doUpdate) {
            LOG(INFO) << ToLogText(L"Файл пропущен из-за настроек обновления. ") << item->fileName;
            continue;
        }
        LOG(INFO) << ToLogText(L"Обновление файла ") << updateFolder + item->fileName;

        const std::wstring target = AnsiToWide(targetFolder + item->fileName);
        const std::wstring backupPath = MakeBackupPath(targetFolder + item->fileName);
        if (backupPath.empty()) {
            // Without a backup name the old file would be overwritten with no
            // copy to go back to: it is left as it is.
            LOG(ERROR) << ToLogText(kCreateFailed) << ToLogText(target) << ToLogText(kCode)
                       << static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE);
            ok = false;
            continue;
        }

        ClearStaleBackup(target, backupPath);
        bool oldFileInBackup = false;
        DWORD oldAttributes = FILE_ATTRIBUTE_NORMAL;
        if (FileExists(target)) {
            oldAttributes = GetFileAttributesW(target.c_str());
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            oldFileInBackup = MoveFileW(target.c_str(), backupPath.c_str()) != FALSE;
        }

        CFileWriter writer;
        writer.path = target;
        if (!writer.Open()) {
            const DWORD code = DefiniteCode(writer.lastError, ERROR_OPEN_FAILED);
            LOG(ERROR) << ToLogText(kCreateFailed) << ToLogText(target) << ToLogText(kCode) << code;
            writer.Close();
            DeleteFileW(target.c_str());
            ok = false;
            if (oldFileInBackup)
                RestoreBackup(target, backupPath, oldAttributes);
            continue;
        }

        DWORD code = 0;
        const bool written = WriteContent(writer, *item, &code);
        if (!written) {
            LOG(ERROR) << ToLogText(kWriteFailed) << ToLogText(target) << ToLogText(kCode) << code;
            writer.Close();
            DeleteFileW(target.c_str());
            ok = false;
        }
        writer.Close();

        StampFileTimes(target, item->modified);

        if (!written && oldFileInBackup)
            RestoreBackup(target, backupPath, oldAttributes);
        if (ok)
            DeleteFileW(backupPath.c_str());
    }
    return ok;
}
