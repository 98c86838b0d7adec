#include "update/UpdateLeftovers.h"

#include "update/KillPoint.h"
#include "update/UpdateJournal.h"
#include "update/UpdateMessages.h"
#include "update/UpdateRunLog.h"

#include "platform/FileHelpers.h"
#include "platform/FileHolders.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <algorithm>

namespace {

using namespace UpdateMessages;

const char kHeader[] = "QXUpdateLeftovers 1";
const char kEnd[] = "end";

// True when folder holds path somewhere below it.
bool Holds(const std::wstring& folder, const std::wstring& path)
{
    std::wstring prefix = AddTrailingBackslash(folder);
    return path.size() > prefix.size() && SamePathText(path.substr(0, prefix.size()), prefix);
}

} // namespace

bool CUpdateLeftovers::Read()
{
    files.clear();
    folders.clear();
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND;
    std::string text;
    char block[16 << 10];
    DWORD read = 0;
    while (ReadFile(file.Get(), block, sizeof(block), &read, nullptr) && read != 0)
        text.append(block, read);
    const std::vector<std::string> lines = SplitString(text, "\r\n");
    if (lines.empty() || lines[0] != kHeader)
        return true;
    std::vector<CLeftover> readFiles;
    std::vector<std::wstring> readFolders;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i] == kEnd) {
            files = readFiles;
            folders = readFolders;
            return true;
        }
        const std::vector<std::string> fields = SplitString(lines[i], "\t");
        if (fields.size() == 3 && fields[0] == "L" && !fields[1].empty())
            readFiles.push_back(CLeftover{Utf8ToWide(fields[1]), Utf8ToWide(fields[2])});
        else if (fields.size() == 2 && fields[0] == "F" && !fields[1].empty())
            readFolders.push_back(Utf8ToWide(fields[1]));
    }
    return true;
}

bool CUpdateLeftovers::Write() const
{
    if (files.empty() && folders.empty()) {
        if (DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND)
            return true;
        return false;
    }
    std::string text = std::string(kHeader) + "\r\n";
    for (const CLeftover& leftover : files)
        text += "L\t" + WideToUtf8(leftover.path) + "\t" + WideToUtf8(leftover.target) + "\r\n";
    for (const std::wstring& folder : folders)
        text += "F\t" + WideToUtf8(folder) + "\r\n";
    text += std::string(kEnd) + "\r\n";
    const std::wstring temporary = path + L".new";
    CHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    if (!file)
        return false;
    DWORD written = 0;
    const bool whole = WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                       written == text.size() && FlushFileBuffers(file.Get());
    const DWORD code = LastErrorOr(ERROR_WRITE_FAULT);
    file.Close();
    if (!whole || !MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD failed = whole ? LastErrorOr(ERROR_WRITE_FAULT) : code;
        DeleteFileW(temporary.c_str());
        SetLastError(failed);
        return false;
    }
    PassKillPoint(eKillJournal);
    return true;
}

std::wstring LeftoversPathFor(const std::wstring& journalPath)
{
    const size_t slash = journalPath.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : journalPath.substr(0, slash + 1)) + L"QXUpdate.leftovers";
}

void LogIfHeld(const wchar_t* message, const std::wstring& path, DWORD code)
{
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION || code == ERROR_ACCESS_DENIED)
        LogStillInUse(message, path, {path});
}

void LogStillInUse(const wchar_t* message, const std::wstring& path, const std::vector<std::wstring>& names)
{
    const std::wstring holders = DescribeFileHolders(FindFileHolders(names));
    LOG(WARNING) << ToLogText(message + path + L"; " + (holders.empty() ? std::wstring(kHolderUnknown)
                                                                          : kHeldBy + holders));
}

bool RecordLeftovers(const std::wstring& recordPath, const std::vector<CLeftover>& files,
                     const std::vector<std::wstring>& folders)
{
    CUpdateLeftovers record;
    record.path = recordPath;
    record.Read();
    for (const CLeftover& leftover : files) {
        const bool known = std::any_of(record.files.begin(), record.files.end(),
                                       [&](const CLeftover& other) { return SamePathText(other.path, leftover.path); });
        if (!known)
            record.files.push_back(leftover);
    }
    for (const std::wstring& folder : folders) {
        const bool known = std::any_of(record.folders.begin(), record.folders.end(),
                                       [&](const std::wstring& other) { return SamePathText(other, folder); });
        if (!known)
            record.folders.push_back(folder);
    }
    if (record.Write()) {
        for (const CLeftover& leftover : files)
            LogStillInUse(kLeftoverKept, leftover.path, {leftover.path, leftover.target});
        return true;
    }
    const DWORD code = LastErrorOr(ERROR_WRITE_FAULT);
    LogFileError(kLeftoversNotRecorded, recordPath, code);
    // The last resort: the system deletes them when it restarts (files
    // first, then the folders that then are empty).
    bool scheduled = true;
    for (const CLeftover& leftover : files) {
        if (MoveFileExW(leftover.path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) {
            LOG(WARNING) << ToLogText(kDeleteAtRestart) << ToLogText(leftover.path);
        } else {
            LogFileError(kDeleteAtRestartFailed, leftover.path, LastErrorOr(ERROR_ACCESS_DENIED));
            scheduled = false;
        }
    }
    for (const std::wstring& folder : folders)
        MoveFileExW(folder.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return scheduled;
}

bool DeleteLeftovers(const std::wstring& recordPath)
{
    CUpdateLeftovers record;
    record.path = recordPath;
    // Nearly every run finds no record: nothing more is asked of the disk then.
    if (!record.Read())
        return true;
    if (record.files.empty() && record.folders.empty()) {
        // A record cut short, or one left empty: nothing to do but drop it.
        DeleteFileW(recordPath.c_str());
        DeleteFileW((recordPath + L".new").c_str());
        return true;
    }
    CUpdateLeftovers left;
    left.path = recordPath;
    for (const CLeftover& leftover : record.files) {
        DWORD code = 0;
        if (DeleteIfPresent(leftover.path, eKillRecover, &code)) {
            LOG(INFO) << ToLogText(kLeftoverDeleted) << ToLogText(leftover.path);
            continue;
        }
        LogStillInUse(kLeftoverStays, leftover.path, {leftover.path, leftover.target});
        left.files.push_back(leftover);
    }
    for (const std::wstring& folder : record.folders) {
        if (RemoveDirectoryW(folder.c_str())) {
            PassKillPoint(eKillRecover);
            continue;
        }
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND)
            continue;
        // Kept only while a file left in it keeps it.
        const bool keeps = std::any_of(left.files.begin(), left.files.end(),
                                       [&](const CLeftover& leftover) { return Holds(folder, leftover.path); });
        if (keeps)
            left.folders.push_back(folder);
    }
    if (!left.Write()) {
        LogFileError(kLeftoversNotRecorded, recordPath, LastErrorOr(ERROR_WRITE_FAULT));
        return false;
    }
    return left.files.empty() && left.folders.empty();
}
