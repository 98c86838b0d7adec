#pragma once
// A whole file mapped into memory: read-only, or writable for a file opened
// with GENERIC_READ | GENERIC_WRITE. Its pages are backed by the file, not
// by the process's private memory, so even a file of gigabytes costs only
// address space. An empty file has no mapping (Windows maps no zero-size
// section): Data() is then null and Size() 0.
#include <windows.h>

#include "platform/Handles.h"

#include <cstdint>

class CFileView
{
public:
    CFileView() = default;
    CFileView(const CFileView&) = delete;
    CFileView& operator=(const CFileView&) = delete;

    // Maps the whole of file (its current size) for reading. False with the
    // Windows code in the last-error value.
    bool MapForReading(HANDLE file);
    // Sets file to exactly size bytes and maps it for writing. False with the
    // Windows code in the last-error value; the file's size is then unknown.
    bool MapForWriting(HANDLE file, uint64_t size);

    const unsigned char* Data() const { return static_cast<const unsigned char*>(m_view.Get()); }
    unsigned char* WritableData() { return static_cast<unsigned char*>(m_view.Get()); }
    uint64_t Size() const { return m_size; }

    // Writes the view's changed pages to the file (the file's own flush does
    // not reach pages changed through a view). False with the Windows code
    // in the last-error value.
    bool Flush();
    // Unmaps and closes the section; dirty pages stay with the file.
    void Close();

private:
    bool Map(HANDLE file, uint64_t size, bool writable);

    CHandle m_mapping;
    CMappedView m_view;
    uint64_t m_size = 0;
};
