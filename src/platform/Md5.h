#pragma once
// MD5 digests through the system's hashing provider (bcrypt). The content may
// be fed in any number of pieces, so a reader can hash each block right after
// reading it.
#include <windows.h>
#include <bcrypt.h>

#include "platform/Handles.h"

#include <array>
#include <cstddef>
#include <string>

struct BCryptAlgorithmTraits
{
    using Type = BCRYPT_ALG_HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { BCryptCloseAlgorithmProvider(h, 0); }
};
using CBCryptAlgorithm = CUniqueHandle<BCryptAlgorithmTraits>;

struct BCryptHashTraits
{
    using Type = BCRYPT_HASH_HANDLE;
    static Type Empty() { return nullptr; }
    static bool IsValid(Type h) { return h != nullptr; }
    static void Close(Type h) { BCryptDestroyHash(h); }
};
using CBCryptHash = CUniqueHandle<BCryptHashTraits>;

class CMd5
{
public:
    using Digest = std::array<unsigned char, 16>;

    CMd5() = default;
    CMd5(const CMd5&) = delete;
    CMd5& operator=(const CMd5&) = delete;

    // Adds size bytes to the content. False when the provider refused; the
    // Windows code is then in lastError and the last-error value, and Finish
    // fails for this content too.
    bool Update(const void* data, size_t size);

    // The digest of everything added since the last Finish (of nothing, if
    // nothing was added). The object is then ready for new content, also
    // after a failure. False, with lastError, when hashing failed.
    bool Finish(Digest* digest);
    // The same as 32 lower-case hexadecimal digits; empty on failure.
    std::string FinishHex();

    DWORD lastError = 0;

private:
    bool Begin();
    bool Fail();

    CBCryptAlgorithm m_algorithm;
    CBCryptHash m_hash;
    bool m_failed = false;
};

// Two lower-case hexadecimal digits per byte.
std::string BytesToHex(const unsigned char* bytes, size_t size);
