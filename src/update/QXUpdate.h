#pragma once
// CQXUpdate: the update engine. One object lives for one update run: it
// holds the manifest and drives the run's steps in order: parse the
// manifest, check it, stage every new file (planning the transaction first),
// wait for the requesting process, swap (CUpdateTransaction, in
// AppFileReplacement.h) and start the applications again.
#include <windows.h>

#include "update/AppFileReplacement.h"
#include "update/BaseVersionCheck.h"
#include "update/UpdateItems.h"
#include "update/UpdateRunLog.h"

#include "platform/Handles.h"
#include "platform/TextConversion.h"
#include "platform/VersionNumber.h"

#include <cstdint>
#include <string>
#include <vector>

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
    CUpdateItems files;
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

    // Abandons the run's transaction, frees every item and empties the strings.
    void Reset();

    // The steps of loading, in this order; each false (logged) stops the run
    // before anything in the application folder is touched.
    // Reads the manifest: its info, items and folders (appended to those of
    // an earlier parse). False when it cannot be read or lacks info or files.
    bool ParseManifest(const std::wstring& path);
    // Refuses, each with one error line, what could only fail half-way in the
    // items of the last parse (see CheckItems), and an installation that is
    // not the version the update was made from.
    bool CheckManifest();
    // Plans the transaction (BeginTransaction), stages every new file from its
    // download, its size and MD5 checked on the way, and links the backups
    // ahead. False when a download cannot be staged.
    bool StageFiles();
    // The three steps above, in order.
    bool LoadUpdateInfoFromXmlFile(const std::wstring& path);

    // Plans the run's changes and writes the journal (CUpdateTransaction::Begin).
    bool BeginTransaction();
    // Refuses, each with one error line, what could only fail half-way: a
    // name outside its folder, a device name, a name of the run itself, a
    // name listed twice, a path through a link, a size of 4 GiB or more, a
    // missing download of a non-empty file (or one whose digest is not that
    // of the empty file), new files the volume cannot hold beside the old.
    bool CheckItems(size_t first);
    // Deletes the staged files and the journal of a run that ends before
    // its swap (its manifest did not load in full); done on reset too.
    void AbandonTransaction() { m_transaction.Abandon(); }

    // Replaces the application files as one transaction: every item, or,
    // when any fails, none (every change undone). True when all were replaced
    // and the commit is on the disk.
    bool UpdateAppFiles();
    // After the commit: deletes the old versions, the run's folder and the
    // journal (done by UpdateAppFiles itself unless finishAfterStart is set,
    // so that the applications can be started first); nothing before it.
    void FinishUpdate() { m_transaction.Finish(); }
    bool finishAfterStart = false;
    // The application files a committed run replaced (until FinishUpdate).
    std::vector<std::wstring> ReplacedFiles() const { return m_transaction.ReplacedFiles(); }
    const CUpdateTransaction& Transaction() const { return m_transaction; }

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

    // What the run did to the files, for its closing line.
    CUpdateRunCounts counts;
    // The load found an installation other than the one the update was made from.
    bool otherVersion = false;

private:
    CUpdateTransaction m_transaction{counts};
    // The first item and the base record of the last parse.
    size_t m_firstOfParse = 0;
    CBaseRecord m_base;
};

// Combines every byte of data with mask (NOT of XOR, then a left rotation of
// 7, 6, ... 1, 7, ... bits); empty data or mask gives data unchanged.
std::string UnmaskKey(const std::string& data, const std::string& mask);
