#include "update/ReplaceFault.h"

namespace {

ReplaceFaultHook g_faultHook = nullptr;
void* g_faultContext = nullptr;

} // namespace

void SetReplaceFaultHook(ReplaceFaultHook hook, void* context)
{
    g_faultHook = hook;
    g_faultContext = context;
}

bool InjectedFault(eReplaceStep step, const wchar_t* path)
{
    if (g_faultHook == nullptr)
        return false;
    const DWORD code = g_faultHook(step, path, g_faultContext);
    if (code == 0)
        return false;
    SetLastError(code);
    return true;
}
