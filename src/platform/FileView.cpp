#include "platform/FileView.h"

#include "platform/FileHelpers.h"

bool CFileView::MapForReading(HANDLE file)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        return false;
    return Map(file, static_cast<uint64_t>(size.QuadPart), false);
}

bool CFileView::MapForWriting(HANDLE file, uint64_t size)
{
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file, end, nullptr, FILE_BEGIN) || !SetEndOfFile(file))
        return false;
    return Map(file, size, true);
}

bool CFileView::Map(HANDLE file, uint64_t size, bool writable)
{
    Close();
    if (size == 0)
        return true;
    if (size > static_cast<uint64_t>(SIZE_MAX)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    m_mapping.Reset(CreateFileMappingW(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                       static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr));
    if (!m_mapping) {
        SetLastError(LastErrorOr(ERROR_INVALID_HANDLE));
        return false;
    }
    m_view.Reset(MapViewOfFile(m_mapping.Get(), writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0,
                               static_cast<SIZE_T>(size)));
    if (!m_view) {
        SetLastError(LastErrorOr(ERROR_NOT_ENOUGH_MEMORY));
        m_mapping.Close();
        return false;
    }
    m_size = size;
    return true;
}

void CFileView::Close()
{
    m_view.Close();
    m_mapping.Close();
    m_size = 0;
}

bool CFileView::Flush()
{
    return m_view.Get() == nullptr || FlushViewOfFile(m_view.Get(), 0) != FALSE;
}
