#include "platform/FileWriter.h"

CFileWriter::~CFileWriter()
{
    Close();
    path.clear();
}

void CFileWriter::Close()
{
    // Closing keeps the last-error value (CUniqueHandle).
    handle.Close();
    templateFile.Close();
    desiredAccess = GENERIC_READ | GENERIC_WRITE;
    shareMode = 0;
    creationDisposition = CREATE_ALWAYS;
    flagsAndAttributes = FILE_ATTRIBUTE_NORMAL;
    lastError = 0;
    securityAttributes = SECURITY_ATTRIBUTES{};
    bytesWritten = 0;
}

bool CFileWriter::Open()
{
    if (handle.IsValid()) {
        // The parameters return to their defaults, and with them the template.
        Close();
    }

    SECURITY_ATTRIBUTES* attributes =
        securityAttributes.lpSecurityDescriptor != nullptr ? &securityAttributes : nullptr;
    handle.Reset(CreateFileW(path.c_str(), desiredAccess, shareMode, attributes, creationDisposition,
                             flagsAndAttributes, templateFile.IsValid() ? templateFile.Get() : nullptr));
    lastError = GetLastError();
    return handle.IsValid();
}

BOOL CFileWriter::Write(const void* buffer, DWORD count)
{
    const BOOL written = WriteFile(handle.Get(), buffer, count, &bytesWritten, nullptr);
    lastError = GetLastError();
    return written;
}
