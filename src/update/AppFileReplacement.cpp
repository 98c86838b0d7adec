// CUpdateTransaction (AppFileReplacement.h): replacing the application files
// as one transaction, every file of the update or none.
//
// Before anything in the application folder is created, renamed or deleted,
// the run plans one change per item and writes them to its journal (see
// UpdateJournal.h) with the names it will use, in a folder of its own that it
// then creates in the application folder:
//   .~qx<token>\<g>\<i>.new   the new content of change i, staged (CQXUpdate::StageFiles)
//   .~qx<token>\<g>\<i>.old   the old file of change i, from the swap to the commit
// where <g> is i / 128 and <token> is drawn at random for the run, so no application file has
// these names; the run also never creates a file over an existing name or
// renames onto one. A folder of its own (rather than names beside each file)
// keeps the folder the run looks new names up in small: under Wine every
// lookup of a name that does not exist yet scans its whole folder.
//
// Once the files are staged, while the application still runs, each old file
// X gets its backup name as a second link (LinkBackupsAhead). The swap, while
// the application is down, then replaces item after item: the staged file
// renamed over X (where no link was made ahead: X linked then, or moved to
// its backup name; a new file: the staged file linked to X, its staged name
// kept as proof until the commit). When an item fails,
// every change made so far is undone in reverse order (and the links made
// ahead deleted); when all have been made, the journal's commit line is
// written out, and only then are the backups and the journal deleted. A run
// killed at any moment leaves the journal, which the next run (or the
// service, when it starts) applies first.
#include "update/AppFileReplacement.h"

#include "update/KillPoint.h"
#include "update/ReplaceFault.h"
#include "update/UpdateMessages.h"
#include "update/UpdateRunLog.h"

#include "platform/FileHelpers.h"
#include "platform/HandleQueue.h"
#include "platform/Handles.h"
#include "platform/NativeFile.h"
#include "platform/PathRules.h"
#include "platform/TextConversion.h"

#include <easylogging++.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace UpdateMessages;

// The folders a run's changes need: those to create for new files (their
// parents that do not exist, outermost first) and those that removals may
// leave empty (innermost first), all below the application folder.
class CFolderPlan
{
public:
    explicit CFolderPlan(const std::wstring& root) : m_root(root) {}

    void Installed(const std::wstring& target)
    {
        std::vector<std::wstring> missing;
        for (std::wstring folder = Parent(target); Below(folder); folder = Parent(folder)) {
            if (m_present.count(folder) != 0)
                break;
            const DWORD attributes = GetFileAttributesW(folder.c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                m_present.insert(folder);
                break;
            }
            missing.push_back(folder);
        }
        for (auto folder = missing.rbegin(); folder != missing.rend(); ++folder) {
            if (m_present.insert(*folder).second)
                m_create.push_back(*folder);
        }
    }

    void Removed(const std::wstring& target)
    {
        for (std::wstring folder = Parent(target); Below(folder); folder = Parent(folder))
            m_prune.insert(folder);
    }

    const std::vector<std::wstring>& ToCreate() const { return m_create; }
    std::vector<std::wstring> ToPrune() const
    {
        std::vector<std::wstring> folders(m_prune.begin(), m_prune.end());
        // Deeper first: a folder is empty only once its subfolders are gone.
        std::stable_sort(folders.begin(), folders.end(),
                         [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
        return folders;
    }

private:
    // The folder holding path, without a trailing backslash.
    static std::wstring Parent(const std::wstring& path)
    {
        const size_t slash = path.find_last_of(L'\\');
        return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }

    bool Below(const std::wstring& folder) const { return IsBelow(folder + L"\\", m_root); }

    std::wstring m_root; // with a trailing backslash
    std::set<std::wstring> m_present;
    std::vector<std::wstring> m_create;
    std::set<std::wstring> m_prune;
};

// How many changes keep their names in one subfolder of the run's folder.
const size_t kNamesPerFolder = 128;

// The run's own folder in the application folder root (where names appended
// to the target folder land, with its trailing backslash): ".~qx" and eight
// hexadecimal digits drawn at random, with a trailing backslash.
std::wstring RunFolderIn(const std::wstring& root)
{
    ULONG value = 0;
    if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof(value), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
        value = GetTickCount() ^ (GetCurrentProcessId() << 16);
    wchar_t name[16] = {};
    swprintf(name, 16, L".~qx%08lx", value);
    return root + name + L"\\";
}

bool IsBusy(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
}

} // namespace

// Waits out a file that another program holds for a moment (a scanner, an
// indexer opens new and changed files): a sharing or lock violation is tried
// again, on a timer, for a bounded time per file and per run; then the run
// fails as it would have at once.
class CBusyRetry
{
public:
    // Begins the next file.
    void NextFile()
    {
        m_fileWaitedMs = 0;
        m_logged = false;
    }
    // True (after a wait) when the step that failed with code is to be tried
    // again; the first retry of a file is logged with who holds it.
    bool Again(DWORD code, const std::wstring& target)
    {
        if (!IsBusy(code) || m_fileWaitedMs >= kPerFileMs || m_runWaitedMs >= kPerRunMs)
            return false;
        if (!m_logged) {
            LogStillInUse(kRetrying, target, {target});
            m_logged = true;
        }
        Sleep(kStepMs);
        m_fileWaitedMs += kStepMs;
        m_runWaitedMs += kStepMs;
        return true;
    }

private:
    static constexpr DWORD kStepMs = 50;
    static constexpr DWORD kPerFileMs = 2000;
    static constexpr DWORD kPerRunMs = 10000;
    DWORD m_fileWaitedMs = 0;
    DWORD m_runWaitedMs = 0;
    bool m_logged = false;
};

namespace {

enum eLinkResult
{
    eLinkMade = 0,   // the backup name is a second name of the old file
    eLinkNotHad,     // no link on this volume, or an attribute would refuse the rename over the file
    eLinkInUse,      // mapped or open without write sharing: a program runs from it; it is to be moved
    eLinkRefused,    // not to be opened for deletion (held open without delete sharing): code says why
};

// Gives the old file of a replacement its backup name as a second name (a
// hard link): the file keeps its own name until the new one is renamed over
// it, and making the link costs one lookup of a new name instead of two (the
// second in the application folder). A file held open without delete sharing
// is refused first: a link made to it could not be removed again until it is
// let go. A file a program runs from (it cannot be opened for writing, as a
// mapped image cannot) gets no link either: the new file could not be renamed
// over it, and a second name of a running image cannot be deleted until the
// program ends; it is moved to its backup name instead.
eLinkResult LinkBackup(const CJournalEntry& entry, DWORD* code)
{
    *code = 0;
    // Closed before the rename over the file: a file that is open cannot be replaced.
    CHandle file(CreateFileW(entry.target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) {
        *code = LastErrorOr(ERROR_GEN_FAILURE);
        return eLinkRefused;
    }
    // Unverified under Wine, which sets no such attributes in these tests'
    // folders: the rename over a read-only, hidden or system file is refused.
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD attributes = GetFileAttributesW(entry.target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & blocking) != 0)
        return eLinkNotHad;
    CHandle writable(CreateFileW(entry.target.c_str(), FILE_WRITE_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!writable && IsBusy(GetLastError()))
        return eLinkInUse;
    writable.Close();
    return LinkOpenFile(file.Get(), entry.backup) == 0 ? eLinkMade : eLinkNotHad;
}

// Why the new file could not be renamed over the old one: held open for now
// (code: the sharing violation), or in use in a way that only a move away
// gets past (a program runs from it).
bool HeldForNow(const std::wstring& target, DWORD* code)
{
    CHandle file(CreateFileW(target.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file)
        return false;
    *code = LastErrorOr(ERROR_GEN_FAILURE);
    return IsBusy(*code);
}

// One item's change, from its new content to its swap.
class CItemSwap
{
public:
    // closer: takes the handles the swap is done with (closed on a thread of
    // its own); the caller finishes it before anything else touches the files.
    CItemSwap(CUpdateFileItem& item, const CJournalEntry& entry, const std::wstring& target, CHandleQueue& closer,
              CBusyRetry& retry)
        : m_item(item), m_entry(entry), m_target(target), m_closer(closer), m_retry(retry)
    {
    }

    // False when the item failed (logged; Code() says why); what it changed
    // is then undone with the rest of the run.
    bool Swap()
    {
        if (!StagedFileReady())
            return false;
        bool replace = false;
        if (m_entry.kind == eChangeReplace) {
            // A backup linked ahead needs nothing more: the new file goes over the old.
            replace = m_entry.linked;
            if (InjectedFault(eStepMoveToBackup, m_entry.target.c_str()) ||
                (!m_entry.linked && !KeepOldFile(&replace))) {
                LogFailed(kMoveToBackupFailed, LastErrorOr(ERROR_GEN_FAILURE));
                return false;
            }
            PassKillPoint(eKillSwap);
        }
        while (!RenameNew(replace)) {
            DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
            if (code == ERROR_RETRY && m_noLinks)
                continue;
            // The old file is still under its name (and the backup a second
            // name of it): held for a moment, it is waited for; in use by a
            // program that runs from it, it is renamed away (a running image
            // can be) and the new file takes the free name.
            if (replace && !m_injected) {
                if (HeldForNow(m_target, &code)) {
                    if (m_retry.Again(code, m_target))
                        continue;
                } else if (MoveAway()) {
                    replace = false;
                    continue;
                } else {
                    code = LastErrorOr(ERROR_GEN_FAILURE);
                }
            }
            // The old file never left its name; its second one goes with the undo.
            LogFailed(kPutInPlaceFailed, code);
            return false;
        }
        PassKillPoint(eKillSwap);
        return true;
    }

    // The old file was in use when it was replaced: a program runs from it still.
    bool InUse() const { return m_inUse; }

private:
    // The new content, whole, stamped and on the disk, under the staged name.
    bool StagedFileReady()
    {
        if (!m_item.staged.IsStaged()) {
            LogFailed(kNotStagedAtSwap, ERROR_FILE_NOT_FOUND);
            return false;
        }
        if (m_item.staged.stampError != 0)
            LOG(WARNING) << ToLogText(kStampFailed) << ToLogText(m_target) << ToLogText(kCode)
                         << m_item.staged.stampError;
        return true;
    }

    // The old file under the backup name: a second name for it (see
    // LinkBackup) or, where a link is not to be had, the file moved there
    // and the new one taking the free name.
    // replace: set when the new file is to be renamed over the old one.
    bool KeepOldFile(bool* replace)
    {
        for (;;) {
            DWORD code = 0;
            const eLinkResult link = LinkBackup(m_entry, &code);
            if (link == eLinkMade) {
                *replace = true;
                return true;
            }
            // Not to be opened for deletion (held without delete sharing, say):
            // neither a move nor a rename over it would do, until it is let go.
            if (link == eLinkRefused) {
                if (m_retry.Again(code, m_target))
                    continue;
                SetLastError(code);
                return false;
            }
            *replace = false;
            m_inUse = link == eLinkInUse;
            if (MoveFileW(m_entry.target.c_str(), m_entry.backup.c_str()))
                return true;
            code = LastErrorOr(ERROR_GEN_FAILURE);
            if (!m_retry.Again(code, m_target)) {
                SetLastError(code);
                return false;
            }
        }
    }

    // The old file, linked to its backup name ahead, to its aside name, so
    // that its own name is free for the new file.
    bool MoveAway()
    {
        const std::wstring aside = AsideName(m_entry);
        if (aside.empty() || !MoveFileW(m_entry.target.c_str(), aside.c_str()))
            return false;
        PassKillPoint(eKillSwap);
        m_inUse = true;
        return true;
    }

    // The new file to its own name: over the old file, or where it is free now.
    bool RenameNew(bool replace)
    {
        if (InjectedFault(eStepFinalRename, m_entry.target.c_str())) {
            m_injected = true;
            return false;
        }
        // A new file is linked to its name, its staged name kept as proof
        // that the file there is the run's (see UndoChange); on a volume
        // without links it is renamed, and an undo then leaves it in place.
        const bool link = m_entry.kind == eChangeAdd && !m_noLinks;
        CHandle released;
        const bool done = link ? m_item.staged.LinkTo(m_entry.target, &released)
                               : m_item.staged.RenameTo(m_entry.target, replace, &released);
        if (!done)
            return NoLinksHere();
        const HANDLE file = released.Get();
        m_closer.Push(file, std::move(released));
        return true;
    }

    // After a failed link: true when the volume has none (the caller tries
    // again, by rename); false, with the failure's code, otherwise.
    bool NoLinksHere()
    {
        const DWORD code = GetLastError();
        if (m_entry.kind != eChangeAdd || m_noLinks || (code != ERROR_NOT_SUPPORTED && code != ERROR_INVALID_FUNCTION))
            return false;
        m_noLinks = true;
        SetLastError(ERROR_RETRY);
        return false;
    }

public:
    DWORD Code() const { return m_code; }

private:
    void LogFailed(const wchar_t* message, DWORD code)
    {
        LogFileError(message, m_target, code);
        m_code = code;
    }

    DWORD m_code = 0;
    bool m_inUse = false;
    bool m_noLinks = false;
    bool m_injected = false;
    CUpdateFileItem& m_item;
    const CJournalEntry& m_entry;
    const std::wstring m_target;
    CHandleQueue& m_closer;
    CBusyRetry& m_retry;
};

} // namespace

bool CUpdateTransaction::Begin(const std::wstring& journalPath, const std::wstring& targetFolder,
                               const std::wstring& updateFolder, const CUpdateItems& files,
                               const std::vector<CUpdateFolderItem>& manifestFolders)
{
    if (m_begun)
        return true;
    m_files = &files;
    m_targetFolder = targetFolder;
    m_updateFolder = updateFolder;
    m_change.assign(files.size(), -1);
    m_legacyChange.assign(files.size(), -1);
    m_journal = CUpdateJournal();
    m_journal.path = journalPath;
    m_root = FolderNamesLandIn(m_targetFolder);
    const std::wstring& root = m_root;
    const std::wstring runFolder = RunFolderIn(root);
    CFolderListing listing;
    const auto isFile = [&listing](const std::wstring& path) {
        const DWORD attributes = listing.Attributes(path);
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    };
    CFolderPlan folders(root);
    std::vector<std::wstring> runFolders = {runFolder};
    // The names of a change: in subfolders of kNamesPerFolder changes, since
    // creating a name costs a scan of its folder under Wine, so one folder of
    // thousands of names would make each new one slower than the last.
    const auto namesFor = [this, &runFolders, &runFolder]() {
        const size_t place = m_journal.entries.size();
        const std::wstring subfolder = runFolder + std::to_wstring(place / kNamesPerFolder) + L"\\";
        if (runFolders.back() != subfolder)
            runFolders.push_back(subfolder);
        return subfolder + std::to_wstring(place);
    };
    // Every name is planned as the file system resolves it: a short name
    // and the long one are one file.
    std::vector<std::wstring> targets(files.size());
    std::set<std::wstring> named;
    for (size_t i = 0; i < files.size(); ++i) {
        if (!files[i]->doUpdate && !files[i]->doRemove)
            continue;
        // The name as the folder lists it, so that a replaced file keeps its
        // letter case on any file system.
        targets[i] = listing.AsListed(LongPathOf(FullPathOf(m_targetFolder + files[i]->FileNameW())));
        named.insert(ComparableText(targets[i]));
    }
    // Removals first: a file the new version drops may stand where one of
    // its folders goes, and a folder it drops where one of its files goes.
    for (size_t i = 0; i < files.size(); ++i) {
        const CUpdateFileItem* item = files[i].get();
        // Nothing to do for a file that is not there (or a folder).
        if (!item->doRemove || !isFile(targets[i]))
            continue;
        CJournalEntry entry;
        entry.target = targets[i];
        entry.kind = eChangeRemove;
        entry.backup = namesFor() + L".old";
        folders.Removed(entry.target);
        m_change[i] = static_cast<int>(m_journal.entries.size());
        m_journal.entries.push_back(entry);
    }
    // The manifest's folders: those the new version has, created where
    // missing; those it drops, removed once empty: in the swap where a new
    // file takes the name, otherwise at the commit.
    std::vector<std::wstring> emptied;
    for (const CUpdateFolderItem& folderItem : manifestFolders) {
        const std::wstring folder = LongPathOf(FullPathOf(m_targetFolder + folderItem.name));
        if (!IsBelow(folder, root))
            continue;
        if (!folderItem.remove) {
            folders.Installed(folder + L"\\*");
            continue;
        }
        const DWORD attributes = listing.Attributes(folder);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            continue;
        if (named.count(ComparableText(folder)) != 0)
            emptied.push_back(folder);
        else
            folders.Removed(folder + L"\\*");
    }
    // Innermost first.
    std::stable_sort(emptied.begin(), emptied.end(),
                     [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
    for (size_t i = 0; i < files.size(); ++i) {
        const CUpdateFileItem* item = files[i].get();
        if (!item->doUpdate)
            continue;
        CJournalEntry entry;
        entry.target = targets[i];
        folders.Installed(entry.target);
        const bool exists = isFile(entry.target);
        // A file absent beside its whole old version under "X.old", as an
        // earlier version of this program left it when killed between its
        // two renames: the new file is added and the old version removed,
        // both with the run (the undo puts "X.old" back as it was).
        const std::wstring legacyBackup = entry.target + L".old";
        if (!exists && isFile(legacyBackup) && named.count(ComparableText(legacyBackup)) == 0) {
            CJournalEntry legacy;
            legacy.kind = eChangeRemove;
            legacy.target = legacyBackup;
            legacy.backup = namesFor() + L".old";
            m_legacyChange[i] = static_cast<int>(m_journal.entries.size());
            m_journal.entries.push_back(legacy);
            LOG(WARNING) << ToLogText(kLegacyBackup) << ToLogText(legacyBackup);
        }
        const std::wstring names = namesFor();
        entry.staged = names + L".new";
        entry.kind = exists ? eChangeReplace : eChangeAdd;
        if (exists)
            entry.backup = names + L".old";
        m_change[i] = static_cast<int>(m_journal.entries.size());
        m_journal.entries.push_back(entry);
    }
    // Removed in reverse order: the subfolders, then the run's folder.
    m_journal.folders = runFolders;
    m_journal.newFolders = folders.ToCreate();
    m_journal.prune = folders.ToPrune();
    m_journal.emptied = emptied;
    if (m_journal.entries.empty() && m_journal.newFolders.empty() && m_journal.emptied.empty() && m_journal.prune.empty()) {
        m_journal = CUpdateJournal();
        m_begun = true;
        return true;
    }
    const bool written = m_journal.Write();
    if (!written)
        LogFileError(kJournalFailed, m_journal.path, LastErrorOr(ERROR_WRITE_FAULT));
    size_t created = 0;
    while (written && created < runFolders.size() && CreateDirectoryW(runFolders[created].c_str(), nullptr))
        ++created;
    if (written && created < runFolders.size()) {
        LogFileError(kRunFolderFailed, runFolders[created], LastErrorOr(ERROR_GEN_FAILURE));
        while (created > 0)
            RemoveDirectoryW(runFolders[--created].c_str());
        m_journal.Delete();
    } else if (written) {
        PassKillPoint(eKillStage);
        m_begun = true;
        return true;
    }
    End();
    return false;
}

std::wstring CUpdateTransaction::StagedPath(size_t index) const
{
    if (index >= m_change.size() || m_change[index] < 0)
        return std::wstring();
    return m_journal.entries[static_cast<size_t>(m_change[index])].staged;
}

void CUpdateTransaction::LinkBackupsAhead()
{
    for (CJournalEntry& entry : m_journal.entries) {
        if (entry.kind != eChangeReplace || entry.linked)
            continue;
        // A file that cannot be linked now is left to the swap, which
        // links or moves it then, or fails the item with the reason.
        DWORD code = 0;
        entry.linked = LinkBackup(entry, &code) == eLinkMade;
        if (entry.linked)
            PassKillPoint(eKillStage);
    }
}

void CUpdateTransaction::Abandon()
{
    if (m_committed) {
        Finish();
        return;
    }
    if (!m_begun)
        return;
    // Before the swap only staged files exist; held ones go with their handles.
    for (const auto& item : *m_files)
        item->staged.Discard();
    int restored = 0;
    UndoJournal(m_journal, 0, eKillRollback, eUndoQuiet, &restored);
    End();
}

void CUpdateTransaction::End()
{
    m_journal = CUpdateJournal();
    m_change.clear();
    m_legacyChange.clear();
    m_begun = false;
    m_committed = false;
}

bool CUpdateTransaction::ThroughLink(CPathChecker& paths, const std::wstring& path)
{
    // The load found no link on any path of the run; one made since would
    // lead a change out of the folder.
    std::wstring where;
    if (paths.Check(m_root, path, &where) != ePathThroughLink)
        return false;
    LOG(ERROR) << ToLogText(kLinkAppeared + path + L" (" + where + L")");
    ++m_counts.failed;
    return true;
}

bool CUpdateTransaction::RemoveFile(const CJournalEntry& entry, CBusyRetry& retry, CPathChecker& paths)
{
    LOG(INFO) << ToLogText(kRemoving) << ToLogText(entry.target);
    if (ThroughLink(paths, entry.target))
        return false;
    retry.NextFile();
    bool moved = !InjectedFault(eStepMoveToBackup, entry.target.c_str());
    while (moved && !MoveFileW(entry.target.c_str(), entry.backup.c_str())) {
        if (!retry.Again(LastErrorOr(ERROR_GEN_FAILURE), entry.target))
            moved = false;
    }
    if (!moved) {
        const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
        LogIfHeld(kFileHeld, entry.target, code);
        LogFileError(kRemoveFailed, entry.target, code);
        LogFileFailure(kNotRemoved, entry.target, code);
        ++m_counts.failed;
        return false;
    }
    ++m_counts.removed;
    LOG(INFO) << ToLogText(kRemoved) << ToLogText(entry.target);
    PassKillPoint(eKillSwap);
    return true;
}

bool CUpdateTransaction::Swap(bool finishAfterStart)
{
    if (!m_begun) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return false;
    }
    // Begin set the items: the transaction is begun.
    const CUpdateItems& files = *m_files;
    // How many changes were started, for the undo after a failure.
    size_t started = 0;
    bool ok = true;
    // The swap's handles are closed beside it: the application is down
    // while it runs. Finished before the commit or the undo, so that no
    // file is still held when the applications start or a change is undone.
    CHandleQueue closer;
    closer.Start(1, nullptr);
    CBusyRetry retry;
    // Replaced while a program still runs from the old version: warned of
    // once the update stands.
    std::vector<std::wstring> inUse;
    // Each path is looked at again for links just before its change (each folder once).
    CPathChecker paths(false);
    // Removals first (see Begin).
    for (size_t i = 0; ok && i < files.size(); ++i) {
        const CUpdateFileItem& item = *files[i];
        if (!item.doRemove)
            continue;
        if (m_change[i] < 0) {
            const std::wstring target = FullPathOf(m_targetFolder + item.FileNameW());
            const DWORD attributes = GetFileAttributesW(target.c_str());
            const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (folder)
                LOG(WARNING) << ToLogText(kRemoveIsFolder) << ToLogText(target);
            else
                LOG(INFO) << ToLogText(kAlreadyAbsent) << ToLogText(target);
            continue;
        }
        started = static_cast<size_t>(m_change[i]) + 1;
        ok = RemoveFile(m_journal.entries[static_cast<size_t>(m_change[i])], retry, paths);
    }
    // Folders the new version drops where its files take their names, now
    // that their files are gone.
    for (const std::wstring& folder : m_journal.emptied) {
        if (!ok)
            break;
        if (ThroughLink(paths, folder)) {
            ok = false;
            break;
        }
        if (!RemoveDirectoryW(folder.c_str())) {
            LogFileFailure(kFolderNotRemoved, folder, LastErrorOr(ERROR_GEN_FAILURE));
            ++m_counts.failed;
            ok = false;
            break;
        }
        LOG(INFO) << ToLogText(kFolderRemoved) << ToLogText(folder);
        PassKillPoint(eKillSwap);
    }
    // Folders for new files first, outermost first.
    for (const std::wstring& folder : m_journal.newFolders) {
        if (!ok)
            break;
        if (ThroughLink(paths, folder)) {
            ok = false;
            break;
        }
        if (InjectedFault(eStepCreateFolder, folder.c_str()) || !CreateDirectoryW(folder.c_str(), nullptr)) {
            const DWORD code = LastErrorOr(ERROR_GEN_FAILURE);
            const DWORD attributes = GetFileAttributesW(folder.c_str());
            const bool file = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
            if (file)
                LOG(ERROR) << ToLogText(kFolderNotCreated + folder + L": " + kFileInPlaceOfFolder) << ToLogText(kCode)
                           << code;
            else
                LogFileFailure(kFolderNotCreated, folder, code);
            ++m_counts.failed;
            ok = false;
            break;
        }
        LOG(INFO) << ToLogText(kFolderCreated) << ToLogText(folder);
        PassKillPoint(eKillSwap);
    }
    for (size_t i = 0; ok && i < files.size(); ++i) {
        CUpdateFileItem& item = *files[i];
        if (item.doRemove)
            continue;
        if (!item.doUpdate) {
            LOG(INFO) << ToLogText(kSkipped + item.FileNameW());
            ++m_counts.skipped;
            continue;
        }
        if (m_legacyChange[i] >= 0) {
            started = static_cast<size_t>(m_legacyChange[i]) + 1;
            if (!RemoveFile(m_journal.entries[static_cast<size_t>(m_legacyChange[i])], retry, paths)) {
                ok = false;
                break;
            }
        }
        LOG(INFO) << ToLogText(kUpdating + m_updateFolder + item.FileNameW());
        const CJournalEntry& entry = m_journal.entries[static_cast<size_t>(m_change[i])];
        // Checked before the change counts as started: the undo of a started
        // change puts the old file back under its name, which through a link
        // would write outside the folder. Unstarted, only its names in the
        // run's folder are dropped.
        if (ThroughLink(paths, entry.target)) {
            ok = false;
            break;
        }
        started = static_cast<size_t>(m_change[i]) + 1;
        retry.NextFile();
        CItemSwap swap(item, entry, m_targetFolder + item.FileNameW(), closer, retry);
        if (!swap.Swap()) {
            LogFileFailure(kNotUpdated, entry.target, swap.Code());
            LogIfHeld(kFileHeld, entry.target, swap.Code());
            ++m_counts.failed;
            ok = false;
            break;
        }
        if (swap.InUse())
            inUse.push_back(entry.target);
        if (entry.kind == eChangeReplace) {
            ++m_counts.replaced;
            LOG(INFO) << ToLogText(kReplaced) << ToLogText(entry.target);
        } else {
            ++m_counts.added;
            LOG(INFO) << ToLogText(kAdded) << ToLogText(entry.target);
        }
    }

    closer.Finish();
    if (ok && started > 0) {
        if (InjectedFault(eStepCommit, m_journal.path.c_str()) || !m_journal.MarkCommitted()) {
            LogFileError(kJournalFailed, m_journal.path, LastErrorOr(ERROR_WRITE_FAULT));
            ok = false;
        }
    }
    if (!ok) {
        // Every change made so far, in reverse order; the later items only had
        // their new content staged.
        for (const auto& item : files)
            item->staged.Discard();
        int restoredCount = 0;
        UndoJournal(m_journal, started, eKillRollback, eUndoLogEach, &restoredCount);
        m_counts.putBack += restoredCount;
        LOG(ERROR) << ToLogText(kUndone) << restoredCount;
        End();
        return false;
    }

    m_committed = true;
    // The staged names of added files proved them the run's until the
    // commit; deleted now, while the applications are still down, since a
    // second name of a file a program has loaded cannot be deleted. One that
    // stays is deleted with the backups.
    for (const CJournalEntry& entry : m_journal.entries) {
        DWORD code = 0;
        if (entry.kind == eChangeAdd)
            DeleteIfPresent(entry.staged, eKillCommit, &code);
    }
    // The module lists name the programs by the name they loaded the file
    // under: the application file's own.
    for (const std::wstring& target : inUse)
        LogStillInUse(kReplacedInUse, target, {target});
    if (!finishAfterStart)
        Finish();
    return true;
}

std::vector<std::wstring> CUpdateTransaction::ReplacedFiles() const
{
    std::vector<std::wstring> replaced;
    if (!m_committed)
        return replaced;
    for (const CJournalEntry& entry : m_journal.entries) {
        if (entry.kind == eChangeReplace)
            replaced.push_back(entry.target);
    }
    return replaced;
}

void CUpdateTransaction::Finish()
{
    if (!m_committed)
        return;
    // The old versions are no longer needed. A backup that cannot be deleted
    // stays with the journal; the next run deletes it.
    FinishJournal(m_journal, eKillCommit, eFinishAfterSwap);
    End();
}
