#include "platform/FilePatch.h"

#include "platform/BinaryDiff.h"
#include "platform/FileHelpers.h"
#include "platform/FileView.h"
#include "platform/Md5.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader and the frame types
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct DCtxDeleter
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Hashed in pieces so each piece's pages are still in the cache, and so a
// file of 4 GiB never meets the provider's 32-bit lengths.
const size_t kHashPiece = 4 << 20;

CRebuildResult Result(eRebuildStatus status, DWORD error = 0)
{
    CRebuildResult result;
    result.status = status;
    result.error = error;
    return result;
}

// The MD5 of size bytes at bytes, in pieces.
bool HashPieces(CMd5& md5, const unsigned char* bytes, size_t size)
{
    for (size_t hashed = 0; hashed < size;) {
        const size_t piece = std::min(kHashPiece, size - hashed);
        if (!md5.Update(bytes + hashed, piece))
            return false;
        hashed += piece;
    }
    return true;
}

CRebuildResult RebuildFromDiff(const CFileView& input, const CFileView& prefix, CFileView& output, uint64_t newSize,
                               std::string* md5Hex, const CRebuildProgress* progress)
{
    unsigned char expected[16] = {};
    const eRebuildStatus status =
        ApplyBinaryDiff(input.Data(), static_cast<size_t>(input.Size()), prefix.Data(),
                        static_cast<size_t>(prefix.Size()), output.WritableData(), static_cast<size_t>(newSize), expected);
    if (status != eRebuilt)
        return Result(status, status == eOutputFailed ? ERROR_NOT_ENOUGH_MEMORY : 0);
    CMd5 md5;
    CMd5::Digest digest{};
    if (!HashPieces(md5, output.Data(), static_cast<size_t>(newSize)) || !md5.Finish(&digest))
        return Result(eOutputFailed, md5.lastError);
    // Another base of the same size gives other bytes: the digest tells.
    if (std::memcmp(digest.data(), expected, digest.size()) != 0)
        return Result(eCorrupt);
    // Before the caller flushes the file and stamps it: written through the
    // view, the bytes reach the file only with the view's own flush.
    if (!output.Flush())
        return Result(eOutputFailed, LastErrorOr(ERROR_WRITE_FAULT));
    *md5Hex = BytesToHex(digest.data(), digest.size());
    if (progress != nullptr && progress->advance != nullptr)
        progress->advance(progress->context, newSize, newSize);
    return Result(eRebuilt);
}

} // namespace

CRebuildResult RebuildFile(HANDLE download, HANDLE base, HANDLE staged, uint64_t newSize, std::string* md5Hex,
                           const CRebuildProgress* progress)
{
    md5Hex->clear();
    CFileView input;
    if (!input.MapForReading(download))
        return Result(eDownloadUnreadable, LastErrorOr(ERROR_READ_FAULT));
    const bool hasBase = base != nullptr && base != INVALID_HANDLE_VALUE;
    CFileView prefix;
    if (hasBase && !prefix.MapForReading(base))
        return Result(eBaseUnreadable, LastErrorOr(ERROR_READ_FAULT));
    // Even an empty file travels as one frame: an empty download is no file's data.
    if (input.Size() == 0)
        return Result(eCorrupt);
    CFileView output;
    if (!output.MapForWriting(staged, newSize))
        return Result(eOutputFailed, LastErrorOr(ERROR_WRITE_FAULT));

    if (IsBinaryDiff(input.Data(), static_cast<size_t>(input.Size()))) {
        if (!hasBase)
            return Result(eCorrupt);
        return RebuildFromDiff(input, prefix, output, newSize, md5Hex, progress);
    }

    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context(ZSTD_createDCtx());
    if (!context)
        return Result(eOutputFailed, ERROR_NOT_ENOUGH_MEMORY);
    CMd5 md5;
    unsigned char none = 0; // the destination of empty frames: an empty file has no view
    const unsigned char* source = input.Data();
    uint64_t remaining = input.Size();
    uint64_t done = 0;
    while (remaining > 0) {
        // Each frame is checked before it is decoded: a whole zstd frame (not
        // a skippable one, which is no part of either format), with a content
        // size that fits in what is left of newSize. Only then is its
        // destination the exact range of the output it claims.
        ZSTD_frameHeader header{};
        const size_t headerResult = ZSTD_getFrameHeader(&header, source, static_cast<size_t>(remaining));
        if (ZSTD_isError(headerResult) || headerResult != 0 || header.frameType != ZSTD_frame ||
            header.frameContentSize == ZSTD_CONTENTSIZE_UNKNOWN || header.frameContentSize > newSize - done)
            return Result(eCorrupt);
        const size_t frameBytes = ZSTD_findFrameCompressedSize(source, static_cast<size_t>(remaining));
        if (ZSTD_isError(frameBytes) || frameBytes > remaining)
            return Result(eCorrupt);
        const size_t contentSize = static_cast<size_t>(header.frameContentSize);
        // The prefix is used up by one frame: each patch frame references it anew.
        ZSTD_DCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
        if (hasBase && prefix.Size() > 0 &&
            ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), prefix.Data(), static_cast<size_t>(prefix.Size()))))
            return Result(eOutputFailed, ERROR_NOT_ENOUGH_MEMORY);
        unsigned char* destination = contentSize > 0 ? output.WritableData() + done : &none;
        const size_t decoded = ZSTD_decompressDCtx(context.get(), destination, contentSize, source, frameBytes);
        if (ZSTD_isError(decoded) || decoded != contentSize)
            return Result(eCorrupt);
        if (!HashPieces(md5, destination, contentSize))
            return Result(eOutputFailed, md5.lastError);
        done += contentSize;
        source += frameBytes;
        remaining -= frameBytes;
        if (progress != nullptr && progress->advance != nullptr)
            progress->advance(progress->context, done, newSize);
    }
    if (done != newSize)
        return Result(eCorrupt);
    std::string digest = md5.FinishHex();
    if (digest.empty())
        return Result(eOutputFailed, md5.lastError);
    if (!output.Flush())
        return Result(eOutputFailed, LastErrorOr(ERROR_WRITE_FAULT));
    *md5Hex = digest;
    return Result(eRebuilt);
}

const wchar_t* RebuildStatusText(eRebuildStatus status)
{
    switch (status) {
    case eRebuilt:
        return L"rebuilt";
    case eDownloadUnreadable:
        return L"download unreadable";
    case eBaseUnreadable:
        return L"base unreadable";
    case eCorrupt:
        return L"corrupt or not this file's data";
    default:
        return L"output failed";
    }
}
