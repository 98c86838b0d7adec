#pragma once
// Folders as the publishing tool sees them: full paths, containment, and the
// files below a folder by relative path.
#include <windows.h>

#include <string>
#include <vector>

// The full path of path (relative to the current folder when it is relative)
// with a trailing backslash. False, with the last-error value, on failure.
bool FullFolderPath(const std::wstring& path, std::wstring* full);

// True when path names an existing folder.
bool IsFolder(const std::wstring& path);

// True when inner is outer or lies below it; both end with a backslash.
// Letter case is ignored, as the file system ignores it.
bool IsSameOrInside(const std::wstring& inner, const std::wstring& outer);

// The relative paths (joined with backslashes) of every file below folder,
// which ends with a backslash, in ordinal order. False, with the last-error
// value and the folder that could not be listed in failedFolder, on failure.
bool ListFiles(const std::wstring& folder, std::vector<std::wstring>* files, std::wstring* failedFolder);

// The relative paths of every folder below folder, in ordinal order; as ListFiles.
bool ListFolders(const std::wstring& folder, std::vector<std::wstring>* folders, std::wstring* failedFolder);

// True when folder holds nothing; false, with the last-error value, when it
// cannot be listed (empty is then false as well).
bool IsEmptyFolder(const std::wstring& folder, bool* empty);

// The part of a relative path before its last backslash; empty for a file
// directly in the folder.
std::wstring ParentOf(const std::wstring& relativePath);
