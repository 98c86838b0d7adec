#pragma once
// The file operations of replacing one application file, named so that tests
// can make each fail in turn. Not used outside tests: with no hook set, every
// step runs the system call alone.
#include <windows.h>

enum eReplaceStep
{
    eStepCreateNew = 0,   // create the new file under its temporary name
    eStepWriteNew,        // write the new content into it
    eStepStampNew,        // read its basic information to set the time stamps
    eStepReplaceOld,      // new file renamed over the old one (no item has failed so far)
    eStepMoveToBackup,    // old file from its own name to the backup name
    eStepFinalRename,     // new file from its temporary name to its own name
    eStepDeleteBackup,    // the backup, once all items so far have succeeded
    eStepCopyOld,         // whole copy of an old file that cannot be moved
    eStepWriteInPlace,    // overwrite of the old file under its own name
};

// Asked before each step; a non-zero result makes the step fail with that
// code as its last-error value, as if the system had reported it.
using ReplaceFaultHook = DWORD (*)(eReplaceStep step, void* context);
void SetReplaceFaultHook(ReplaceFaultHook hook, void* context);
