#pragma once
// The update engine's log messages, as tests compare them: the engine's own catalogue.
#include "update/UpdateMessages.h"
#include "support/TestSupport.h"

#include <string>
#include <vector>

namespace EngineMessages {

// The catalogue's own texts, so that a test compares what the engine writes.
using UpdateMessages::kUpdating;
using UpdateMessages::kSkipped;
using UpdateMessages::kDiscrepancy;
using UpdateMessages::kMoveToBackupFailed;
using UpdateMessages::kPutInPlaceFailed;
using UpdateMessages::kRefusedNotStaged;
using UpdateMessages::kFolderNotCreated;
using UpdateMessages::kStampFailed;
using UpdateMessages::kRestored;
using UpdateMessages::kCode;
using UpdateMessages::kUndone;
using UpdateMessages::kRecoveredUndone;
using UpdateMessages::kRecoveredFinished;
using UpdateMessages::kRecoveryFailed;
using UpdateMessages::kRefused;
using UpdateMessages::kJournalFailed;
using UpdateMessages::kNotPutBack;
using UpdateMessages::kRunStart;
using UpdateMessages::kRunAwaits;
using UpdateMessages::kManifestMissing;
using UpdateMessages::kManifestIsFolder;
using UpdateMessages::kManifestNotParsed;
using UpdateMessages::kManifestLacks;
using UpdateMessages::kManifestLoaded;
using UpdateMessages::kStaging;
using UpdateMessages::kStaged;
using UpdateMessages::kClientEnded;
using UpdateMessages::kClientNotRunning;
using UpdateMessages::kAwaited;
using UpdateMessages::kWaitNotFound;
using UpdateMessages::kWaitEnded;
using UpdateMessages::kStarted;
using UpdateMessages::kStartedProcess;
using UpdateMessages::kStartFailedCommand;
using UpdateMessages::kNoAppToRun;
using UpdateMessages::kReplaced;
using UpdateMessages::kAdded;
using UpdateMessages::kRemoved;
using UpdateMessages::kAlreadyAbsent;
using UpdateMessages::kNotUpdated;
using UpdateMessages::kNotRemoved;
using UpdateMessages::kPutBack;
using UpdateMessages::kAddedTakenBack;
using UpdateMessages::kRunEnd;

// True for a line ("LEVEL message") of the run's account of itself, which
// tests of the engine's other lines leave out.
inline bool IsStoryLine(const std::string& line)
{
    const size_t space = line.find(' ');
    const std::string message = space == std::string::npos ? line : line.substr(space + 1);
    for (const wchar_t* text : {kRunStart, kManifestLoaded, kStaging, kStaged, kClientEnded, kClientNotRunning,
                                kAwaited, kStarted, kStartFailedCommand, kNoAppToRun, kReplaced, kAdded, kRemoved,
                                kAlreadyAbsent, kNotUpdated, kNotRemoved, kPutBack, kAddedTakenBack, kRunEnd,
                                UpdateMessages::kFolderCreated, UpdateMessages::kFolderRemoved,
                                UpdateMessages::kProgramAfterRefusal, UpdateMessages::kProgramNotStarted,
                                UpdateMessages::kBaseChecked}) {
        const std::string prefix = Cp1251(text);
        if (message.compare(0, prefix.size(), prefix) == 0)
            return true;
    }
    return false;
}

inline std::vector<std::string> WithoutStoryLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
        if (!IsStoryLine(line))
            kept.push_back(line);
    }
    return kept;
}

} // namespace EngineMessages
