#pragma once
// "make": compares two versions of an application folder and writes the
// downloads and the manifest of the update from the old to the new one.
#include "makeupdate/Arguments.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class CUpdateMaker
{
public:
    explicit CUpdateMaker(const CMakeOptions& options) : m_options(options) {}
    CUpdateMaker(const CUpdateMaker&) = delete;
    CUpdateMaker& operator=(const CUpdateMaker&) = delete;

    // Does the whole job and returns the exit code: eExitDone, or
    // eExitUnusable with every reason on standard error and nothing left in
    // the output folder.
    int Run();

private:
    // One file of the update, in the manifest's order.
    struct CItem
    {
        std::wstring relativePath;
        bool isNew = false;
        bool remove = false; // only the old version has it: the update removes it
        uint64_t size = 0;
        int64_t modified = 0;
        std::string md5;
        DWORD attributes = 0;
    };

    bool CheckFolders();
    bool CompareTrees();
    bool WriteDownloads();
    bool WriteManifest();
    std::string ManifestBytes() const;

    bool CreateFolders(const std::wstring& path);
    // True when a folder on the way to relative is a file in the old tree.
    bool HasFileAmongFolders(const std::wstring& relative) const;
    void RemoveWritten();
    bool Unusable(const std::wstring& line);

    CMakeOptions m_options;
    std::wstring m_old; // full paths, each with a trailing backslash
    std::wstring m_new;
    std::wstring m_out;
    std::vector<CItem> m_items;
    std::vector<std::wstring> m_problems;
    // What this run created, removed again when it cannot finish.
    std::vector<std::wstring> m_createdFiles;
    std::vector<std::wstring> m_createdFolders;
};
