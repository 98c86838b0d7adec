#pragma once
// Which processes hold a file: those that map it as their executable or as a
// loaded module (the module lists of the running processes, which the
// system answers on every version) and, where the system's restart manager
// is at hand, those with the file open. Used for log lines only: the answer
// is a snapshot and may be out of date by the time it is read.
#include <windows.h>

#include <string>
#include <vector>

struct CFileHolder
{
    std::wstring imageName; // the executable's file name, without its folder
    DWORD processId = 0;
};

// The holders of any of paths (names compared as the system compares them,
// without regard to letter case); a module list records the name a module
// was loaded by, so a file moved away is found under its earlier name.
// This process is included when it is a holder. Empty when none is found.
std::vector<CFileHolder> FindFileHolders(const std::vector<std::wstring>& paths);

// "Name.exe (ID 12), Other.exe (ID 34)"; empty for none.
std::wstring DescribeFileHolders(const std::vector<CFileHolder>& holders);
