#pragma once
// Staging the downloads of an update run: every item's download copied into
// its staged file in the run's folder (or the file built from its compressed
// file or patch), its size checked, its MD5 taken on the way (small checked files four at a time, side by side), stamped, and
// written out to the disk, by two workers and flushing threads. Nothing of a
// download is held in memory beyond the block buffers. Logs nothing.
#include "update/QXUpdate.h"
#include "update/StagedFile.h"

#include <windows.h>

#include <string>
#include <vector>

// One item whose download is to be staged, and how that went.
struct CContentJob
{
    CUpdateFileItem* item;
    std::wstring stagedPath;
    // eStaged also for an item without a download (an empty file);
    // eDiscrepancy: another size or digest, or the download changed or could
    // not be read; eNotStaged: the staged file could not be written (code).
    eStageResult result;
    DWORD code;
    LONG done; // set, interlocked, once result is final
};

// Stages every job's download from updateFolder (a patch applies to the
// item's installed file in targetFolder); returns when all are done and
// written out.
void StageDownloads(std::vector<CContentJob>& jobs, const std::wstring& updateFolder, const std::wstring& targetFolder);
