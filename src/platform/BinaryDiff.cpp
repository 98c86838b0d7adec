#include "platform/BinaryDiff.h"

#define ZSTD_STATIC_LINKING_ONLY // ZSTD_d_windowLogMax
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

struct CCtxDeleter
{
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
struct DCtxDeleter
{
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

const unsigned char kTag[4] = {'Q', 'X', 'D', '1'};
const size_t kLongMatch = 4096;

void PutU32(std::vector<unsigned char>* out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void PutU64(std::vector<unsigned char>* out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}
uint32_t GetU32(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}
uint64_t GetU64(const unsigned char* bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

void PutVarint(std::vector<unsigned char>* out, int64_t value)
{
    uint64_t zigzag = (static_cast<uint64_t>(value) << 1) ^ static_cast<uint64_t>(value >> 63);
    while (zigzag >= 0x80) {
        out->push_back(static_cast<unsigned char>(zigzag | 0x80));
        zigzag >>= 7;
    }
    out->push_back(static_cast<unsigned char>(zigzag));
}

// The sorted suffixes of bytes, the empty one first: prefix doubling, each
// round two counting sorts (by the rank k bytes on, then stably by the own
// rank), so a round costs linear time even where long runs of one byte keep
// most suffixes tied for many rounds (a comparison sort took minutes there).
std::vector<int32_t> SuffixArray(const unsigned char* bytes, int32_t n)
{
    std::vector<int32_t> sa(n);
    std::vector<int32_t> rank(n);
    std::vector<int32_t> next(n);
    std::vector<int32_t> count(std::max<int32_t>(n, 256) + 1);
    for (int32_t i = 0; i < n; ++i)
        ++count[bytes[i]];
    for (int32_t c = 1; c < 256; ++c)
        count[c] += count[c - 1];
    for (int32_t i = n - 1; i >= 0; --i)
        sa[--count[bytes[i]]] = i;
    int32_t ranks = 0;
    for (int32_t i = 0; i < n; ++i) {
        if (i > 0 && bytes[sa[i]] != bytes[sa[i - 1]])
            ++ranks;
        rank[sa[i]] = ranks;
    }
    ++ranks;
    for (int64_t k = 1; ranks < n; k *= 2) {
        // By the second key: suffixes shorter than k first (their second key
        // is the empty string), then the others in the order of sa.
        int32_t filled = 0;
        for (int32_t i = static_cast<int32_t>(std::max<int64_t>(0, n - k)); i < n; ++i)
            next[filled++] = i;
        for (int32_t i = 0; i < n; ++i) {
            if (sa[i] >= k)
                next[filled++] = static_cast<int32_t>(sa[i] - k);
        }
        // Stably by the first key.
        std::fill(count.begin(), count.begin() + ranks + 1, 0);
        for (int32_t i = 0; i < n; ++i)
            ++count[rank[i]];
        for (int32_t r = 1; r < ranks; ++r)
            count[r] += count[r - 1];
        for (int32_t i = n - 1; i >= 0; --i)
            sa[--count[rank[next[i]]]] = next[i];
        // New ranks: equal when both keys are.
        auto second = [&](int32_t i) { return i + k < n ? rank[i + k] : -1; };
        next[sa[0]] = 0;
        ranks = 1;
        for (int32_t i = 1; i < n; ++i) {
            if (rank[sa[i]] != rank[sa[i - 1]] || second(sa[i]) != second(sa[i - 1]))
                ++ranks;
            next[sa[i]] = ranks - 1;
        }
        rank.swap(next);
    }
    sa.insert(sa.begin(), n);
    return sa;
}

size_t MatchLength(const unsigned char* a, size_t aSize, const unsigned char* b, size_t bSize)
{
    const size_t limit = std::min(aSize, bSize);
    size_t i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

// The longest match of target in old among the sorted suffixes.
size_t Search(const std::vector<int32_t>& sa, const unsigned char* old, size_t oldSize, const unsigned char* target,
              size_t targetSize, size_t* position)
{
    size_t low = 0;
    size_t high = oldSize;
    while (high - low >= 2) {
        const size_t middle = low + (high - low) / 2;
        const size_t at = static_cast<size_t>(sa[middle]);
        // A suffix that is a prefix of target sorts before it: without that,
        // long runs of one byte sent the search to the shortest suffix and
        // every position of the run searched again (minutes for 2 MiB of zeros).
        const int order = std::memcmp(old + at, target, std::min(oldSize - at, targetSize));
        if (order < 0 || (order == 0 && oldSize - at < targetSize))
            low = middle;
        else
            high = middle;
    }
    const size_t x = MatchLength(old + sa[low], oldSize - sa[low], target, targetSize);
    const size_t y = MatchLength(old + sa[high], oldSize - sa[high], target, targetSize);
    *position = static_cast<size_t>(x > y ? sa[low] : sa[high]);
    return std::max(x, y);
}

bool Compress(ZSTD_CCtx* context, int level, const std::vector<unsigned char>& content,
              std::vector<unsigned char>* out)
{
    ZSTD_CCtx_reset(context, ZSTD_reset_session_and_parameters);
    const bool set = !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level)) &&
                     !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1)) &&
                     !ZSTD_isError(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog,
                                                          std::min(kDiffWindowLog, ZSTD_WINDOWLOG_MAX)));
    if (!set)
        return false;
    const size_t start = out->size();
    out->resize(start + ZSTD_compressBound(content.size()));
    const size_t size = ZSTD_compress2(context, out->data() + start, out->size() - start, content.data(),
                                       content.size());
    if (ZSTD_isError(size))
        return false;
    out->resize(start + size);
    return true;
}

// One stream of the patch, decoded piece by piece into the caller's buffers.
class CStream
{
public:
    bool Open(const unsigned char* bytes, size_t size)
    {
        m_context.reset(ZSTD_createDCtx());
        m_input = {bytes, size, 0};
        return m_context &&
               !ZSTD_isError(ZSTD_DCtx_setParameter(m_context.get(), ZSTD_d_windowLogMax, kDiffWindowLog));
    }
    // Exactly size bytes into out; false when the stream is corrupt or ends first.
    bool Read(unsigned char* out, size_t size)
    {
        ZSTD_outBuffer output{out, size, 0};
        while (output.pos < output.size) {
            if (!Step(&output))
                return false;
        }
        return true;
    }
    // Up to size bytes; the count read (0 at the end), or false when corrupt
    // or cut short (the last frame unfinished).
    bool ReadSome(unsigned char* out, size_t size, size_t* read)
    {
        ZSTD_outBuffer output{out, size, 0};
        while (output.pos == 0 && Step(&output)) {
        }
        *read = output.pos;
        return output.pos > 0 || (m_failed == false && m_frameEnded && m_input.pos == m_input.size);
    }
    // The whole stream was used: every frame complete, nothing after it.
    bool AtEnd()
    {
        unsigned char extra = 0;
        size_t read = 0;
        return ReadSome(&extra, 1, &read) && read == 0;
    }

private:
    // One call of the decoder; false when it failed or made no progress.
    bool Step(ZSTD_outBuffer* output)
    {
        const size_t before = m_input.pos;
        const size_t done = output->pos;
        const size_t result = ZSTD_decompressStream(m_context.get(), output, &m_input);
        if (ZSTD_isError(result)) {
            m_failed = true;
            return false;
        }
        if (m_input.pos == before && output->pos == done)
            return false;
        // 0: a frame ended and everything of it was flushed (after that, a
        // call without input returns the size of the next header instead).
        m_frameEnded = result == 0;
        return true;
    }

    bool m_failed = false;
    bool m_frameEnded = false;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> m_context;
    ZSTD_inBuffer m_input{};
};

// The control stream as triples of zigzag varints, buffered.
class CControl
{
public:
    explicit CControl(CStream& stream) : m_stream(stream), m_buffer(1 << 16) {}
    // The next value; false at the end of the stream (ended set) or when corrupt.
    bool Next(int64_t* value, bool* ended)
    {
        *ended = false;
        uint64_t zigzag = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (m_at == m_size) {
                size_t read = 0;
                if (!m_stream.ReadSome(m_buffer.data(), m_buffer.size(), &read))
                    return false;
                m_at = 0;
                m_size = read;
                if (read == 0) {
                    *ended = shift == 0;
                    return false;
                }
            }
            const unsigned char byte = m_buffer[m_at++];
            zigzag |= static_cast<uint64_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) {
                *value = static_cast<int64_t>(zigzag >> 1) ^ -static_cast<int64_t>(zigzag & 1);
                return true;
            }
        }
        return false;
    }

private:
    CStream& m_stream;
    std::vector<unsigned char> m_buffer;
    size_t m_at = 0;
    size_t m_size = 0;
};

} // namespace

bool IsBinaryDiff(const unsigned char* bytes, size_t size)
{
    return size >= kDiffHeaderBytes && bytes[0] == (kDiffMagic & 0xff) && bytes[1] == ((kDiffMagic >> 8) & 0xff) &&
           bytes[2] == ((kDiffMagic >> 16) & 0xff) && bytes[3] == (kDiffMagic >> 24) &&
           std::memcmp(bytes + 8, kTag, 4) == 0;
}

bool MakeBinaryDiff(const unsigned char* oldBytes, size_t oldSize, const unsigned char* newBytes, size_t newSize,
                    int level, std::vector<unsigned char>* patch, const unsigned char newMd5[16])
{
    const std::vector<int32_t> sa = SuffixArray(oldBytes, static_cast<int32_t>(oldSize));
    std::vector<unsigned char> control;
    std::vector<unsigned char> difference;
    std::vector<unsigned char> extra;
    // Runs are ended where a match of the old file at another offset is
    // clearly better (by more than 8 bytes) than continuing at the last offset.
    size_t scan = 0;
    size_t length = 0;
    size_t position = 0;
    size_t lastScan = 0;
    size_t lastPosition = 0;
    int64_t lastOffset = 0;
    const auto oldAt = [&](int64_t at) { return at >= 0 && static_cast<size_t>(at) < oldSize; };
    while (scan < newSize) {
        int64_t oldScore = 0;
        size_t scored = scan += length;
        for (; scan < newSize; ++scan) {
            length = Search(sa, oldBytes, oldSize, newBytes + scan, newSize - scan, &position);
            for (; scored < scan + length; ++scored) {
                if (oldAt(static_cast<int64_t>(scored) + lastOffset) &&
                    oldBytes[scored + lastOffset] == newBytes[scored])
                    ++oldScore;
            }
            const int64_t matched = static_cast<int64_t>(length);
            // Also a long match no worse than the last offset: otherwise a run
            // that the last offset nearly covers is searched again from each of
            // its positions (a run of zeros after an insertion took minutes).
            if ((matched == oldScore && length != 0) || matched > oldScore + 8 ||
                (length >= kLongMatch && matched >= oldScore))
                break;
            if (oldAt(static_cast<int64_t>(scan) + lastOffset) && oldBytes[scan + lastOffset] == newBytes[scan])
                --oldScore;
        }
        if (static_cast<int64_t>(length) == oldScore && scan != newSize)
            continue;
        // How far the last match extends forwards, and the next one backwards.
        int64_t best = 0;
        int64_t score = 0;
        size_t forward = 0;
        for (size_t i = 0; lastScan + i < scan && lastPosition + i < oldSize;) {
            if (oldBytes[lastPosition + i] == newBytes[lastScan + i])
                ++score;
            ++i;
            if (score * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(forward)) {
                best = score;
                forward = i;
            }
        }
        size_t backward = 0;
        if (scan < newSize) {
            score = 0;
            best = 0;
            for (size_t i = 1; scan >= lastScan + i && position >= i; ++i) {
                if (oldBytes[position - i] == newBytes[scan - i])
                    ++score;
                if (score * 2 - static_cast<int64_t>(i) > best * 2 - static_cast<int64_t>(backward)) {
                    best = score;
                    backward = i;
                }
            }
        }
        if (lastScan + forward > scan - backward) {
            const size_t overlap = (lastScan + forward) - (scan - backward);
            score = 0;
            best = 0;
            size_t split = 0;
            for (size_t i = 0; i < overlap; ++i) {
                if (newBytes[lastScan + forward - overlap + i] == oldBytes[lastPosition + forward - overlap + i])
                    ++score;
                if (newBytes[scan - backward + i] == oldBytes[position - backward + i])
                    --score;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }
        for (size_t i = 0; i < forward; ++i)
            difference.push_back(static_cast<unsigned char>(newBytes[lastScan + i] - oldBytes[lastPosition + i]));
        const size_t extraLength = (scan - backward) - (lastScan + forward);
        extra.insert(extra.end(), newBytes + lastScan + forward, newBytes + lastScan + forward + extraLength);
        PutVarint(&control, static_cast<int64_t>(forward));
        PutVarint(&control, static_cast<int64_t>(extraLength));
        PutVarint(&control, static_cast<int64_t>(position - backward) - static_cast<int64_t>(lastPosition + forward));
        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = static_cast<int64_t>(position) - static_cast<int64_t>(scan);
    }

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> context(ZSTD_createCCtx());
    if (!context)
        return false;
    std::vector<unsigned char> streams;
    uint64_t sizes[3] = {};
    const std::vector<unsigned char>* parts[3] = {&control, &difference, &extra};
    for (int i = 0; i < 3; ++i) {
        const size_t before = streams.size();
        if (!Compress(context.get(), level, *parts[i], &streams))
            return false;
        sizes[i] = streams.size() - before;
    }
    patch->clear();
    PutU32(patch, kDiffMagic);
    PutU32(patch, static_cast<uint32_t>(kDiffHeaderBytes - 8));
    patch->insert(patch->end(), kTag, kTag + 4);
    PutU32(patch, 0);
    PutU64(patch, newSize);
    PutU64(patch, oldSize);
    for (uint64_t size : sizes)
        PutU64(patch, size);
    patch->insert(patch->end(), newMd5, newMd5 + 16);
    patch->insert(patch->end(), streams.begin(), streams.end());
    return true;
}

eRebuildStatus ApplyBinaryDiff(const unsigned char* patch, size_t patchSize, const unsigned char* oldBytes,
                               size_t oldSize, unsigned char* out, size_t newSize, unsigned char expectedMd5[16])
{
    // The frame's size, then the reserved word after the tag: both as written.
    if (!IsBinaryDiff(patch, patchSize) || GetU32(patch + 4) != kDiffHeaderBytes - 8 || GetU32(patch + 12) != 0)
        return eCorrupt;
    const unsigned char* header = patch + 16;
    if (GetU64(header) != newSize || GetU64(header + 8) != oldSize)
        return eCorrupt;
    uint64_t sizes[3];
    uint64_t total = kDiffHeaderBytes;
    for (int i = 0; i < 3; ++i) {
        sizes[i] = GetU64(header + 16 + 8 * i);
        if (sizes[i] > patchSize)
            return eCorrupt;
        total += sizes[i];
    }
    if (total != patchSize)
        return eCorrupt; // cut short, or trailing bytes
    std::memcpy(expectedMd5, header + 40, 16);
    CStream streams[3];
    const unsigned char* at = patch + kDiffHeaderBytes;
    for (int i = 0; i < 3; ++i) {
        if (!streams[i].Open(at, static_cast<size_t>(sizes[i])))
            return eOutputFailed;
        at += sizes[i];
    }
    CControl control(streams[0]);
    size_t written = 0;
    int64_t oldPosition = 0;
    for (;;) {
        int64_t lengths[3];
        bool ended = false;
        if (!control.Next(&lengths[0], &ended)) {
            if (!ended)
                return eCorrupt;
            break;
        }
        if (!control.Next(&lengths[1], &ended) || !control.Next(&lengths[2], &ended))
            return eCorrupt;
        const int64_t differenceLength = lengths[0];
        const int64_t extraLength = lengths[1];
        // Every run within the new file, every difference within the old one.
        if (differenceLength < 0 || extraLength < 0 || static_cast<uint64_t>(differenceLength) > newSize - written ||
            static_cast<uint64_t>(extraLength) > newSize - written - differenceLength || oldPosition < 0 ||
            static_cast<uint64_t>(oldPosition) > oldSize ||
            static_cast<uint64_t>(differenceLength) > oldSize - oldPosition)
            return eCorrupt;
        if (!streams[1].Read(out + written, static_cast<size_t>(differenceLength)))
            return eCorrupt;
        for (int64_t i = 0; i < differenceLength; ++i)
            out[written + i] = static_cast<unsigned char>(out[written + i] + oldBytes[oldPosition + i]);
        written += static_cast<size_t>(differenceLength);
        if (!streams[2].Read(out + written, static_cast<size_t>(extraLength)))
            return eCorrupt;
        written += static_cast<size_t>(extraLength);
        oldPosition += differenceLength + lengths[2];
    }
    if (written != newSize || !streams[0].AtEnd() || !streams[1].AtEnd() || !streams[2].AtEnd())
        return eCorrupt;
    return eRebuilt;
}
