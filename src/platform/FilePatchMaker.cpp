#include "platform/FilePatchMaker.h"

#include "platform/BinaryDiff.h"
#include "platform/FileHelpers.h"
#include "platform/FileView.h"
#include "platform/FileWriter.h"
#include "platform/Md5.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_WINDOWLOG_MIN
#include <zstd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

struct CCtxDeleter
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

// The largest window a 64-bit decoder takes.
const int kMaxWindowLog = 31;

CHandle OpenForReading(const std::wstring& path)
{
    return CHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool Failed(const std::wstring& path, std::wstring* failedPath, DWORD error)
{
    *failedPath = path;
    SetLastError(error);
    return false;
}

// The smallest windowLog whose window covers bytes (at least zstd's minimum).
int WindowLogFor(uint64_t bytes)
{
    int log = ZSTD_WINDOWLOG_MIN;
    while (log < kMaxWindowLog && (1ULL << log) < bytes)
        ++log;
    return log;
}

bool SetParameter(ZSTD_CCtx* context, ZSTD_cParameter parameter, int value)
{
    return !ZSTD_isError(ZSTD_CCtx_setParameter(context, parameter, value));
}

bool Encode(const std::wstring* oldPath, const std::wstring& newPath, const std::wstring& outPath,
            CPackedOutput* written, std::wstring* failedPath, const CPackOptions& options)
{
    *written = CPackedOutput();
    CHandle oldFile;
    CFileView oldView;
    if (oldPath != nullptr) {
        oldFile = OpenForReading(*oldPath);
        if (!oldFile || !oldView.MapForReading(oldFile.Get()))
            return Failed(*oldPath, failedPath, LastErrorOr(ERROR_READ_FAULT));
    }
    CHandle newFile = OpenForReading(newPath);
    CFileView newView;
    if (!newFile || !newView.MapForReading(newFile.Get()))
        return Failed(newPath, failedPath, LastErrorOr(ERROR_READ_FAULT));

    CFileWriter output;
    output.path = outPath;
    output.creationDisposition = CREATE_NEW;
    if (!output.Open())
        return Failed(outPath, failedPath, output.lastError);

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
    if (!context)
        return Failed(outPath, failedPath, ERROR_NOT_ENOUGH_MEMORY);
    const uint64_t frameSize = options.frameSize != 0 ? options.frameSize : kFrameSize;
    const int level = options.level != 0 ? options.level : (newView.Size() <= kUltraLimit ? 22 : 19);
    CMd5 md5;
    std::vector<unsigned char> buffer;
    uint64_t offset = 0;
    // An empty file is still one (empty) frame, so every download holds one.
    do {
        const size_t contentSize = static_cast<size_t>(std::min(frameSize, newView.Size() - offset));
        ZSTD_CCtx_reset(context.get(), ZSTD_reset_session_and_parameters);
        bool set = SetParameter(context.get(), ZSTD_c_compressionLevel, level) &&
                   SetParameter(context.get(), ZSTD_c_checksumFlag, 1) &&
                   SetParameter(context.get(), ZSTD_c_contentSizeFlag, 1) &&
                   !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(context.get(), contentSize));
        if (set && oldPath != nullptr) {
            // Matches may reach anywhere in the old file: the window covers it and the frame.
            set = SetParameter(context.get(), ZSTD_c_windowLog, WindowLogFor(oldView.Size() + contentSize)) &&
                  SetParameter(context.get(), ZSTD_c_enableLongDistanceMatching, 1) &&
                  (oldView.Size() == 0 ||
                   !ZSTD_isError(ZSTD_CCtx_refPrefix(context.get(), oldView.Data(), static_cast<size_t>(oldView.Size()))));
        }
        if (!set)
            return Failed(outPath, failedPath, ERROR_INVALID_PARAMETER);
        buffer.resize(ZSTD_compressBound(contentSize));
        const unsigned char* content = newView.Size() > 0 ? newView.Data() + offset : nullptr;
        const size_t size = ZSTD_compress2(context.get(), buffer.data(), buffer.size(), content, contentSize);
        if (ZSTD_isError(size))
            return Failed(outPath, failedPath, ERROR_NOT_ENOUGH_MEMORY);
        for (size_t done = 0; done < size;) {
            const DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1 << 24));
            if (!output.Write(buffer.data() + done, piece))
                return Failed(outPath, failedPath, output.lastError);
            if (output.bytesWritten != piece)
                return Failed(outPath, failedPath, ERROR_DISK_FULL);
            done += piece;
        }
        if (!md5.Update(buffer.data(), size))
            return Failed(outPath, failedPath, md5.lastError);
        written->size += size;
        offset += contentSize;
    } while (offset < newView.Size());
    written->md5 = md5.FinishHex();
    if (written->md5.empty())
        return Failed(outPath, failedPath, md5.lastError);
    // Executables patch smaller compared byte by byte; the smaller patch is kept.
    if (oldPath != nullptr && options.patchKind != CPackOptions::eZstdPatch && oldView.Size() > 0 &&
        oldView.Size() <= kDiffLimit && newView.Size() <= kDiffLimit) {
        CMd5::Digest newMd5{};
        std::vector<unsigned char> diff;
        if (!md5.Update(newView.Data(), static_cast<size_t>(newView.Size())) || !md5.Finish(&newMd5))
            return Failed(newPath, failedPath, md5.lastError);
        if (!MakeBinaryDiff(oldView.Data(), static_cast<size_t>(oldView.Size()), newView.Data(),
                            static_cast<size_t>(newView.Size()), level, &diff, newMd5.data()))
            return Failed(outPath, failedPath, ERROR_NOT_ENOUGH_MEMORY);
        if (diff.size() < written->size || options.patchKind == CPackOptions::eDiffPatch) {
            LARGE_INTEGER start{};
            if (!SetFilePointerEx(output.handle.Get(), start, nullptr, FILE_BEGIN) ||
                !SetEndOfFile(output.handle.Get()))
                return Failed(outPath, failedPath, LastErrorOr(ERROR_WRITE_FAULT));
            if (!output.Write(diff.data(), static_cast<DWORD>(diff.size())))
                return Failed(outPath, failedPath, output.lastError);
            if (output.bytesWritten != diff.size())
                return Failed(outPath, failedPath, ERROR_DISK_FULL);
            if (!md5.Update(diff.data(), diff.size()))
                return Failed(outPath, failedPath, md5.lastError);
            written->size = diff.size();
            written->md5 = md5.FinishHex();
            if (written->md5.empty())
                return Failed(outPath, failedPath, md5.lastError);
        }
    }
    return true;
}

} // namespace

bool WritePackedFile(const std::wstring& newPath, const std::wstring& outPath, CPackedOutput* written,
                     std::wstring* failedPath, const CPackOptions& options)
{
    return Encode(nullptr, newPath, outPath, written, failedPath, options);
}

bool WritePatchFile(const std::wstring& oldPath, const std::wstring& newPath, const std::wstring& outPath,
                    CPackedOutput* written, std::wstring* failedPath, const CPackOptions& options)
{
    return Encode(&oldPath, newPath, outPath, written, failedPath, options);
}
