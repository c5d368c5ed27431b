// SHA-256 through the platform's CNG provider: the one set-up that the file digest and the tools share.
#pragma once

#include "win/Owners.h"

#include <cstddef>
#include <string>

class Sha256 {
public:
    Sha256();
    // False once a step failed; the hash then stays failed.
    bool Add(const void* bytes, size_t length);
    // 64 upper-case hexadecimal characters, or an empty text when a step failed.
    std::wstring Finish();

private:
    win::UniqueBcryptAlgorithm m_algorithm;
    win::UniqueBcryptHash m_hash;
    bool m_good = false;
};
