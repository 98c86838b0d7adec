#pragma once
// Rebuilding a file from a small download: a patch against the installed
// version of the file, or the whole file compressed.
//
// A compressed file is one or more zstd frames that hold the new file's bytes
// in order, each with its content size and a checksum (the zstd program can
// unpack them). A patch is either such frames that each take the whole
// installed (base) file as their raw content prefix, so they decode only
// against exactly that file; or a comparison of the two files by bytes
// (BinaryDiff.h: runs of base bytes plus differences, and new bytes, in three
// zstd streams, with the new file's MD5), which is smaller for executables.
// FilePatchMaker.h makes them; RebuildFile tells them apart by their first
// bytes.
//
// Memory: the download and the base are read through read-only mapped views
// and the result is written through a writable mapped view of the staged
// file. zstd frames are each decoded straight into their place (the output
// is the decoder's window: it keeps none of its own), a few kilobytes of
// input at a time, while a thread hashes the finished output and writes it
// out to the file behind the decoder; so the private memory holds only the
// decoder's state and its block buffer (under 1 MiB; 128 KiB measured for
// 256 MiB) and that thread's stack; the byte comparison's streams are decoded through
// windows of at most 4 MiB each (about 13 MiB in all) whatever the sizes.
// The views cost address space and page cache, which the files back.
#include <windows.h>

#include <cstdint>
#include <string>

enum eRebuildStatus
{
    eRebuilt,            // the staged file holds the new file, exactly newSize bytes
    eDownloadUnreadable, // the download could not be sized or mapped (error holds the code)
    eBaseUnreadable,     // the base could not be sized or mapped (error holds the code)
    // Not this file's data: not zstd frames, truncated, corrupted (a frame's
    // checksum or structure), trailing bytes, a frame without a content size,
    // a total other than newSize, a patch decoded against another base or
    // without one (error is 0). A compressed file decodes with or without a
    // base: it never refers to one.
    eCorrupt,
    eOutputFailed, // the staged file could not be sized or mapped (error holds the code)
};

struct CRebuildResult
{
    eRebuildStatus status = eCorrupt;
    DWORD error = 0; // the Windows code, where the failure has one
    bool Ok() const { return status == eRebuilt; }
};

// Called after each frame with the bytes of the new file done so far.
struct CRebuildProgress
{
    void (*advance)(void* context, uint64_t done, uint64_t total);
    void* context;
};

// Rebuilds the new file into staged.
//   download: the patch or compressed file, opened with GENERIC_READ.
//   base:     the installed file a patch applies to, opened with GENERIC_READ;
//             INVALID_HANDLE_VALUE or null for a compressed whole file.
//   staged:   opened by the caller with GENERIC_READ | GENERIC_WRITE; it is
//             set to newSize bytes before anything is decoded, and nothing
//             is ever written past newSize.
//   md5Hex:   receives the MD5 of the result (32 lower-case hexadecimal
//             digits, as CMd5::FinishHex gives it) on success; empty otherwise.
// On success the staged file is exactly newSize bytes; the caller flushes and
// stamps it. On failure its size and content are unspecified: the caller
// discards it. The handles' file positions are not used; staged's is moved.
// Never raises: hostile downloads (truncated, corrupted, random bytes, size
// claims beyond newSize) give eCorrupt. A file shrunk by another process while
// it is mapped is beyond this contract (the read of a missing page faults).
CRebuildResult RebuildFile(HANDLE download, HANDLE base, HANDLE staged, uint64_t newSize, std::string* md5Hex,
                           const CRebuildProgress* progress = nullptr);

// The words of a status, for messages ("corrupt", "download unreadable", ...).
const wchar_t* RebuildStatusText(eRebuildStatus status);
