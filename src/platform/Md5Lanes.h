#pragma once
// MD5 computed in this process for four contents side by side. One SSE2
// instruction does the same step of the block function for all four, so four
// files are hashed in about the time a single-stream implementation (such as
// the system's provider) takes for two and a half; a content fed alone is
// hashed one block at a time, at about the provider's speed. Each lane is an
// independent digest that may be fed in any number of pieces.
#include <cstddef>
#include <cstdint>
#include <string>

class CMd5Lanes
{
public:
    static constexpr int kLanes = 4;

    CMd5Lanes();

    // Starts a new content in lane.
    void Reset(int lane);
    // Adds size bytes to lane's content.
    void Update(int lane, const void* data, size_t size);
    // Adds size bytes to each lane whose data is not null, side by side.
    void UpdateTogether(const unsigned char* const data[kLanes], size_t size);
    // The digest of lane's content as 32 lower-case hexadecimal digits; the
    // lane then starts a new content.
    std::string FinishHex(int lane);

private:
    struct Lane
    {
        uint32_t state[4];
        uint64_t bytes;          // fed so far
        unsigned char tail[64];  // bytes of an incomplete block
        size_t tailBytes;
    };

    Lane m_lanes[kLanes];
};
