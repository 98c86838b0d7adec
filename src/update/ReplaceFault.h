#pragma once
// The file operations of an update run's transaction, named so that tests can
// make each fail in turn. Not used outside tests: with no hook set, every
// step runs the system call alone.
#include <windows.h>

enum eReplaceStep
{
    eStepCreateNew = 0, // staging: create the new file under its staged name
    eStepWriteNew,      // staging: write a block of the new content into it
    eStepStampNew,      // staging: set its time stamps
    eStepMoveToBackup,  // old file from its own name to the backup name
    eStepFinalRename,   // new file from its staged name to its own name
    eStepCommit,        // the journal's commit line
    eStepDeleteBackup,  // a backup deleted after the commit
    eStepPutBack,       // rollback or recovery: the backup back under the file's name
    eStepRemoveAdded,   // rollback or recovery: a file the run added removed
    eStepCreateFolder,  // a folder for new files created
};

// Asked before each step with the path it works on (staging runs on several
// threads at once: the path tells the files apart); a non-zero result makes
// the step fail with that code as its last-error value, as if the system had
// reported it.
using ReplaceFaultHook = DWORD (*)(eReplaceStep step, const wchar_t* path, void* context);
void SetReplaceFaultHook(ReplaceFaultHook hook, void* context);

// True when the hook makes this step fail; its code is then the last error.
bool InjectedFault(eReplaceStep step, const wchar_t* path);
