#pragma once
// "make": compares two versions of an application folder and writes the
// downloads and the manifest of the update from the old to the new one, or,
// as a dry run, only tells what the update would hold.
#include "makeupdate/Arguments.h"

#include <windows.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

class CProgress;

class CUpdateMaker
{
public:
    explicit CUpdateMaker(const CMakeOptions& options) : m_options(options) {}
    CUpdateMaker(const CUpdateMaker&) = delete;
    CUpdateMaker& operator=(const CUpdateMaker&) = delete;

    // Does the whole job and returns the exit code: eExitDone, with the
    // update's files and totals on standard output (or one JSON document) and
    // any warnings on standard error; or eExitUnusable with one line on
    // standard error (with --json also a JSON document with the error on
    // standard output) and nothing left in the output folder.
    // Refused as unusable besides unreadable input: the same folder as old
    // and new; a new version without files (unless allowEmpty); an update
    // that removes more than half of the old version's files (unless
    // allowMassRemoval).
    int Run();

private:
    enum eChange
    {
        eAdded,
        eChanged,
        eRemoved,
    };

    // A patch or compressed file written beside (or instead of) the whole file.
    struct CSmallDownload
    {
        std::wstring name; // relative to the output folder
        uint64_t size = 0;
        std::string md5;
    };

    // One file of the update, in the manifest's order.
    struct CItem
    {
        std::wstring relativePath;
        eChange change = eAdded;
        uint64_t size = 0;    // of the new file
        uint64_t oldSize = 0; // of the old file (changed, removed)
        int64_t modified = 0;
        std::string md5; // once copied
        DWORD attributes = 0;
        bool full = true; // the whole file is among the downloads (not with --no-full)
        std::optional<CSmallDownload> patch;
        std::string baseMd5; // of the old file, the patch's base
        std::optional<CSmallDownload> packed;
        // What fetching the update costs for this file: its smallest download.
        uint64_t DownloadBytes() const;
    };

    // The change's word in the JSON output.
    static const wchar_t* ChangeName(eChange change);

    // A file the update does not install because the new version has it as
    // the old one had it: the base the update relies on.
    struct CBaseFile
    {
        std::wstring relativePath;
        uint64_t size = 0;
        std::string md5;
    };

    bool CheckFolders();
    // The guard rails against a wrong folder: a new version without files,
    // an update that removes most of the old version.
    bool CheckScale(const std::vector<std::wstring>& oldFiles, const std::vector<std::wstring>& newFiles);
    bool CompareTrees(CProgress& progress);
    bool WriteDownloads(CProgress& progress);
    // The patch and the compressed file of item, keeping the smaller one when
    // it is smaller than the whole file (with --no-full, whatever its size).
    bool WriteSmallDownloads(CItem& item, CProgress& progress);
    // relative + extension, or with a number between them when another
    // download already has that name (compared as Windows compares names).
    std::wstring FreeDownloadName(const std::wstring& relative, const wchar_t* extension);
    void Forget(const std::wstring& path);
    bool WriteManifest();
    std::string ManifestBytes() const;
    // The attributes of the manifest's info element, in its order.
    std::vector<std::pair<std::wstring, std::wstring>> InfoAttributes() const;
    // Why the manifest would not fit the customer's machine.
    std::vector<std::wstring> Warnings() const;
    void PrintText() const;
    void PrintJson() const;

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
    std::vector<CBaseFile> m_base; // in ordinal order of the names
    // Folders the engine creates (empty ones of the new version the old lacks)
    // and removes (the old version's that the new one lacks), by relative path.
    std::vector<std::wstring> m_foldersCreated;
    std::vector<std::wstring> m_foldersRemoved;
    // Files only the old version has, kept by --keep-removed.
    std::vector<std::wstring> m_notRemoved;
    // What this run created, removed again when it cannot finish.
    std::vector<std::wstring> m_createdFiles;
    std::vector<std::wstring> m_createdFolders;
    std::set<std::wstring> m_downloadNames; // upper case
    std::wstring m_error; // the line of the refusal, for --json
};

// True when path is a full path on its own: a drive with its root ("C:\")
// or a UNC path ("\\server\share"); not one taken relative to a current
// folder or drive.
bool IsFullPath(const std::wstring& path);
