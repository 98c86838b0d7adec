// Replacing the application files, so that whatever moment a run is killed at
// and whatever single file operation fails, each file is afterwards its whole
// old or its whole new version under its own name, or (between two renames)
// absent with its whole old version under the backup name.
//
// Per item: leftovers of an interrupted run are cleared up, the new content is
// written and stamped under a temporary name beside the file (usually already
// by the loader, see StagedFile.h), and only then swapped in. While no item of
// the run has failed, the new file is renamed over the old one; otherwise (or
// when that rename fails) the old file goes to the backup name first, the new
// one to its own name, and the backup is kept.
//
// Names beside a file X (X.old is the backup name):
//   X.new      the new content while it is written; never trusted once left
//   X.old      the old file between the two renames of a swap; kept when an
//              earlier item of the run failed (while none has, the new file
//              is renamed over the old one instead)
//   X.bak      a whole copy of an old file that could not be moved aside and
//              is about to be overwritten in place; left behind, it is put back
//   X.bak.new  that copy while it is made; never trusted once left
#include "update/QXUpdate.h"
#include "update/KillPoint.h"
#include "update/ReplaceFault.h"

#include "platform/FileHelpers.h"
#include "platform/FileWriter.h"
#include "platform/Handles.h"
#include "platform/NativeFile.h"
#include "platform/PathParts.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t kCreateFailed[] = L"Ошибка обновления: Не удалось создать файл. ";
const wchar_t kWriteFailed[] =
    L"Ошибка обновления: Не удалось записать данные в файл или данные записаны частично. ";
const wchar_t kStampFailed[] = L"Ошибка обновления: Не получилось обновить дату файла и атрубуты. ";
const wchar_t kRestored[] = L"Ошибка обновления: Восстановлена прежняя версия файла. ";
const wchar_t kCode[] = L" Код ошибки ";

const wchar_t kCopySuffix[] = L".bak";

ReplaceFaultHook g_faultHook = nullptr;
void* g_faultContext = nullptr;

// True when the test seam makes this step fail; its code is then the last error.
bool Injected(eReplaceStep step)
{
    // Each step follows a file operation (or none): a kill before it is one after that.
    PassKillPoint(eKillSwap);
    if (g_faultHook == nullptr)
        return false;
    const DWORD code = g_faultHook(step, g_faultContext);
    if (code == 0)
        return false;
    SetLastError(code);
    return true;
}

// A failure that reported no code still gets a definite one in the log.
DWORD DefiniteCode(DWORD code, DWORD fallback)
{
    return code != 0 ? code : fallback;
}

DWORD LastErrorOr(DWORD fallback)
{
    return DefiniteCode(GetLastError(), fallback);
}

// Deletes a file of ours left by an interrupted run (it may have been made
// read-only by nobody, but a copy keeps the attributes of its original).
void DeleteLeftover(const std::wstring& path)
{
    if (!FileExists(path))
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
    PassKillPoint(eKillRecover);
}

// Puts a whole copy of the old file back under the file's name: renamed over
// it, or, when that is refused, copied over it. False with the last-error value;
// the copy then stays where it is.
bool PutBackCopy(const std::wstring& copy, const std::wstring& target)
{
    if (MoveFileExW(copy.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    if (!CopyFileW(copy.c_str(), target.c_str(), FALSE))
        return false;
    DeleteLeftover(copy);
    return true;
}

// Which names a run may find in the folders it works in. Looking up a name
// that does not exist costs a scan of its whole folder under Wine (names are
// matched regardless of case), several per item in a folder of hundreds of
// files; one listing per folder at the start answers the same question. Every
// name the run itself creates is noted, so the answer stays safe: "may exist"
// is checked with a real call, "does not exist" is certain.
class CFolderIndex
{
public:
    bool MayExist(const std::wstring& path)
    {
        const size_t slash = path.find_last_of(L'\\');
        if (slash == std::wstring::npos)
            return true;
        const Folder& folder = Listing(path.substr(0, slash + 1));
        return !folder.listed || folder.names.count(Lowered(path.substr(slash + 1))) != 0;
    }

    void Note(const std::wstring& path)
    {
        const size_t slash = path.find_last_of(L'\\');
        if (slash != std::wstring::npos)
            Listing(path.substr(0, slash + 1)).names.insert(Lowered(path.substr(slash + 1)));
    }

private:
    struct Folder
    {
        bool listed = false;
        std::set<std::wstring> names;
    };

    static std::wstring Lowered(std::wstring text)
    {
        if (!text.empty())
            CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
        return text;
    }

    Folder& Listing(const std::wstring& folderPath)
    {
        const std::wstring key = Lowered(folderPath);
        auto found = m_folders.find(key);
        if (found != m_folders.end())
            return found->second;
        Folder& folder = m_folders[key];
        WIN32_FIND_DATAW data{};
        CFindHandle find(FindFirstFileExW((folderPath + L"*").c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                          nullptr, FIND_FIRST_EX_LARGE_FETCH));
        // A folder that cannot be listed (missing, no access) leaves every
        // question to the real calls.
        if (!find)
            return folder;
        do {
            folder.names.insert(Lowered(data.cFileName));
        } while (FindNextFileW(find.Get(), &data));
        folder.listed = GetLastError() == ERROR_NO_MORE_FILES;
        if (!folder.listed)
            folder.names.clear();
        return folder;
    }

    std::map<std::wstring, Folder> m_folders;
};

// Writes a closed file's data out to the disk: a copy that a later run may put
// back must be whole after a power cut too. False with the last-error value.
bool FlushFile(const std::wstring& path)
{
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    return file && FlushFileBuffers(file.Get());
}

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

// The restore line: an error after a failed item, a warning when a run puts
// back what an interrupted one left; with the code when putting back failed.
void LogRestored(const std::wstring& target, bool done, DWORD code, bool asError)
{
    std::string text = ToLogText(kRestored) + ToLogText(target);
    if (!done)
        text += ToLogText(kCode) + std::to_string(code);
    if (asError)
        LOG(ERROR) << text;
    else
        LOG(WARNING) << text;
}

// Gives a written file the manifest's time stamp; the warning names the
// application file. A stamp outside what the time conversions accept leaves
// the times as written, without a message.
void StampFileTimes(const std::wstring& path, const std::wstring& target, int64_t modified)
{
    QX_FILE_BASIC_INFORMATION info{};
    if (Injected(eStepStampNew) || GetFileBasicInfo(&info, path) != 0) {
        const DWORD code = GetLastError();
        LOG(WARNING) << ToLogText(kStampFailed) << ToLogText(target) << ToLogText(kCode) << code;
        return;
    }
    LARGE_INTEGER value{};
    if (!ManifestFileTime(modified, &value))
        return;
    SetAllTimes(info, value);
    SetFileBasicInfo(path, info);
}

// Writes the item's whole content with one call. On failure code receives the
// writer's error, or a definite one where the system reported none.
bool WriteContent(CFileWriter& writer, const CUpdateFileItem& item, eReplaceStep step, DWORD* code)
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
    if (Injected(step)) {
        *code = GetLastError();
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

// One item marked for update, from the leftovers of an earlier run to the swap.
class CItemReplacement
{
public:
    CItemReplacement(CUpdateFileItem& item, const std::wstring& target, const std::wstring& backup,
                     CFolderIndex& index)
        : m_item(item), m_index(index), m_target(target), m_backup(backup), m_new(StagedPathOf(target)),
          m_copy(target + kCopySuffix), m_copyNew(StagedPathOf(target + kCopySuffix))
    {
    }

    // False when the item failed; the old file is then whole under its own
    // name (or, when even that move back failed, under the backup name).
    // keepBackup: an earlier item failed, so the old file stays as its backup.
    bool Replace(bool keepBackup)
    {
        RecoverInterrupted();

        const DWORD attributes =
            m_index.MayExist(m_target) ? GetFileAttributesW(m_target.c_str()) : INVALID_FILE_ATTRIBUTES;
        m_hasOldFile = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
        m_oldAttributes = m_hasOldFile ? attributes : FILE_ATTRIBUTE_NORMAL;

        if (!WriteNewFile())
            return false;
        return Swap(keepBackup);
    }

private:
    // Clears up after a run that was killed while it worked on this item.
    void RecoverInterrupted()
    {
        // Not known to be whole: never installed. (A file this run staged is
        // held open under that name and is not a leftover.)
        if (!m_item.staged.IsStaged() && m_index.MayExist(m_new))
            DeleteLeftover(m_new);
        if (m_index.MayExist(m_copyNew))
            DeleteLeftover(m_copyNew);

        // An overwrite in place was interrupted: the copy is the whole old
        // file, the file under its own name may be torn.
        if (Exists(m_copy)) {
            m_index.Note(m_target);
            SetFileAttributesW(m_target.c_str(), FILE_ATTRIBUTE_NORMAL);
            const bool done = PutBackCopy(m_copy, m_target);
            PassKillPoint(eKillRecover);
            LogRestored(m_target, done, done ? 0 : LastErrorOr(ERROR_GEN_FAILURE), false);
        }

        // A backup beside its file is a stale older copy. Without the file it
        // is the only copy of the old version (a run ended between its two
        // renames): it goes back under its own name.
        if (!Exists(m_backup))
            return;
        const DWORD attributes = GetFileAttributesW(m_target.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES || GetLastError() != ERROR_FILE_NOT_FOUND) {
            DeleteFileW(m_backup.c_str());
            return;
        }
        m_index.Note(m_target);
        const bool done = MoveFileW(m_backup.c_str(), m_target.c_str()) != FALSE;
        PassKillPoint(eKillRecover);
        LogRestored(m_target, done, done ? 0 : LastErrorOr(ERROR_GEN_FAILURE), false);
    }

    // The new content, whole and stamped, under the temporary name.
    bool WriteNewFile()
    {
        if (m_item.staged.IsStaged()) {
            if (m_item.staged.stampError != 0)
                LOG(WARNING) << ToLogText(kStampFailed) << ToLogText(m_target) << ToLogText(kCode)
                             << m_item.staged.stampError;
            return true;
        }
        CFileWriter writer;
        writer.path = m_new;
        if (Injected(eStepCreateNew) || !writer.Open()) {
            const DWORD code = LastErrorOr(ERROR_OPEN_FAILED);
            LOG(ERROR) << ToLogText(kCreateFailed) << ToLogText(m_target) << ToLogText(kCode) << code;
            writer.Close();
            DeleteFileW(m_new.c_str());
            LogOldFileKept();
            return false;
        }
        DWORD code = 0;
        if (!WriteContent(writer, m_item, eStepWriteNew, &code)) {
            LOG(ERROR) << ToLogText(kWriteFailed) << ToLogText(m_target) << ToLogText(kCode) << code;
            writer.Close();
            DeleteFileW(m_new.c_str());
            // The stamp is tried as for a written file; the file is gone, so
            // its warning follows the error, as readers of the log expect.
            StampFileTimes(m_new, m_target, m_item.modified);
            LogOldFileKept();
            return false;
        }
        // On the disk before it replaces the old file, as a staged file is.
        FlushFileBuffers(writer.handle);
        writer.Close();
        StampFileTimes(m_new, m_target, m_item.modified);
        return true;
    }

    // The old file stayed under its own name throughout a failed item.
    void LogOldFileKept()
    {
        if (m_hasOldFile)
            LogRestored(m_target, true, 0, true);
    }

    bool Swap(bool keepBackup)
    {
        if (!m_hasOldFile) {
            // Nothing to keep; a folder under the file's name refuses the rename.
            if (RenameNew(eStepFinalRename))
                return true;
            FailCreate(LastErrorOr(ERROR_GEN_FAILURE));
            return false;
        }

        // Only these attributes stand in the way of renaming over the file
        // or of deleting its backup later; changing them costs a call per file.
        const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        if ((m_oldAttributes & blocking) != 0)
            SetFileAttributesW(m_target.c_str(), FILE_ATTRIBUTE_NORMAL);

        // While no item has failed, the backup would be deleted right after
        // the swap: one rename over the old file does both, and the file is
        // never absent under its own name.
        if (!keepBackup && RenameNew(eStepReplaceOld))
            return true;

        if (Injected(eStepMoveToBackup) || !MoveFileW(m_target.c_str(), m_backup.c_str()))
            return ReplaceInPlace();
        m_index.Note(m_backup);

        if (RenameNew(eStepFinalRename))
            return true;
        FailCreate(LastErrorOr(ERROR_GEN_FAILURE));
        // MoveFileW keeps the old file's times; its attributes come back by hand.
        const bool done = MoveFileW(m_backup.c_str(), m_target.c_str()) != FALSE;
        const DWORD code = done ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
        if (done)
            SetFileAttributesW(m_target.c_str(), m_oldAttributes);
        LogRestored(m_target, done, code, true);
        return false;
    }

    void FailCreate(DWORD code)
    {
        LOG(ERROR) << ToLogText(kCreateFailed) << ToLogText(m_target) << ToLogText(kCode) << code;
        DeleteNew();
    }

    bool Exists(const std::wstring& path) { return m_index.MayExist(path) && FileExists(path); }

    // The new file to its own name, replacing what is there.
    bool RenameNew(eReplaceStep step)
    {
        if (Injected(step))
            return false;
        m_index.Note(m_target);
        if (m_item.staged.IsStaged())
            return m_item.staged.RenameTo(m_target);
        return MoveFileExW(m_new.c_str(), m_target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    }

    void DeleteNew()
    {
        if (m_item.staged.IsStaged())
            m_item.staged.Discard();
        else
            DeleteFileW(m_new.c_str());
    }

    // The old file cannot be moved aside (the backup name is blocked, or the
    // file may not be renamed). It is replaced under its own name, but only
    // with a whole copy of it to go back to.
    bool ReplaceInPlace()
    {
        if (m_index.MayExist(m_copyNew))
            DeleteLeftover(m_copyNew);
        m_index.Note(m_copyNew);
        m_index.Note(m_copy);
        if (Injected(eStepCopyOld) || !CopyFileW(m_target.c_str(), m_copyNew.c_str(), FALSE) ||
            !FlushFile(m_copyNew) || !MoveFileW(m_copyNew.c_str(), m_copy.c_str())) {
            const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
            DeleteLeftover(m_copyNew);
            SetFileAttributesW(m_target.c_str(), m_oldAttributes);
            FailCreate(code);
            return false;
        }

        // A rename over the old file is all or nothing.
        if (RenameNew(eStepFinalRename)) {
            DeleteLeftover(m_copy);
            return true;
        }

        // Last resort: overwrite it from memory or from the staged file.
        CFileWriter writer;
        writer.path = m_target;
        DWORD code = 0;
        bool opened = false;
        bool written = false;
        if (!Injected(eStepWriteInPlace) && writer.Open()) {
            opened = true;
            written = m_item.staged.IsStaged() ? CopyStaged(writer, &code)
                                               : WriteContent(writer, m_item, eStepWriteInPlace, &code);
            // On the disk before the copy that could replace it is deleted.
            if (written)
                FlushFileBuffers(writer.handle);
        } else {
            code = LastErrorOr(ERROR_OPEN_FAILED);
        }
        writer.Close();
        DeleteNew();
        if (written) {
            StampFileTimes(m_target, m_target, m_item.modified);
            DeleteLeftover(m_copy);
            return true;
        }
        LOG(ERROR) << ToLogText(opened ? kWriteFailed : kCreateFailed) << ToLogText(m_target) << ToLogText(kCode)
                   << code;
        if (opened) {
            RestoreFromCopy();
            return false;
        }
        // A refused open truncates nothing: the old file is as it was.
        DeleteLeftover(m_copy);
        SetFileAttributesW(m_target.c_str(), m_oldAttributes);
        return false;
    }

    // Writes the staged file's content through the writer, from its start.
    bool CopyStaged(CFileWriter& writer, DWORD* code)
    {
        if (Injected(eStepWriteInPlace)) {
            *code = GetLastError();
            return false;
        }
        const HANDLE staged = m_item.staged.Get();
        LARGE_INTEGER start{};
        if (!SetFilePointerEx(staged, start, nullptr, FILE_BEGIN)) {
            *code = LastErrorOr(ERROR_READ_FAULT);
            return false;
        }
        std::vector<unsigned char> buffer(kStageBufferBytes);
        int64_t done = 0;
        while (done < m_item.sizeBytes) {
            DWORD read = 0;
            if (!ReadFile(staged, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) || read == 0) {
                *code = LastErrorOr(ERROR_READ_FAULT);
                return false;
            }
            if (!writer.Write(buffer.data(), read) || writer.bytesWritten != read) {
                *code = DefiniteCode(writer.lastError, ERROR_WRITE_FAULT);
                return false;
            }
            done += read;
        }
        return true;
    }

    void RestoreFromCopy()
    {
        // Without success the copy stays: the next run puts it back first.
        const bool done = PutBackCopy(m_copy, m_target);
        const DWORD code = done ? 0 : LastErrorOr(ERROR_GEN_FAILURE);
        if (done)
            SetFileAttributesW(m_target.c_str(), m_oldAttributes);
        LogRestored(m_target, done, code, true);
    }

    CUpdateFileItem& m_item;
    CFolderIndex& m_index;
    const std::wstring m_target;
    const std::wstring m_backup;
    const std::wstring m_new;
    const std::wstring m_copy;
    const std::wstring m_copyNew;
    bool m_hasOldFile = false;
    DWORD m_oldAttributes = FILE_ATTRIBUTE_NORMAL;
};

} // namespace

void SetReplaceFaultHook(ReplaceFaultHook hook, void* context)
{
    g_faultHook = hook;
    g_faultContext = context;
}

bool CQXUpdate::UpdateAppFiles()
{
    bool ok = true;
    CFolderIndex index;
    for (CUpdateFileItem* item : files) {
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

        CItemReplacement replacement(*item, target, backupPath, index);
        if (!replacement.Replace(!ok))
            ok = false;
        // A backup that cannot be deleted stays; the next run finds its file
        // beside it and deletes it then.
        if (ok && index.MayExist(backupPath) && !Injected(eStepDeleteBackup))
            DeleteFileW(backupPath.c_str());
    }
    return ok;
}
