// Replacing the application files: each old file is kept under a ".old" name
// until its new content is written and stamped with the manifest's time.
#include "update/QXUpdate.h"

#include "platform/FileHelpers.h"
#include "platform/FileWriter.h"
#include "platform/NativeFile.h"
#include "platform/PathParts.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

namespace {

std::wstring MakeBackupPath(const std::string& targetPath)
{
    CPathParts parts;
    parts.SetFullPath(targetPath);
    parts.Split();
    parts.ext = parts.GetExt() + L".old";
    parts.Compose();
    return parts.GetFullPath();
}

void LogCreateFailure(const std::wstring& target, DWORD code)
{
    LOG(ERROR) << ToLogText(L"Ошибка обновления: Не удалось создать файл. ") << ToLogText(target)
               << ToLogText(L" Код ошибки ") << code;
}

// Gives the written file the manifest's time stamp; a failure is only reported.
void StampFileTimes(const std::wstring& target, int64_t modified)
{
    QX_FILE_BASIC_INFORMATION info{};
    DWORD code = 0;
    if (GetFileBasicInfo(&info, target) != 0) {
        code = GetLastError();
    } else {
        FILETIME time{};
        if (TimeStampToFileTime(modified, &time)) {
            LARGE_INTEGER value{};
            value.LowPart = time.dwLowDateTime;
            value.HighPart = static_cast<LONG>(time.dwHighDateTime);
            info.CreationTime = value;
            info.LastAccessTime = value;
            info.LastWriteTime = value;
            info.ChangeTime = value;
            SetFileBasicInfo(target, info);
            return;
        }
        // Outside the range of the time conversions: the file keeps the
        // times it was written with rather than an undefined value.
        code = ERROR_INVALID_PARAMETER;
    }
    LOG(WARNING) << ToLogText(L"Ошибка обновления: Не получилось обновить дату файла и атрубуты. ")
                 << ToLogText(target) << ToLogText(L" Код ошибки ") << code;
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
            // A path too long for a backup name: the old file is left untouched
            // rather than overwritten without a copy to go back to.
            LogCreateFailure(target, ERROR_FILENAME_EXCED_RANGE);
            ok = false;
            continue;
        }

        if (FileExists(backupPath))
            DeleteFileW(backupPath.c_str());
        if (FileExists(target)) {
            SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
            MoveFileW(target.c_str(), backupPath.c_str());
        }

        CFileWriter writer;
        writer.path = target;
        if (!writer.Open()) {
            LogCreateFailure(target, writer.lastError);
            writer.Close();
            DeleteFileW(target.c_str());
            ok = false;
            continue;
        }

        // One write of the whole block; the count carries the low 32 bits of
        // the size, so a size of 4 GiB or more can never be complete.
        const uint64_t size = static_cast<uint64_t>(item->sizeBytes);
        const DWORD count = static_cast<DWORD>(size & 0xFFFFFFFFu);
        const bool sizeFits = (size >> 32) == 0;
        bool complete = false;
        DWORD code = 0;
        if (!sizeFits) {
            code = ERROR_FILE_TOO_LARGE;
        } else if (item->content == nullptr && count != 0) {
            // The download was not found: there are no bytes to write.
            code = ERROR_FILE_NOT_FOUND;
        } else {
            // An empty download has a block; an empty missing one has none.
            static const unsigned char kNoBytes = 0;
            writer.Write(item->content != nullptr ? item->content : &kNoBytes, count);
            complete = writer.bytesWritten == count;
            code = writer.lastError != 0 ? writer.lastError : static_cast<DWORD>(ERROR_WRITE_FAULT);
        }
        if (!complete) {
            LOG(ERROR) << ToLogText(
                              L"Ошибка обновления: Не удалось записать данные в файл или данные записаны частично. ")
                       << ToLogText(target) << ToLogText(L" Код ошибки ") << code;
            writer.Close();
            DeleteFileW(target.c_str());
            ok = false;
        }
        writer.Close();

        StampFileTimes(target, item->modified);

        if (ok)
            DeleteFileW(backupPath.c_str());
    }
    return ok;
}
