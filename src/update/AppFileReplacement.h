#pragma once
// CUpdateTransaction: replacing the application files as one transaction,
// every file of the update or none. It plans one change per item, writes the
// plan to its journal before anything in the application folder is touched,
// names where each new file is staged, links backups ahead, swaps, and then
// commits or undoes; the journal is what a killed run leaves for the next
// run's recovery (UpdateJournal.h). The items and folders are the manifest's
// (CQXUpdate holds them); the plan, the journal and the run's folder are the
// transaction's own.
#include <windows.h>

#include "update/UpdateItems.h"
#include "update/UpdateJournal.h"
#include "update/UpdateRunLog.h"

#include <string>
#include <vector>

class CBusyRetry;
class CPathChecker;

class CUpdateTransaction
{
public:
    // counts: what the run did to the files, for its closing line.
    explicit CUpdateTransaction(CUpdateRunCounts& counts) : m_counts(counts) {}
    CUpdateTransaction(const CUpdateTransaction&) = delete;
    CUpdateTransaction& operator=(const CUpdateTransaction&) = delete;

    // Plans the run's changes in targetFolder (one per item to update or
    // remove, and the folders), chooses the names of its staged files and
    // backups, writes the journal at journalPath out to the disk and creates
    // the run's folder. The items must outlive the transaction. Done once;
    // true at once when already done. False (logged) when the journal cannot
    // be written: nothing may then be touched.
    bool Begin(const std::wstring& journalPath, const std::wstring& targetFolder, const std::wstring& updateFolder,
               const CUpdateItems& files, const std::vector<CUpdateFolderItem>& folders);
    bool Begun() const { return m_begun; }
    bool Committed() const { return m_committed; }

    // Where the new file of item index is to be staged; empty for an item
    // that has no change (not to update, or before Begin).
    std::wstring StagedPath(size_t index) const;

    // Gives each old file that will be replaced its backup name ahead of the
    // swap, as a second name: it changes nothing the application sees, so
    // it is done while the application still runs, and the swap, while it
    // is down, only renames. A file that cannot be linked now is left to the swap.
    void LinkBackupsAhead();

    // The swap: every planned change in order, then the commit line; when
    // any change fails, every change made so far is undone. True when all
    // are in place and the commit is on the disk. Unless finishAfterStart,
    // the backups and the journal are deleted at once (see Finish).
    bool Swap(bool finishAfterStart);

    // After the commit: deletes the old versions, the run's folder and the
    // journal; nothing before it.
    void Finish();
    // Deletes the staged files and the journal of a run that ends before
    // its swap; after a commit, finishes it instead.
    void Abandon();

    // The application files a committed run replaced (until Finish).
    std::vector<std::wstring> ReplacedFiles() const;
    // The plan as journaled, for tests and the run's own checks.
    const CUpdateJournal& Journal() const { return m_journal; }

private:
    // A removal (of the manifest, or of a legacy "X.old") kept under its
    // backup name until the commit; false (logged) when it failed.
    bool RemoveFile(const CJournalEntry& entry, CBusyRetry& retry, CPathChecker& paths);
    bool ThroughLink(CPathChecker& paths, const std::wstring& path);
    void End();

    CUpdateRunCounts& m_counts;
    const CUpdateItems* m_files = nullptr;
    std::wstring m_targetFolder;
    std::wstring m_updateFolder;
    // Where names appended to the target folder land: the root no path of the run may leave.
    std::wstring m_root;
    CUpdateJournal m_journal;
    // Per item: its change in the journal (index into its entries), and the
    // removal of a legacy "X.old" made with it; -1 for none.
    std::vector<int> m_change;
    std::vector<int> m_legacyChange;
    bool m_begun = false;
    bool m_committed = false;
};
