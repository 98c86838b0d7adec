#pragma once
// The journal of an update run: every change the run will make in the
// application folder and the names it uses for them, written out to the disk
// before the run creates, renames or deletes anything there, so that a run
// killed at any moment (or cut off by a power cut) can be finished or undone
// by the next run, or by the service when it starts.
//
// It lives beside the executable, where the next run finds it whatever that
// run's manifest says. One run at a time (the run mutex) owns it.
//
// The file is UTF-8 text, one line per record, fields separated by tabs
// (a character that no Windows path holds):
//   QXUpdateJournal 1
//   F <tab> folder                              a folder of the run's own (its staged files and backups)
//   N <tab> folder                              a folder the run creates for new files (outermost first)
//   P <tab> folder                              a folder removed at the commit if removals left it empty
//   E <tab> folder                              a folder removed in the swap, once its removals have emptied
//                                               it, for a new file that takes its name (created again by the undo)
//   R <tab> target <tab> staged <tab> backup    an application file replaced
//   A <tab> target <tab> staged <tab>           a file the run adds (the staged file linked to the
//                                               target's name, its staged name kept until the commit)
//   D <tab> target <tab> <tab> backup           a file the run removes (kept as the backup until the commit)
//   end                                         the journal is whole
//   commit                                      appended once every change is made
// A journal without its end line was cut short while it was written: nothing
// had been touched yet. Without the commit line the changes are undone (old
// versions back under their names, added files removed where they are still
// the files the run staged, staged files deleted, the folders it created removed again); with it, only the
// backups that are left are deleted and the folders that removals emptied
// removed. Either way the run's own folders go last (only when empty).
#include <windows.h>

#include "update/KillPoint.h"
#include "update/UpdateLeftovers.h"

#include <string>
#include <vector>

enum eChangeKind
{
    eChangeReplace = 'R', // the old file goes to the backup name, the staged file takes its name
    eChangeAdd = 'A',     // the staged file takes a name that no file had
    eChangeRemove = 'D',  // the file goes to the backup name, deleted at the commit
};

struct CJournalEntry
{
    eChangeKind kind = eChangeAdd;
    std::wstring target; // the application file
    std::wstring staged; // the new content until it takes the target's name (not for a removal)
    std::wstring backup; // the old file from the swap to the commit (replace and remove)
    // Not written to the file: the backup of this replacement was linked to
    // the old file before the swap began (the old file keeps its name too).
    bool linked = false;
};

// Where the old file of a replacement goes when a program still runs from it
// (it cannot be replaced under its name, only renamed away) while its backup
// name is already a second link to it: the backup's name with ".use" for
// ".old". Empty for other changes. Not written to the journal: the undo, the
// recovery and the commit look for it by this name.
std::wstring AsideName(const CJournalEntry& entry);

enum eJournalState
{
    eJournalAbsent = 0,
    eJournalCutShort, // present, but not whole: nothing was touched
    eJournalOpen,     // whole, not committed
    eJournalCommitted,
};

class CUpdateJournal
{
public:
    std::wstring path;
    std::vector<std::wstring> folders;    // the run's own, removed when it ends
    std::vector<std::wstring> newFolders; // created for new files; removed again when the run is undone
    std::vector<std::wstring> prune;      // removed at the commit when removals left them empty
    std::vector<std::wstring> emptied;    // removed in the swap (innermost first); created again by the undo
    std::vector<CJournalEntry> entries;

    // Nothing to change in the application folder.
    bool Empty() const { return entries.empty() && newFolders.empty() && emptied.empty() && prune.empty(); }

    // Writes every entry and the end line, out to the disk. False with the
    // last-error value; the file is then removed again where possible.
    bool Write();
    // Appends the commit line and writes it out to the disk.
    bool MarkCommitted();
    // Reads path into entries.
    eJournalState Read();
    // Deletes the file; true when it is gone.
    bool Delete();
};

// Deletes a file of the run's own if it is there (clearing an attribute that
// refuses it); false only when it stays, with code.
bool DeleteIfPresent(const std::wstring& path, eKillPhase phase, DWORD* code);

// How many times this process has written a journal out to the disk (its
// records, or its commit line): a seam for tests, since a kill never loses
// what the system accepted and only a power cut shows a missing flush.
LONG JournalFlushes();

// The journal's place: beside this process's executable.
std::wstring DefaultJournalPath();

// What the undo of one change did, for its log lines.
struct CUndoneChange
{
    enum eStep
    {
        eNoFailure = 0,
        ePutBack,      // the old version could not go back under its name
        eRemoveAdded,  // the file the run added could not be deleted
        eDeleteStaged, // the staged file could not be deleted
    };
    bool restored = false;  // an old version went back under the target's name
    bool takenAway = false; // the file the run added was deleted
    bool notOurs = false;   // the name of a file to add holds one the run did not make: left alone
    eStep failed = eNoFailure;
    DWORD code = 0;    // of the failed step
    std::wstring name; // of the file not deleted (eDeleteStaged)
};

// Undoes one change, whatever point it had reached: a backup goes back under
// the target's name, an added file is removed, the staged file is deleted.
// An added file is removed only while it is the very file the run staged
// (its staged name a second name of it): a file that took the name in the
// meantime, or one that another name resolves to, is not the run's.
// phase: whose kill points these operations are (a rollback or a recovery).
// A second name of the old version that cannot be deleted (a program runs
// from it) is added to leftovers instead. False when a step failed (undone
// says which); what it could not undo stays for a later attempt.
bool UndoChange(const CJournalEntry& entry, eKillPhase phase, CUndoneChange* undone,
                std::vector<CLeftover>* leftovers);
// Who completes a committed journal.
enum eFinishBy
{
    // The run whose swap made every change: each staged file already has its
    // target's name, so only the backups are left; nothing is logged.
    eFinishAfterSwap = 0,
    // A later run's recovery: staged files may be left too, and each backup
    // that stays is logged.
    eFinishRecovered = 1,
};
// Completes one committed change: its backup (and any staged file) deleted;
// an old version that cannot be deleted now is added to leftovers.
bool FinishChange(const CJournalEntry& entry, eKillPhase phase, eFinishBy by, DWORD* code,
                  std::vector<CLeftover>* leftovers);
// Undoes a journal's changes in reverse order: the first `started` ones in
// full (UndoChange), the later ones only as far as their staged files. The
// swap removes files first, then folders, then creates folders and installs
// files, so the undo goes back the same way: the installs, the folders the run
// created (where empty), the folders it removed (created again), the
// removals; then the run's own folders and, when nothing is left, the journal. Each change that cannot be undone is logged
// with its code; the changes undone as `log` says. restoredCount receives the
// old versions put back. True when nothing is left.
enum eUndoLog
{
    eUndoQuiet = 0,       // nothing staged had reached the application folder yet
    eUndoLogRecovered = 1, // a warning per old version put back (a later run's recovery)
    eUndoLogEach = 2,      // a line per old version put back and per added file taken away
};
bool UndoJournal(const CUpdateJournal& journal, size_t started, eKillPhase phase, eUndoLog log, int* restoredCount);
// Completes a committed journal: the backups deleted, the folders that
// removals left empty removed, then the run's own folders and the journal.
// Old versions still in use are recorded as leftovers (see UpdateLeftovers.h)
// with the run's folders that hold them: they keep no journal. True when
// nothing of the journal is left.
bool FinishJournal(const CUpdateJournal& journal, eKillPhase phase, eFinishBy by);

// Applies the journal an earlier run left at journalPath: committed, its
// backups are deleted; otherwise every change is undone, in reverse order.
// Logs each file put back and one line for the recovery. True when nothing
// of an earlier run is left (also when there was no journal); false when a
// change could not be undone or finished (each logged with its code): the
// journal then stays, and no new update may start on that folder.
bool RecoverInterruptedUpdate(const std::wstring& journalPath);
