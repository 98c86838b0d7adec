#include "update/KillPoint.h"

#include "platform/Handles.h"

#include <windows.h>

#include <cstring>
#include <cwchar>

namespace {

const char* const kPhaseNames[] = {"journal", "stage", "swap", "commit", "rollback", "recover"};

// 0: no switch. Read once; the first caller of a run is on its main thread.
LONG KillAfter()
{
    static const LONG value = [] {
        wchar_t text[32] = {};
        const DWORD length = GetEnvironmentVariableW(L"QX_TEST_KILL_AFTER", text, 32);
        if (length == 0 || length >= 32)
            return 0L;
        wchar_t* end = nullptr;
        const long parsed = std::wcstol(text, &end, 10);
        return parsed > 0 && *end == L'\0' ? static_cast<LONG>(parsed) : 0L;
    }();
    return value;
}

LONG g_operations = 0;

void NotePhase(eKillPhase phase)
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"QX_TEST_KILL_NOTE", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    CHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    const char* name = kPhaseNames[phase];
    DWORD written = 0;
    WriteFile(file.Get(), name, static_cast<DWORD>(strlen(name)), &written, nullptr);
}

} // namespace

void PassKillPoint(eKillPhase phase)
{
    const LONG after = KillAfter();
    if (after == 0)
        return;
    if (InterlockedIncrement(&g_operations) != after)
        return;
    NotePhase(phase);
    TerminateProcess(GetCurrentProcess(), 137);
}
