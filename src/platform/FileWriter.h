#pragma once
// Writes one file in one piece around CreateFileW and WriteFile.
#include "platform/Handles.h"

#include <windows.h>

#include <string>

class CFileWriter
{
public:
    std::wstring path;
    DWORD desiredAccess = GENERIC_READ | GENERIC_WRITE;
    DWORD shareMode = 0;
    DWORD creationDisposition = CREATE_ALWAYS;
    DWORD flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    // A template file for the new file's attributes; the writer owns it and
    // closes it with the file.
    CHandle templateFile;
    // The open file (the caller may flush or query it); closed with the writer.
    CHandle handle;
    // GetLastError() after the last Windows call this object made (also on success).
    DWORD lastError = 0;
    SECURITY_ATTRIBUTES securityAttributes{};
    DWORD bytesWritten = 0;

    CFileWriter() = default;
    ~CFileWriter();
    CFileWriter(const CFileWriter&) = delete;
    CFileWriter& operator=(const CFileWriter&) = delete;

    // Opens path with the parameters above; an open handle is closed first and
    // every field but path returns to its default. False, with lastError, on failure.
    bool Open();
    // One WriteFile of count bytes at the file's position; no retry for short
    // writes: the caller compares bytesWritten with count.
    BOOL Write(const void* buffer, DWORD count);
    // Closes the handles and sets every field but path back to its default.
    void Close();
};
