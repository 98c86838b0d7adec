#include "platform/Md5.h"

#include "platform/NativeFile.h"

#include <algorithm>

bool CMd5::Begin()
{
    if (m_hash)
        return true;
    if (!m_algorithm) {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        const NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_MD5_ALGORITHM, nullptr, 0);
        if (status != 0) {
            SetLastErrorFromStatus(status);
            return false;
        }
        m_algorithm.Reset(algorithm);
    }
    // No object buffer: the provider allocates the hash state itself.
    BCRYPT_HASH_HANDLE hash = nullptr;
    const NTSTATUS status = BCryptCreateHash(m_algorithm.Get(), &hash, nullptr, 0, nullptr, 0, 0);
    if (status != 0) {
        SetLastErrorFromStatus(status);
        return false;
    }
    m_hash.Reset(hash);
    return true;
}

bool CMd5::Fail()
{
    lastError = GetLastError();
    m_failed = true;
    m_hash.Close();
    return false;
}

bool CMd5::Update(const void* data, size_t size)
{
    if (m_failed) {
        SetLastError(lastError);
        return false;
    }
    if (!Begin())
        return Fail();
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    // The provider takes 32-bit lengths.
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 0x40000000));
        const NTSTATUS status = BCryptHashData(m_hash.Get(), const_cast<PUCHAR>(bytes), piece, 0);
        if (status != 0) {
            SetLastErrorFromStatus(status);
            return Fail();
        }
        bytes += piece;
        size -= piece;
    }
    return true;
}

bool CMd5::Finish(Digest* digest)
{
    if (m_failed) {
        m_failed = false;
        SetLastError(lastError);
        return false;
    }
    if (!Begin()) {
        lastError = GetLastError();
        return false;
    }
    const NTSTATUS status = BCryptFinishHash(m_hash.Get(), digest->data(), static_cast<ULONG>(digest->size()), 0);
    // A finished hash object cannot take more data: the next content gets a new one.
    m_hash.Close();
    if (status != 0) {
        SetLastErrorFromStatus(status);
        lastError = GetLastError();
        return false;
    }
    lastError = 0;
    return true;
}

std::string CMd5::FinishHex()
{
    Digest digest{};
    if (!Finish(&digest))
        return std::string();
    return BytesToHex(digest.data(), digest.size());
}

std::string BytesToHex(const unsigned char* bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}
