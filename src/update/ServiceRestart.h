#pragma once
// After a committed update: the installed service whose executable the update
// replaced runs the new version. It is stopped, its old process waited for
// until it has ended (its image stays mapped until then), and started again
// from the new file; each step is logged. A service that was not running
// stays as it is; one that this process may not control gets the new
// version at its next start, which is logged.
//
// The caller holds the update run's lock: the new service finds it held and
// leaves the folder (committed) as it is.
#include <windows.h>

#include <string>
#include <vector>

// replaced: the application files the update replaced (full paths).
void RestartReplacedService(const std::wstring& serviceName, const std::vector<std::wstring>& replaced);

// The executable named by a service's registered command line: the text in
// quotes when it begins with one; otherwise the whole text, or, when that is
// no file, the text up to the first ".exe" followed by a blank.
std::wstring ServiceExecutableOf(const std::wstring& binaryPath);
