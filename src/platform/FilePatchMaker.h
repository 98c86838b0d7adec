#pragma once
// Making the small downloads that RebuildFile (FilePatch.h) turns back into a
// file: a patch of the new file against the old one, and the new file
// compressed. Runs on the publisher's machine: both files are read through
// mapped views, and each frame is compressed whole in memory (its output
// buffer and the compressor's tables: a few hundred MiB for a large file).
//
// Parameters, chosen by measurement on this product's executables: frames of
// up to kFrameSize bytes of the new file, each with its content size and a
// checksum; the strongest level (22, the "ultra" range) for files up to
// kUltraLimit and level 19 above it, where 22 would take minutes per frame;
// for a patch, long-distance matching and a window that covers the old file
// and the frame, so anything in the old file can be referred to; and, for
// files up to kDiffLimit, a byte-by-byte comparison (BinaryDiff.h) when that
// gives the smaller patch (it does for executables: a tenth smaller measured
// on this product's, where moved code shifts every address it holds).
#include <windows.h>

#include <cstdint>
#include <string>

struct CPackOptions
{
    uint64_t frameSize = 0; // bytes of the new file per frame; 0: kFrameSize
    int level = 0;          // 1..22; 0: chosen by the new file's size
    // For a patch: eSmallerPatch also compares the files byte by byte
    // (BinaryDiff.h) when both are at most kDiffLimit bytes and keeps the
    // smaller patch; the others make one kind only (the byte comparison
    // still only within kDiffLimit).
    enum ePatchKind
    {
        eSmallerPatch,
        eZstdPatch,
        eDiffPatch,
    } patchKind = eSmallerPatch;
};

inline constexpr uint64_t kFrameSize = 256ULL << 20;
inline constexpr uint64_t kUltraLimit = 64ULL << 20;

// What was written: its size and MD5 (32 lower-case hexadecimal digits).
struct CPackedOutput
{
    uint64_t size = 0;
    std::string md5;
};

// Writes the compressed whole of newPath to outPath, which must not exist.
// False with the Windows code in the last-error value and the path that
// failed in failedPath (ERROR_NOT_ENOUGH_MEMORY when the compressor could not
// be given its memory). An output left behind by a failure is the caller's
// to remove.
bool WritePackedFile(const std::wstring& newPath, const std::wstring& outPath, CPackedOutput* written,
                     std::wstring* failedPath, const CPackOptions& options = CPackOptions());

// Writes the patch that rebuilds newPath from exactly oldPath; otherwise as
// WritePackedFile.
bool WritePatchFile(const std::wstring& oldPath, const std::wstring& newPath, const std::wstring& outPath,
                    CPackedOutput* written, std::wstring* failedPath, const CPackOptions& options = CPackOptions());
