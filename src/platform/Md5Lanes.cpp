#include "platform/Md5Lanes.h"

#include "platform/Md5.h"

#include <emmintrin.h>

#include <cstring>

namespace {

const uint32_t kInitial[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// The block function's four mixing functions, in forms that need no NOT but in I.
#define MD5_F(b, c, d) ((d) ^ ((b) & ((c) ^ (d))))
#define MD5_G(b, c, d) ((c) ^ ((d) & ((b) ^ (c))))
#define MD5_H(b, c, d) ((b) ^ (c) ^ (d))
#define MD5_I(b, c, d) ((c) ^ ((b) | ~(d)))

uint32_t LoadWord(const unsigned char* bytes)
{
    // MD5 reads its message as little-endian words, as x86 stores them.
    uint32_t word;
    std::memcpy(&word, bytes, sizeof(word));
    return word;
}

// One 64-byte block of one content.
void Block(uint32_t state[4], const unsigned char* block)
{
    uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = LoadWord(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
#define MD5_STEP(f, a, b, c, d, i, k, s)                                                                               \
    do {                                                                                                               \
        const uint32_t t = a + f(b, c, d) + x[i] + (k);                                                                \
        a = b + ((t << (s)) | (t >> (32 - (s))));                                                                      \
    } while (0)
#define R1(a, b, c, d, i, k, s) MD5_STEP(MD5_F, a, b, c, d, i, k, s)
#define R2(a, b, c, d, i, k, s) MD5_STEP(MD5_G, a, b, c, d, i, k, s)
#define R3(a, b, c, d, i, k, s) MD5_STEP(MD5_H, a, b, c, d, i, k, s)
#define R4(a, b, c, d, i, k, s) MD5_STEP(MD5_I, a, b, c, d, i, k, s)
#include "platform/Md5Rounds.inc"
#undef R1
#undef R2
#undef R3
#undef R4
#undef MD5_STEP
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

inline __m128i VectorF(__m128i b, __m128i c, __m128i d)
{
    return _mm_xor_si128(d, _mm_and_si128(b, _mm_xor_si128(c, d)));
}
inline __m128i VectorG(__m128i b, __m128i c, __m128i d)
{
    return _mm_xor_si128(c, _mm_and_si128(d, _mm_xor_si128(b, c)));
}
inline __m128i VectorH(__m128i b, __m128i c, __m128i d)
{
    return _mm_xor_si128(_mm_xor_si128(b, c), d);
}
inline __m128i VectorI(__m128i b, __m128i c, __m128i d)
{
    return _mm_xor_si128(c, _mm_or_si128(b, _mm_xor_si128(d, _mm_set1_epi32(-1))));
}

// One 64-byte block of each of four contents; state[w] holds word w of all four.
void Blocks4(__m128i state[4], const unsigned char* const blocks[4])
{
    __m128i x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = _mm_set_epi32(static_cast<int>(LoadWord(blocks[3] + 4 * i)), static_cast<int>(LoadWord(blocks[2] + 4 * i)),
                             static_cast<int>(LoadWord(blocks[1] + 4 * i)), static_cast<int>(LoadWord(blocks[0] + 4 * i)));
    }
    __m128i a = state[0], b = state[1], c = state[2], d = state[3];
#define MD5_STEP(f, a, b, c, d, i, k, s)                                                                               \
    do {                                                                                                               \
        const __m128i t =                                                                                              \
            _mm_add_epi32(_mm_add_epi32(a, f(b, c, d)), _mm_add_epi32(x[i], _mm_set1_epi32(static_cast<int>(k))));     \
        a = _mm_add_epi32(b, _mm_or_si128(_mm_slli_epi32(t, s), _mm_srli_epi32(t, 32 - (s))));                         \
    } while (0)
#define R1(a, b, c, d, i, k, s) MD5_STEP(VectorF, a, b, c, d, i, k, s)
#define R2(a, b, c, d, i, k, s) MD5_STEP(VectorG, a, b, c, d, i, k, s)
#define R3(a, b, c, d, i, k, s) MD5_STEP(VectorH, a, b, c, d, i, k, s)
#define R4(a, b, c, d, i, k, s) MD5_STEP(VectorI, a, b, c, d, i, k, s)
#include "platform/Md5Rounds.inc"
#undef R1
#undef R2
#undef R3
#undef R4
#undef MD5_STEP
    state[0] = _mm_add_epi32(state[0], a);
    state[1] = _mm_add_epi32(state[1], b);
    state[2] = _mm_add_epi32(state[2], c);
    state[3] = _mm_add_epi32(state[3], d);
}

} // namespace

CMd5Lanes::CMd5Lanes()
{
    for (int lane = 0; lane < kLanes; ++lane)
        Reset(lane);
}

void CMd5Lanes::Reset(int lane)
{
    Lane& state = m_lanes[lane];
    std::memcpy(state.state, kInitial, sizeof(kInitial));
    state.bytes = 0;
    state.tailBytes = 0;
}

void CMd5Lanes::Update(int lane, const void* data, size_t size)
{
    Lane& state = m_lanes[lane];
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    state.bytes += size;
    if (state.tailBytes != 0) {
        const size_t take = size < 64 - state.tailBytes ? size : 64 - state.tailBytes;
        std::memcpy(state.tail + state.tailBytes, bytes, take);
        state.tailBytes += take;
        bytes += take;
        size -= take;
        if (state.tailBytes < 64)
            return;
        Block(state.state, state.tail);
        state.tailBytes = 0;
    }
    for (; size >= 64; bytes += 64, size -= 64)
        Block(state.state, bytes);
    std::memcpy(state.tail, bytes, size);
    state.tailBytes = size;
}

void CMd5Lanes::UpdateTogether(const unsigned char* const data[kLanes], size_t size)
{
    // Only lanes at a block boundary go side by side; with fewer than two
    // of them, one block at a time is faster.
    int together = 0;
    for (int lane = 0; lane < kLanes; ++lane) {
        if (data[lane] != nullptr && m_lanes[lane].tailBytes == 0)
            ++together;
    }
    const size_t blocks = together >= 2 ? size / 64 : 0;
    if (blocks != 0) {
        // Idle lanes are fed a block of zeros and their results dropped.
        static const unsigned char kIdle[64] = {};
        __m128i state[4];
        for (int word = 0; word < 4; ++word) {
            uint32_t values[kLanes];
            for (int lane = 0; lane < kLanes; ++lane)
                values[lane] = m_lanes[lane].state[word];
            state[word] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
        }
        bool side[kLanes];
        const unsigned char* next[kLanes];
        for (int lane = 0; lane < kLanes; ++lane) {
            side[lane] = data[lane] != nullptr && m_lanes[lane].tailBytes == 0;
            next[lane] = side[lane] ? data[lane] : kIdle;
        }
        for (size_t block = 0; block < blocks; ++block) {
            Blocks4(state, next);
            for (int lane = 0; lane < kLanes; ++lane) {
                if (side[lane])
                    next[lane] += 64;
            }
        }
        for (int word = 0; word < 4; ++word) {
            uint32_t values[kLanes];
            _mm_storeu_si128(reinterpret_cast<__m128i*>(values), state[word]);
            for (int lane = 0; lane < kLanes; ++lane) {
                if (side[lane])
                    m_lanes[lane].state[word] = values[lane];
            }
        }
        for (int lane = 0; lane < kLanes; ++lane) {
            if (side[lane]) {
                m_lanes[lane].bytes += blocks * 64;
                Update(lane, data[lane] + blocks * 64, size - blocks * 64);
            } else if (data[lane] != nullptr) {
                Update(lane, data[lane], size);
            }
        }
        return;
    }
    for (int lane = 0; lane < kLanes; ++lane) {
        if (data[lane] != nullptr)
            Update(lane, data[lane], size);
    }
}

std::string CMd5Lanes::FinishHex(int lane)
{
    Lane& state = m_lanes[lane];
    // Padding: a one bit, zeros up to 56 bytes into a block, the length in bits.
    const uint64_t bits = state.bytes * 8;
    unsigned char padding[72] = {0x80};
    const size_t padBytes = (state.tailBytes < 56 ? 56 : 120) - state.tailBytes;
    for (int i = 0; i < 8; ++i)
        padding[padBytes + i] = static_cast<unsigned char>(bits >> (8 * i));
    Update(lane, padding, padBytes + 8);
    unsigned char digest[16];
    for (int word = 0; word < 4; ++word) {
        for (int i = 0; i < 4; ++i)
            digest[4 * word + i] = static_cast<unsigned char>(state.state[word] >> (8 * i));
    }
    Reset(lane);
    return BytesToHex(digest, sizeof(digest));
}
