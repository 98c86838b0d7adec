#include "platform/FileWriter.h"

CFileWriter::~CFileWriter()
{
    Close();
    path.clear();
}

void CFileWriter::Close()
{
    if (handle != INVALID_HANDLE_VALUE && handle != nullptr) {
        const DWORD saved = GetLastError();
        CloseHandle(handle);
        SetLastError(saved);
    }
    desiredAccess = GENERIC_READ | GENERIC_WRITE;
    shareMode = 0;
    creationDisposition = CREATE_ALWAYS;
    flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    templateFile = INVALID_HANDLE_VALUE;
    handle = INVALID_HANDLE_VALUE;
    lastError = 0;
    securityAttributes = SECURITY_ATTRIBUTES{};
    position = 0;
    bytesWritten = 0;
}

bool CFileWriter::Open()
{
    if (handle != INVALID_HANDLE_VALUE)
        Close();

    SECURITY_ATTRIBUTES* attributes =
        securityAttributes.lpSecurityDescriptor != nullptr ? &securityAttributes : nullptr;
    // A template handle of INVALID_HANDLE_VALUE is passed as none.
    HANDLE templ = templateFile == INVALID_HANDLE_VALUE ? nullptr : templateFile;
    handle = CreateFileW(path.c_str(), desiredAccess, shareMode, attributes, creationDisposition,
                         flagsAndAttributes, templ);
    lastError = GetLastError();
    if (handle == INVALID_HANDLE_VALUE)
        return false;

    LARGE_INTEGER zero{};
    LARGE_INTEGER newPosition{};
    SetFilePointerEx(handle, zero, &newPosition, FILE_BEGIN);
    lastError = GetLastError();
    position = newPosition.QuadPart;
    return true;
}

BOOL CFileWriter::Write(const void* buffer, DWORD count)
{
    const BOOL written = WriteFile(handle, buffer, count, &bytesWritten, nullptr);
    lastError = GetLastError();
    if (!written)
        return written;

    LARGE_INTEGER zero{};
    LARGE_INTEGER newPosition{};
    SetFilePointerEx(handle, zero, &newPosition, FILE_CURRENT);
    lastError = GetLastError();
    position = newPosition.QuadPart;
    return written;
}
