// A DLL for tests of files in use: a program that loads it maps it, as an
// application maps its own DLLs, so it can be renamed but not replaced or
// deleted while that program runs.
#include <windows.h>

extern "C" __declspec(dllexport) int QXTestPluginVersion()
{
    return 1;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
