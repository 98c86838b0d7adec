#pragma once
// A test switch for kill campaigns: the process ends itself, abruptly and
// with nothing cleaned up (for the file system the same as a kill), right
// after its Nth file operation of an update run. A campaign walks N from 1
// upwards and so lands a kill after every file operation of a run, in
// whichever phase it falls, however loaded the machine is.
//
// The switch is the environment variable QX_TEST_KILL_AFTER (N, decimal);
// when QX_TEST_KILL_NOTE names a file, the phase of the operation is written
// there first. Without the variable every call is a counter increment.

enum eKillPhase
{
    eKillJournal = 0, // the run's journal written, marked or deleted
    eKillStage,       // a new file staged beside the application file
    eKillSwap,        // an application file moved aside, replaced, added or removed
    eKillCommit,      // the clean-up after the commit
    eKillRollback,    // an application file put back after a failure
    eKillRecover,     // the changes of an interrupted run undone or finished
};

// Counts one file operation that has just been done; ends the process when
// it is the one the switch names. Safe to call from several threads.
void PassKillPoint(eKillPhase phase);
