#include "platform/FilePatch.h"

#include "platform/BinaryDiff.h"
#include "platform/FileHelpers.h"
#include "platform/FileView.h"
#include "platform/Md5.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_getFrameHeader and the frame types
#include <zstd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

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


// Hashes the output and writes it out to the file behind the decoder, on a
// thread of its own: the decoder publishes how far the output is final, and
// this thread follows, so decoding, hashing and writing to the disk overlap
// instead of following one another.
class COutputFollower
{
public:
    explicit COutputFollower(CFileView& output) : m_output(output), m_thread([this] { Follow(); }) {}
    ~COutputFollower() { Finish(); }
    COutputFollower(const COutputFollower&) = delete;
    COutputFollower& operator=(const COutputFollower&) = delete;

    // The output's first done bytes are final.
    void Advance(uint64_t done)
    {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_done = done;
        }
        m_changed.notify_one();
    }

    // Waits until everything published is hashed and written out; false when
    // hashing or writing failed (error: the Windows code).
    bool Finish()
    {
        if (m_thread.joinable()) {
            {
                std::lock_guard<std::mutex> hold(m_lock);
                m_finished = true;
            }
            m_changed.notify_one();
            m_thread.join();
        }
        return m_error == 0;
    }

    DWORD Error() const { return m_error; }
    std::string Digest() { return m_error == 0 ? m_md5.FinishHex() : std::string(); }

private:
    // Written out a part at a time, so the disk works while the decoder does.
    static constexpr uint64_t kFlushBytes = 64ULL << 20;

    void Follow()
    {
        uint64_t hashed = 0;
        uint64_t flushed = 0;
        for (;;) {
            uint64_t done = 0;
            bool finished = false;
            {
                std::unique_lock<std::mutex> hold(m_lock);
                m_changed.wait(hold, [&] { return m_done > hashed || m_finished; });
                done = m_done;
                finished = m_finished;
            }
            while (hashed < done && m_error == 0) {
                const size_t piece = static_cast<size_t>(std::min<uint64_t>(kHashPiece, done - hashed));
                if (!m_md5.Update(m_output.Data() + hashed, piece))
                    m_error = m_md5.lastError != 0 ? m_md5.lastError : static_cast<DWORD>(ERROR_GEN_FAILURE);
                hashed += piece;
                if (hashed - flushed >= kFlushBytes || (finished && hashed == done))
                    FlushRange(&flushed, hashed);
            }
            if (finished && hashed >= done) {
                FlushRange(&flushed, hashed);
                return;
            }
        }
    }

    void FlushRange(uint64_t* flushed, uint64_t upTo)
    {
        if (m_error != 0 || upTo <= *flushed)
            return;
        if (!FlushViewOfFile(m_output.Data() + *flushed, static_cast<SIZE_T>(upTo - *flushed)))
            m_error = LastErrorOr(ERROR_WRITE_FAULT);
        *flushed = upTo;
    }

    CFileView& m_output;
    std::mutex m_lock;
    std::condition_variable m_changed;
    uint64_t m_done = 0;
    bool m_finished = false;
    DWORD m_error = 0;
    CMd5 m_md5;
    std::thread m_thread;
};

// How much of a frame's compressed bytes the decoder is given at a time: the
// output it makes from them is handed to the follower in steps this small.
const size_t kInputStep = 16 << 10;

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
    const unsigned char* source = input.Data();
    uint64_t remaining = input.Size();
    uint64_t done = 0;
    COutputFollower follower(output);
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
        // The prefix is used up by one frame: each patch frame references it
        // anew. The frame is decoded straight into its range of the output
        // (stableOutBuffer: no window of the decoder's own, however large the
        // frame's), a few kilobytes of its input at a time, so that the
        // follower hashes and writes out what is done meanwhile.
        ZSTD_DCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
        if (ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1)) ||
            ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, ZSTD_WINDOWLOG_MAX)))
            return Result(eOutputFailed, ERROR_NOT_ENOUGH_MEMORY);
        if (hasBase && prefix.Size() > 0 &&
            ZSTD_isError(ZSTD_DCtx_refPrefix(context.get(), prefix.Data(), static_cast<size_t>(prefix.Size()))))
            return Result(eOutputFailed, ERROR_NOT_ENOUGH_MEMORY);
        unsigned char none = 0; // the destination of an empty frame: an empty file has no view
        ZSTD_outBuffer out{contentSize > 0 ? output.WritableData() + done : &none, contentSize, 0};
        ZSTD_inBuffer in{source, 0, 0};
        for (;;) {
            in.size = std::min(frameBytes, in.pos + kInputStep);
            const size_t before = out.pos + in.pos;
            const size_t left = ZSTD_decompressStream(context.get(), &out, &in);
            if (ZSTD_isError(left))
                return Result(eCorrupt);
            follower.Advance(done + out.pos);
            if (left == 0)
                break;
            // The decoder takes in all input it is given: a call that takes
            // nothing and makes nothing has met the end of a frame cut short.
            if (out.pos + in.pos == before)
                return Result(eCorrupt);
        }
        if (out.pos != contentSize || in.pos != frameBytes)
            return Result(eCorrupt);
        done += contentSize;
        source += frameBytes;
        remaining -= frameBytes;
        if (progress != nullptr && progress->advance != nullptr)
            progress->advance(progress->context, done, newSize);
    }
    if (done != newSize)
        return Result(eCorrupt);
    // Written through the view, the bytes reach the file with the view's own
    // flush, before the caller flushes the file and stamps it.
    if (!follower.Finish())
        return Result(eOutputFailed, follower.Error());
    std::string digest = follower.Digest();
    if (digest.empty())
        return Result(eOutputFailed, ERROR_GEN_FAILURE);
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
