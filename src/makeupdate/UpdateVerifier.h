#pragma once
// "verify": checks a manifest's downloads the way the update engine will find
// and check them, or an installed application folder against what the
// manifest installs and removes.
#include "makeupdate/Arguments.h"

#include <pugixml.hpp>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

class CProgress;

class CUpdateVerifier
{
public:
    explicit CUpdateVerifier(const CVerifyOptions& options) : m_options(options) {}
    CUpdateVerifier(const CUpdateVerifier&) = delete;
    CUpdateVerifier& operator=(const CUpdateVerifier&) = delete;

    // Downloads: for every item marked for update, its download exists under
    // FileName or TempFileName in the downloads folder, can be read, has
    // SizeByte bytes and, when MD5 is a digest, that digest. The downloads
    // folder is the one given (--downloads), else UpdateFolder, or, when no
    // such folder exists on this machine, the manifest's own folder (a
    // package checked where it lies); a line on standard output says when it
    // is not UpdateFolder.
    // Installed folder: every item marked for update is a file there with
    // SizeByte bytes and its MD5 digest; every item marked for removal is
    // absent; every file of the base record is there with its size and MD5.
    // One line per problem on standard error (and, for an installed folder,
    // one per good file on standard output), then the count and the totals;
    // or, with --json, one JSON document on standard output. Returns
    // eExitDone, eExitProblems, or eExitUnusable with one line on standard
    // error (with --json also a JSON document with the error on standard
    // output) when the manifest or the folder cannot be used.
    int Run();

    // What was found for one item.
    struct CResult
    {
        std::wstring name; // as the manifest gives it
        std::wstring path; // where it was looked for
        bool remove = false;
        bool keep = false; // a file of the base version, which the update does not install
        // A patch or compressed file of the item forName ("patch", "packed"); null for the item itself.
        const wchar_t* kind = nullptr;
        std::wstring forName;
        bool rebuilt = false;  // a small download rebuilt into its file, which matched
        bool absent = false;   // a whole file not among the downloads, a small one standing in for it
        const wchar_t* result = L"ok"; // a keyword of the JSON output
        std::wstring problem;          // the line for the user; empty when all is well
        uint64_t size = 0;             // the manifest's
        bool hasActualSize = false;
        uint64_t actualSize = 0;
        std::string md5; // the manifest's, when a digest
        std::string actualMd5;
    };

private:
    int Check();
    bool Unusable(const std::wstring& line);
    bool LoadManifest(pugi::xml_document* document);
    // The folder the downloads are looked for in, full, with a trailing
    // backslash unless it is UpdateFolder as the manifest gives it; and the
    // line that tells where it came from (empty for UpdateFolder).
    bool DownloadsFolder(const std::wstring& updateFolder, std::wstring* folder, std::wstring* line);
    void CheckDownload(const pugi::xml_node& element, const std::wstring& folder, CProgress& progress,
                       CResult* result);
    // The item's patch and compressed file, each a result of its own: the
    // download's size and MD5, then the file rebuilt from it (a patch only
    // against --base) compared with the item's size and MD5.
    void CheckSmallDownloads(const pugi::xml_node& element, const std::wstring& folder, CProgress& progress,
                             std::vector<CResult>* results);
    void CheckRebuild(const pugi::xml_node& element, const std::wstring* base, CResult* result);
    void CheckInstalled(const pugi::xml_node& element, CProgress& progress, CResult* result);
    // A file the base record lists: there, with its size and digest.
    void CheckBaseFile(const pugi::xml_node& element, CProgress& progress, CResult* result);
    // A file the installed folder must hold, given what reading its
    // attributes gave: missing, a folder or unreadable, else its content
    // checked.
    void CheckPresent(DWORD attributes, DWORD error, CProgress& progress, CResult* result);
    // Compares the file's size with the manifest's, then reads it in full and
    // compares its digest with the manifest's MD5, when it gives one.
    void CheckContent(CProgress& progress, CResult* result);
    void PrintJson(const std::wstring& folder, const wchar_t* folderFrom) const;

    CVerifyOptions m_options;
    std::wstring m_installed; // full path with a trailing backslash, when checking an installed folder
    std::vector<CResult> m_results;
    size_t m_checked = 0;
    size_t m_index = 0; // of the item being checked, from 1
    size_t m_count = 0; // items to check
    bool m_patchesUnapplied = false; // a patch was checked without --base
    std::wstring m_error; // the line of the refusal, for --json
};
