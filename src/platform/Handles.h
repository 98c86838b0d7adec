#pragma once
// Owners for Windows handles: one small class per way of closing. Not copyable,
// movable; Release() hands the handle over. Closing keeps the thread's
// last-error value, so an error code read after a failure survives cleanup.
#include <windows.h>

#include <utility>

template <typename Traits>
class CUniqueHandle
{
public:
    using Type = typename Traits::Type;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Type handle) : m_handle(handle) {}
    ~CUniqueHandle() { Close(); }

    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : m_handle(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    bool IsValid() const { return Traits::IsValid(m_handle); }
    explicit operator bool() const { return IsValid(); }
    Type Get() const { return m_handle; }

    Type Release()
    {
        Type handle = m_handle;
        m_handle = Traits::Empty();
        return handle;
    }

    void Reset(Type handle = Traits::Empty())
    {
        if (IsValid()) {
            const DWORD lastError = GetLastError();
            Traits::Close(m_handle);
            SetLastError(lastError);
        }
        m_handle = handle;
    }

    void Close() { Reset(); }

private:
    Type m_handle = Traits::Empty();
};

// Kernel objects: both NULL and INVALID_HANDLE_VALUE count as empty.
struct KernelHandleTraits
{
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { CloseHandle(h); }
};
using CHandle = CUniqueHandle<KernelHandleTraits>;

struct FindHandleTraits
{
    using Type = HANDLE;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { FindClose(h); }
};
using CFindHandle = CUniqueHandle<FindHandleTraits>;

struct ServiceHandleTraits
{
    using Type = SC_HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { CloseServiceHandle(h); }
};
using CServiceHandle = CUniqueHandle<ServiceHandleTraits>;

struct MappedViewTraits
{
    using Type = void*;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { UnmapViewOfFile(p); }
};
using CMappedView = CUniqueHandle<MappedViewTraits>;

struct LocalMemoryTraits
{
    using Type = HLOCAL;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { LocalFree(p); }
};
using CLocalMemory = CUniqueHandle<LocalMemoryTraits>;

// Pages reserved with VirtualAlloc (a process snapshot's block).
struct VirtualMemoryTraits
{
    using Type = void*;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type p) { return p != nullptr; }
    static void Close(Type p) { VirtualFree(p, 0, MEM_RELEASE); }
};
using CVirtualMemory = CUniqueHandle<VirtualMemoryTraits>;
