#pragma once
// "verify": checks a manifest's downloads the way the update engine will find
// and check them.
#include <string>

class CUpdateVerifier
{
public:
    CUpdateVerifier() = default;
    CUpdateVerifier(const CUpdateVerifier&) = delete;
    CUpdateVerifier& operator=(const CUpdateVerifier&) = delete;

    // For every item marked for update: its download exists under FileName or
    // TempFileName in UpdateFolder, can be read, has SizeByte bytes and, when
    // MD5 is a digest, that digest. One line per problem on standard error.
    // Returns eExitDone, eExitProblems, or eExitUnusable when the manifest
    // cannot be read.
    int Run(const std::wstring& manifest);
};
