// Waiting for the requesting process and ending/starting applications around an update.
#include "update/QXUpdate.h"

namespace {
DWORD g_waitProcessId = 0;
}

DWORD WaitProcessId() { return g_waitProcessId; }
void SetWaitProcessId(DWORD processId) { g_waitProcessId = processId; }

void CQXUpdate::WaitForProcessId() {}
bool CQXUpdate::TerminateQuoteBench() { return false; }
void CQXUpdate::StartQuoteBench() {}
void CQXUpdate::RunUpdatedApp(eRunType) {}
