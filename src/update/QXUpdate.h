#pragma once
// CQXUpdate: the update engine. One object lives for one update run: it loads
// the manifest and every new file's content, waits for the requesting process,
// replaces the application files and starts the applications again.
#include <windows.h>

#include "update/StagedFile.h"
#include "update/UpdateJournal.h"
#include "update/UpdateRunLog.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"
#include "platform/VersionNumber.h"

#include <cstdint>
#include <string>
#include <vector>

// One file of the manifest, with its new content in memory.
class CUpdateFileItem
{
public:
    std::string fileName;
    std::string tempFileName;
    // The same names as the manifest gives them, in UTF-16: every Windows
    // call uses these, so a name is touched exactly as written on any ANSI
    // code page. Empty when the item was made from narrow text.
    std::wstring wideFileName;
    std::wstring wideTempFileName;
    std::wstring FileNameW() const { return wideFileName.empty() ? AnsiToWide(fileName) : wideFileName; }
    std::wstring TempFileNameW() const { return wideTempFileName.empty() ? AnsiToWide(tempFileName) : wideTempFileName; }
    std::string md5;
    uint32_t attributes = 128;
    int64_t sizeBytes = 0;
    int64_t modified = 0;
    bool downloadComplete = false;
    bool doUpdate = false;
    // The file is to be removed (isRemove, for an item not marked for update).
    bool doRemove = false;
    unsigned char* content = nullptr; // sizeBytes bytes, owned
    // The new content already written beside the application file by the
    // loader; when staged, content stays null.
    CStagedFile staged;
    // The item's change in the run's journal (index into its entries), once
    // the run has planned its changes; -1 before, and for an item not to update.
    int change = -1;
    // The removal of a whole old version left as "X.old" by an interrupted
    // run of an earlier version, made with this item's change; -1 for none.
    int legacyChange = -1;

    // The new content is at hand: in memory or staged.
    bool HasContent() const { return content != nullptr || staged.IsStaged(); }

    CUpdateFileItem() = default;
    ~CUpdateFileItem();
    CUpdateFileItem(const CUpdateFileItem&) = delete;
    CUpdateFileItem& operator=(const CUpdateFileItem&) = delete;
};

// A folder of the manifest: one the new version has (created when missing)
// or one it drops (removed once empty; in the swap when a new file takes its
// name, otherwise at the commit).
struct CUpdateFolderItem
{
    std::wstring name; // relative to the application folder
    bool remove = false;
};

// Which start RunUpdatedApp performs; the operation does not depend on it.
enum eRunType
{
    eRunAfterUpdate = 0,
    eRunAfterFailedLoad = 1,
};

class CQXUpdate
{
public:
    std::string updateFolder;
    std::string targetFolder;
    std::string key;
    uint8_t xKey = 0;
    int64_t forceUpdateDate = 0;
    bool performDbBackup = false;
    bool restartQuoteBench = false;
    std::string appToRun;
    std::string params;
    std::vector<CUpdateFileItem*> files; // owned, in load order
    std::vector<CUpdateFolderItem> folders;
    std::string filesKey;
    CVersionNumber assignedVersion;
    // Where the run's journal is kept: beside the executable unless set.
    std::wstring journalPath;
    // The folders, program and parameters as the manifest gives them, in
    // UTF-16, for every Windows call (empty: taken from the narrow text).
    std::wstring wideUpdateFolder;
    std::wstring wideTargetFolder;
    std::wstring wideAppToRun;
    std::wstring wideParams;
    std::wstring UpdateFolderW() const { return wideUpdateFolder.empty() ? AnsiToWide(updateFolder) : wideUpdateFolder; }
    std::wstring TargetFolderW() const { return wideTargetFolder.empty() ? AnsiToWide(targetFolder) : wideTargetFolder; }
    std::wstring AppToRunW() const { return wideAppToRun.empty() ? AnsiToWide(appToRun) : wideAppToRun; }
    std::wstring ParamsW() const { return wideParams.empty() ? AnsiToWide(params) : wideParams; }

    CQXUpdate();
    ~CQXUpdate();
    CQXUpdate(const CQXUpdate&) = delete;
    CQXUpdate& operator=(const CQXUpdate&) = delete;

    // Frees every item and its content and empties the strings.
    void Reset();

    // Loads the manifest and reads the content of every file to install.
    // True: the manifest was read, has info and files, and every download
    // checked had the declared size.
    bool LoadUpdateInfoFromXmlFile(std::wstring path);

    // Plans the run's changes in the application folder (one per item to
    // update), chooses the names of its staged files and backups, and writes
    // the journal out to the disk. Done once; true at once when already
    // done. False (logged) when the journal cannot be written: nothing may
    // then be touched.
    bool BeginTransaction();
    // Refuses, each with one error line, what could only fail half-way: a
    // name outside its folder or listed twice, a size of 4 GiB or more, a
    // missing download of a non-empty file (or one whose digest is not that
    // of the empty file), new files the volume cannot hold beside the old.
    bool CheckItems(size_t first);
    // Gives each old file that will be replaced its backup name ahead of the
    // swap, as a second name: it changes nothing the application sees, so
    // it is done while the application still runs, and the swap, while it
    // is down, only renames. A file that cannot be linked now is left to the swap.
    void LinkBackupsAhead();
    // Deletes the staged files and the journal of a run that ends before
    // its swap (its manifest did not load in full); done on reset too.
    void AbandonTransaction();

    // Replaces the application files as one transaction: every item, or,
    // when any fails, none (every change undone). True when all were replaced
    // and the commit is on the disk.
    bool UpdateAppFiles();
    // After the commit: deletes the old versions, the run's folder and the
    // journal (done by UpdateAppFiles itself unless finishAfterStart is set,
    // so that the applications can be started first); nothing before it.
    void FinishUpdate();
    bool finishAfterStart = false;

    // Waits (about ten seconds at most) for the process whose id the command
    // line gave; returns at once when it is 0.
    void WaitForProcessId(DWORD processId);

    // Ends every process whose image name contains "QuoteBenchApp.exe";
    // true when at least one was terminated.
    bool TerminateQuoteBench();
    void StartQuoteBench();
    void RunUpdatedApp(eRunType runType);
    // Waits, five seconds at most in all, until each program the run started
    // waits for input (its window is up); a console program, or one that
    // has ended, at once. Clean-up that follows then does not slow their start.
    void WaitForStartedPrograms();
    // The programs the run started, for WaitForStartedPrograms.
    std::vector<CHandle> startedPrograms;

    // The application files a committed run replaced (until FinishUpdate).
    std::vector<std::wstring> ReplacedFiles() const;

    // The run's planned changes, in the order they are made.
    CUpdateJournal journal;
    bool transactionBegun = false;
    bool committed = false;
    // Forgets the run's plan once it is finished, undone or abandoned.
    void EndTransaction();

    // What the run did to the files, for its closing line.
    CUpdateRunCounts counts;
    // The load found an installation other than the one the update was made from.
    bool otherVersion = false;
};

// Combines every byte of data with mask (NOT of XOR, then a left rotation of
// 7, 6, ... 1, 7, ... bits); empty data or mask gives data unchanged.
std::string UnmaskKey(const std::string& data, const std::string& mask);
