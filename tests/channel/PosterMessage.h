#pragma once
// The messages QXChannelPoster.exe posts: length word, kind, then a stamp
// (sequence, poster id, size) and bytes that follow from the stamp, so a
// reader can tell order, loss, duplication and torn copies apart.
#include "channel/ChannelLayout.h"

#include <cstdint>
#include <cstring>
#include <vector>

struct PosterStamp
{
    uint32_t sequence;
    uint32_t posterId;
    uint32_t size;
};
constexpr size_t kMinPosterMessage = kMessageHeaderBytes + sizeof(PosterStamp);

inline unsigned char PosterPatternByte(uint32_t posterId, uint32_t sequence, size_t offset)
{
    return static_cast<unsigned char>(sequence * 131u + posterId * 17u + offset * 7u);
}

inline std::vector<unsigned char> BuildPosterMessage(uint32_t posterId, uint32_t sequence, size_t size,
                                                     uint32_t kind)
{
    std::vector<unsigned char> message(size < kMinPosterMessage ? kMinPosterMessage : size);
    const PosterStamp stamp = {sequence, posterId, static_cast<uint32_t>(message.size())};
    const uint32_t length = stamp.size;
    std::memcpy(message.data(), &length, 4);
    std::memcpy(message.data() + 4, &kind, 4);
    std::memcpy(message.data() + kMessageHeaderBytes, &stamp, sizeof(stamp));
    for (size_t i = kMinPosterMessage; i < message.size(); ++i)
        message[i] = PosterPatternByte(posterId, sequence, i);
    return message;
}

// Reads the stamp of a copied message and checks every byte it covers; the
// message's length word must agree with the stamp and fit what was copied.
inline bool CheckPosterMessage(const unsigned char* bytes, size_t available, PosterStamp* stamp)
{
    if (available < kMinPosterMessage)
        return false;
    std::memcpy(stamp, bytes + kMessageHeaderBytes, sizeof(*stamp));
    uint32_t length = 0;
    std::memcpy(&length, bytes, 4);
    if (length != stamp->size || stamp->size < kMinPosterMessage || stamp->size > available)
        return false;
    for (size_t i = kMinPosterMessage; i < stamp->size; ++i) {
        if (bytes[i] != PosterPatternByte(stamp->posterId, stamp->sequence, i))
            return false;
    }
    return true;
}
