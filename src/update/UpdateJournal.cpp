#include "update/UpdateJournal.h"

#include "update/KillPoint.h"
#include "update/ReplaceFault.h"
#include "update/UpdateMessages.h"
#include "update/UpdateRunLog.h"

#include "platform/FileHelpers.h"
#include "platform/Handles.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <string>

namespace {

using namespace UpdateMessages;

const char kHeader[] = "QXUpdateJournal 1";
const char kEnd[] = "end";
const char kCommit[] = "commit";

LONG g_journalFlushes = 0;

// Writes the journal's data out to the disk: a kill cannot lose what the
// system accepted, a power cut can, so every record is flushed before the
// run goes on.
bool FlushJournal(HANDLE file)
{
    if (!FlushFileBuffers(file))
        return false;
    InterlockedIncrement(&g_journalFlushes);
    return true;
}

bool WriteAll(HANDLE file, const std::string& text)
{
    DWORD written = 0;
    return WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

std::vector<std::string> Fields(const std::string& line)
{
    return SplitString(line, "\t");
}

// Clears what stands in the way of deleting or replacing a file of ours.
void MakeNormal(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & blocking) != 0)
        SetFileAttributesW(path.c_str(), attributes & ~blocking);
}


// The step of an undo that failed, as it is: an old version not put back, an
// added file not deleted, or a file of the run's own not deleted.
void LogUndoFailed(const CJournalEntry& entry, const CUndoneChange& undone)
{
    switch (undone.failed) {
    case CUndoneChange::ePutBack:
        LogFileError(kNotPutBack, entry.target, undone.code);
        // Who stands in the way, so that whoever reads the log can end it.
        LogIfHeld(kNotPutBackInUse, entry.target, undone.code);
        return;
    case CUndoneChange::eRemoveAdded:
        LogFileError(kAddedNotRemoved, entry.target, undone.code);
        LogIfHeld(kFileHeld, entry.target, undone.code);
        return;
    case CUndoneChange::eDeleteStaged:
    case CUndoneChange::eNoFailure:
        break;
    }
    LogFileError(kDeleteFailed, undone.name, undone.code);
}

// Deletes name, a second name of the file under target; where it cannot be
// deleted (the file is mapped: a program runs from it) it is left for later.
bool DropExtraName(const std::wstring& name, const std::wstring& target, eKillPhase phase, DWORD* code,
                   std::vector<CLeftover>* leftovers)
{
    if (DeleteIfPresent(name, phase, code))
        return true;
    if (leftovers == nullptr)
        return false;
    leftovers->push_back(CLeftover{name, target});
    *code = 0;
    return true;
}

} // namespace

LONG JournalFlushes()
{
    return InterlockedCompareExchange(&g_journalFlushes, 0, 0);
}

bool DeleteIfPresent(const std::wstring& path, eKillPhase phase, DWORD* code)
{
    if (path.empty())
        return true;
    if (DeleteFileW(path.c_str())) {
        PassKillPoint(phase);
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    if (error == ERROR_ACCESS_DENIED && FileExists(path)) {
        MakeNormal(path);
        if (DeleteFileW(path.c_str())) {
            PassKillPoint(phase);
            return true;
        }
        error = GetLastError();
    }
    *code = error != 0 ? error : static_cast<DWORD>(ERROR_GEN_FAILURE);
    return false;
}

bool CUpdateJournal::Write()
{
    std::string text = std::string(kHeader) + "\r\n";
    for (const std::wstring& folder : folders)
        text += "F\t" + WideToUtf8(folder) + "\r\n";
    for (const std::wstring& folder : newFolders)
        text += "N\t" + WideToUtf8(folder) + "\r\n";
    for (const std::wstring& folder : prune)
        text += "P\t" + WideToUtf8(folder) + "\r\n";
    // Written only where a run needs it: journals without it stay readable
    // by earlier versions.
    for (const std::wstring& folder : emptied)
        text += "E\t" + WideToUtf8(folder) + "\r\n";
    for (const CJournalEntry& entry : entries) {
        text += static_cast<char>(entry.kind);
        text += "\t" + WideToUtf8(entry.target) + "\t" + WideToUtf8(entry.staged) + "\t" + WideToUtf8(entry.backup) +
                "\r\n";
    }
    text += std::string(kEnd) + "\r\n";

    // A journal under this name is an earlier run's only when recovery left
    // it; the run does not start then, so whatever is here is replaced.
    CHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    const bool written = WriteAll(file.Get(), text) && FlushJournal(file.Get());
    const DWORD code = LastErrorOr(ERROR_WRITE_FAULT);
    file.Close();
    if (!written) {
        DeleteFileW(path.c_str());
        SetLastError(code);
        return false;
    }
    PassKillPoint(eKillJournal);
    return true;
}

bool CUpdateJournal::MarkCommitted()
{
    CHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             nullptr));
    if (!file)
        return false;
    if (!WriteAll(file.Get(), std::string(kCommit) + "\r\n") || !FlushJournal(file.Get())) {
        const DWORD code = LastErrorOr(ERROR_WRITE_FAULT);
        file.Close();
        SetLastError(code);
        return false;
    }
    PassKillPoint(eKillJournal);
    return true;
}

eJournalState CUpdateJournal::Read()
{
    entries.clear();
    folders.clear();
    newFolders.clear();
    prune.clear();
    emptied.clear();
    CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? eJournalAbsent : eJournalCutShort;
    }
    std::string text;
    char block[64 << 10];
    DWORD read = 0;
    while (ReadFile(file.Get(), block, sizeof(block), &read, nullptr) && read != 0)
        text.append(block, read);

    const std::vector<std::string> lines = SplitString(text, "\r\n");
    if (lines.empty() || lines[0] != kHeader)
        return eJournalCutShort;
    size_t index = 1;
    for (; index < lines.size() && lines[index] != kEnd; ++index) {
        const std::vector<std::string> fields = Fields(lines[index]);
        if (fields.size() == 2 && !fields[1].empty() &&
            (fields[0] == "F" || fields[0] == "N" || fields[0] == "P" || fields[0] == "E")) {
            (fields[0] == "F"   ? folders
             : fields[0] == "N" ? newFolders
             : fields[0] == "P" ? prune
                                : emptied)
                .push_back(Utf8ToWide(fields[1]));
            continue;
        }
        if (fields.size() != 4 || fields[0].size() != 1 ||
            (fields[0][0] != eChangeReplace && fields[0][0] != eChangeAdd && fields[0][0] != eChangeRemove))
            return eJournalCutShort;
        CJournalEntry entry;
        entry.kind = static_cast<eChangeKind>(fields[0][0]);
        entry.target = Utf8ToWide(fields[1]);
        entry.staged = Utf8ToWide(fields[2]);
        entry.backup = Utf8ToWide(fields[3]);
        if (entry.target.empty() || (entry.kind != eChangeRemove && entry.staged.empty()) ||
            (entry.kind != eChangeAdd && entry.backup.empty()))
            return eJournalCutShort;
        entries.push_back(entry);
    }
    if (index == lines.size())
        return eJournalCutShort;
    // A commit line cut short by a power cut is no commit.
    return index + 1 < lines.size() && lines[index + 1] == kCommit ? eJournalCommitted : eJournalOpen;
}

bool CUpdateJournal::Delete()
{
    DWORD code = 0;
    return DeleteIfPresent(path, eKillJournal, &code);
}

std::wstring DefaultJournalPath()
{
    const std::wstring module = ModulePath();
    const size_t slash = module.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : module.substr(0, slash + 1)) + L"QXUpdate.journal";
}

std::wstring AsideName(const CJournalEntry& entry)
{
    const size_t suffix = entry.backup.size() >= 4 ? entry.backup.size() - 4 : 0;
    if (entry.kind != eChangeReplace || entry.backup.size() < 4 || entry.backup.compare(suffix, 4, L".old") != 0)
        return std::wstring();
    return entry.backup.substr(0, suffix) + L".use";
}

bool UndoChange(const CJournalEntry& entry, eKillPhase phase, CUndoneChange* undone,
                std::vector<CLeftover>* leftovers)
{
    *undone = CUndoneChange();
    const auto fail = [undone](CUndoneChange::eStep step, DWORD code, const std::wstring& name = std::wstring()) {
        undone->failed = step;
        undone->code = code != 0 ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
        undone->name = name;
    };
    if (entry.kind == eChangeReplace || entry.kind == eChangeRemove) {
        // The old file is under the backup name from the swap's first step
        // on, whole; when it was in use it may have gone to its aside name,
        // the backup then a second name of it. Each name of it goes back over
        // whatever is under the target's name, or, once it is the file under
        // that name, is dropped. Renames work on a file a program runs from.
        for (const std::wstring& name : {entry.backup, AsideName(entry)}) {
            if (undone->failed != CUndoneChange::eNoFailure || name.empty() || !FileExists(name))
                continue;
            if (SameFile(name, entry.target)) {
                DWORD code = 0;
                if (!DropExtraName(name, entry.target, phase, &code, leftovers))
                    fail(CUndoneChange::eDeleteStaged, code, name);
                continue;
            }
            MakeNormal(entry.target);
            if (!InjectedFault(eStepPutBack, entry.target.c_str()) &&
                MoveFileExW(name.c_str(), entry.target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
                PassKillPoint(phase);
                undone->restored = true;
            } else {
                fail(CUndoneChange::ePutBack, LastErrorOr(ERROR_GEN_FAILURE));
            }
        }
    } else if (FileExists(entry.target)) {
        // The run's file is linked to the target's name with its staged name
        // kept: only while both name one file is it the run's to delete. The
        // target goes first, so that a kill between the two deletions leaves
        // no file of the run under the target's name without its proof.
        if (!SameFile(entry.target, entry.staged)) {
            undone->notOurs = true;
        } else if (InjectedFault(eStepRemoveAdded, entry.target.c_str())) {
            fail(CUndoneChange::eRemoveAdded, GetLastError());
        } else {
            DWORD code = 0;
            if (DeleteIfPresent(entry.target, phase, &code))
                undone->takenAway = true;
            else
                fail(CUndoneChange::eRemoveAdded, code);
        }
    }
    // An added file that stays keeps its proof for the next attempt.
    DWORD stagedCode = 0;
    if (undone->failed != CUndoneChange::eRemoveAdded && !DeleteIfPresent(entry.staged, phase, &stagedCode) &&
        undone->failed == CUndoneChange::eNoFailure)
        fail(CUndoneChange::eDeleteStaged, stagedCode, entry.staged);
    return undone->failed == CUndoneChange::eNoFailure;
}

bool FinishChange(const CJournalEntry& entry, eKillPhase phase, eFinishBy by, DWORD* code,
                  std::vector<CLeftover>* leftovers)
{
    bool ok = true;
    if (entry.kind == eChangeReplace || entry.kind == eChangeRemove) {
        // The commit stands: an old version that cannot be deleted now (a
        // program still runs from it) only waits to be deleted later.
        for (const std::wstring& name : {entry.backup, AsideName(entry)}) {
            if (name.empty())
                continue;
            DWORD failed = 0;
            if (name == entry.backup && InjectedFault(eStepDeleteBackup, name.c_str())) {
                failed = LastErrorOr(ERROR_GEN_FAILURE);
            } else if (DeleteIfPresent(name, phase, &failed)) {
                continue;
            }
            if (leftovers != nullptr) {
                leftovers->push_back(CLeftover{name, entry.target});
            } else {
                *code = failed;
                ok = false;
            }
        }
    }
    // Looking up a name that is gone costs a scan of its folder under Wine;
    // after the swap every staged name of a replacement is known to be gone.
    // An added file keeps its staged name as a second one until the commit
    // (deleted right after it by the run; one it could not delete then is
    // deleted here, or left for later while a program holds the file).
    DWORD stagedCode = 0;
    if ((by == eFinishRecovered || entry.kind == eChangeAdd) && !DeleteIfPresent(entry.staged, phase, &stagedCode)) {
        if (entry.kind == eChangeAdd && leftovers != nullptr) {
            leftovers->push_back(CLeftover{entry.staged, entry.target});
        } else if (ok) {
            *code = stagedCode;
            ok = false;
        }
    }
    return ok;
}

namespace {

// Removes each folder when it is empty, in the order given; a folder that
// still holds anything (or is gone) stays as it is. True when none is left.
// logRemoved: each folder removed is logged (application folders, not the run's own).
bool RemoveIfEmpty(const std::vector<std::wstring>& folders, eKillPhase phase, bool logRemoved = false)
{
    bool ok = true;
    for (const std::wstring& folder : folders) {
        if (RemoveDirectoryW(folder.c_str())) {
            PassKillPoint(phase);
            if (logRemoved)
                LOG(INFO) << ToLogText(kFolderRemoved) << ToLogText(folder);
            continue;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
            ok = false;
    }
    return ok;
}

// The run's own folders, then the journal: the last of a run's traces. Old
// versions still in use are recorded first, with the folders that hold them,
// for a later run or service start to delete: then they keep no journal.
bool RemoveRunTraces(const CUpdateJournal& journal, eKillPhase phase, const std::vector<CLeftover>& leftovers)
{
    const std::vector<std::wstring> runFolders(journal.folders.rbegin(), journal.folders.rend());
    if (!leftovers.empty() && !RecordLeftovers(LeftoversPathFor(journal.path), leftovers, runFolders))
        return false;
    if (!RemoveIfEmpty(runFolders, phase) && leftovers.empty())
        return false;
    DWORD code = 0;
    return DeleteIfPresent(journal.path, eKillJournal, &code);
}

} // namespace

bool UndoJournal(const CUpdateJournal& journal, size_t started, eKillPhase phase, eUndoLog log, int* restoredCount)
{
    *restoredCount = 0;
    if (journal.Empty())
        return true;
    bool ok = true;
    std::vector<CLeftover> leftovers;
    const auto undo = [&](size_t i) {
        const CJournalEntry& entry = journal.entries[i];
        if (i >= started) {
            // Staged only, perhaps with its backup linked ahead (a second
            // name of the old file, which keeps its own); one that stays
            // keeps the run's folder, and so the journal.
            DeleteFileW(entry.staged.c_str());
            DWORD code = 0;
            if (entry.linked)
                DropExtraName(entry.backup, entry.target, phase, &code, &leftovers);
            return;
        }
        CUndoneChange undone;
        if (!UndoChange(entry, phase, &undone, &leftovers)) {
            ok = false;
            LogUndoFailed(entry, undone);
        }
        if (undone.restored) {
            ++*restoredCount;
            if (log == eUndoLogRecovered)
                LOG(WARNING) << ToLogText(kRestored) << ToLogText(entry.target);
            else if (log == eUndoLogEach)
                LOG(INFO) << ToLogText(kPutBack) << ToLogText(entry.target);
        } else if (undone.takenAway && log == eUndoLogEach) {
            LOG(INFO) << ToLogText(kAddedTakenBack) << ToLogText(entry.target);
        } else if (undone.notOurs && log != eUndoQuiet) {
            LOG(WARNING) << ToLogText(kNotOurs) << ToLogText(entry.target);
        }
    };
    // The installs, then the folders, then the removals (a removed file may
    // have stood where a created folder is).
    const auto isRemoval = [&journal](size_t i) { return journal.entries[i].kind == eChangeRemove; };
    for (size_t i = journal.entries.size(); i-- > 0;) {
        if (!isRemoval(i))
            undo(i);
    }
    RemoveIfEmpty(std::vector<std::wstring>(journal.newFolders.rbegin(), journal.newFolders.rend()), phase,
                  log != eUndoQuiet);
    for (auto folder = journal.emptied.rbegin(); folder != journal.emptied.rend(); ++folder) {
        if (CreateDirectoryW(folder->c_str(), nullptr)) {
            PassKillPoint(phase);
            if (log != eUndoQuiet)
                LOG(INFO) << ToLogText(kFolderRecreated) << ToLogText(*folder);
        }
    }
    for (size_t i = journal.entries.size(); i-- > 0;) {
        if (isRemoval(i))
            undo(i);
    }
    // A change that could not be undone stays in the journal: the next run
    // undoes it before anything else.
    return ok && RemoveRunTraces(journal, phase, leftovers);
}

bool FinishJournal(const CUpdateJournal& journal, eKillPhase phase, eFinishBy by)
{
    if (journal.Empty())
        return true;
    bool ok = true;
    std::vector<CLeftover> leftovers;
    for (const CJournalEntry& entry : journal.entries) {
        DWORD code = 0;
        if (!FinishChange(entry, phase, by, &code, &leftovers)) {
            ok = false;
            if (by == eFinishRecovered)
                LogFileError(kDeleteFailed, entry.backup, code);
        }
    }
    RemoveIfEmpty(journal.prune, phase, true);
    return ok && RemoveRunTraces(journal, phase, leftovers);
}

bool RecoverInterruptedUpdate(const std::wstring& journalPath)
{
    CUpdateJournal journal;
    journal.path = journalPath;
    const eJournalState state = journal.Read();
    if (state == eJournalAbsent)
        return true;
    if (state == eJournalCutShort) {
        // Killed while writing it: nothing in the application folder was touched.
        if (journal.Delete())
            return true;
        LOG(ERROR) << ToLogText(kRecoveryFailed) << ToLogText(journalPath);
        return false;
    }

    int count = 0;
    const bool ok = state == eJournalCommitted
                        ? FinishJournal(journal, eKillRecover, eFinishRecovered)
                        : UndoJournal(journal, journal.entries.size(), eKillRecover, eUndoLogRecovered, &count);
    if (!ok) {
        LOG(ERROR) << ToLogText(kRecoveryFailed) << ToLogText(journalPath);
        return false;
    }
    if (state == eJournalCommitted)
        LOG(WARNING) << ToLogText(kRecoveredFinished);
    else
        LOG(WARNING) << ToLogText(kRecoveredUndone) << count;
    return true;
}
