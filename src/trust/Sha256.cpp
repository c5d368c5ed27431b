#include "trust/Sha256.h"

#include "trust/PeFileDigest.h"

#include <algorithm>

Sha256::Sha256()
{
    // The provider keeps the hash object itself (null buffer), as it does from Windows 7 on.
    m_good = BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(m_algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
             BCRYPT_SUCCESS(::BCryptCreateHash(m_algorithm.get(), m_hash.put(), nullptr, 0, nullptr, 0, 0));
}

bool Sha256::Add(const void* bytes, size_t length)
{
    const auto* next = static_cast<const unsigned char*>(bytes);
    // The platform takes 32-bit lengths.
    while (m_good && length > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(length, 1u << 30));
        m_good = BCRYPT_SUCCESS(::BCryptHashData(m_hash.get(), const_cast<PUCHAR>(next), piece, 0));
        next += piece;
        length -= piece;
    }
    return m_good;
}

std::wstring Sha256::Finish()
{
    unsigned char digest[32];
    if (!m_good || !BCRYPT_SUCCESS(::BCryptFinishHash(m_hash.get(), digest, sizeof(digest), 0))) return std::wstring();
    m_good = false;
    return pedigest::HexUpper(digest, sizeof(digest));
}
