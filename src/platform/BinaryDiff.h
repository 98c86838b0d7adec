#pragma once
// A patch made by comparing bytes: the new file as runs that are the old
// file's bytes at some position plus a small difference (mostly zeros where
// code moved and its addresses shifted), and runs of bytes of its own. It
// is smaller than a zstd patch on executables, whose moved code changes
// every address it holds by a little. FilePatch.h decodes it beside the
// plain zstd formats; this unit knows its layout.
//
// Layout: a zstd skippable frame (magic 0x184D2A5D) of kDiffHeaderBytes:
//   "QXD1", 4 bytes zero, then little-endian u64: new size, old size, and the
//   compressed sizes of the control, difference and extra streams; then the
//   new file's MD5 (16 bytes).
// Then the three streams, each zstd frames (content size, checksum, a window
// of at most 2^kDiffWindowLog bytes, so a streaming decoder needs little
// memory): control: for each run a triple of zigzag varints (difference
// length, extra length, old position step after the difference); difference:
// bytes added to the old bytes; extra: new bytes copied as they are.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/FilePatch.h"

inline constexpr uint32_t kDiffMagic = 0x184D2A5D;
inline constexpr size_t kDiffHeaderBytes = 8 + 64;
inline constexpr int kDiffWindowLog = 22;
// Larger old files are not compared byte by byte: the suffix array costs
// 12 bytes per byte of the old file.
inline constexpr uint64_t kDiffLimit = 64ULL << 20;

// True when bytes begin with this format's header frame.
bool IsBinaryDiff(const unsigned char* bytes, size_t size);

// Makes the patch from oldBytes to newBytes (the old file at most kDiffLimit
// bytes), whose MD5 is newMd5. False when the compressor failed (out of memory).
bool MakeBinaryDiff(const unsigned char* oldBytes, size_t oldSize, const unsigned char* newBytes, size_t newSize,
                    int level, std::vector<unsigned char>* patch, const unsigned char newMd5[16]);

// Rebuilds into out (newSize bytes, a mapped view) from patch and the old
// file; eCorrupt for anything that is not this pair's patch (the new file's
// MD5 in the header is compared by the caller through expectedMd5).
// Streaming decoders with bounded windows: about 13 MiB whatever the sizes.
eRebuildStatus ApplyBinaryDiff(const unsigned char* patch, size_t patchSize, const unsigned char* oldBytes,
                               size_t oldSize, unsigned char* out, size_t newSize, unsigned char expectedMd5[16]);
