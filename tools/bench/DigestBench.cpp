// Throughput of the validation library's digest on one PE file: the digest alone, the digest
// after the platform's signature check (what the service's loader pays), and a plain SHA-256
// of the whole file through the same CNG provider for comparison. Prints figures; asserts nothing.
//   digest_bench <file> [rounds]
#include "trust/FileSignature.h"
#include "trust/PeFileDigest.h"
#include "win/Owners.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

void Print(const wchar_t* format, ...)
{
    wchar_t text[512];
    va_list args;
    va_start(args, format);
    const int length = _vsnwprintf(text, 511, format, args);
    va_end(args);
    text[511] = L'\0';
    if (length < 0) return;
    char bytes[1024];
    const int count = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr);
    DWORD written = 0;
    if (count > 1) ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes, count - 1, &written, nullptr);
}

double Seconds(const std::function<bool()>& work, bool& ok)
{
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    ok = work();
    ::QueryPerformanceCounter(&end);
    return static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool PlainSha256(const wchar_t* path)
{
    win::UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    win::UniqueBcryptAlgorithm algorithm;
    win::UniqueBcryptHash hash;
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(::BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) {
        return false;
    }
    static unsigned char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        if (!BCRYPT_SUCCESS(::BCryptHashData(hash.get(), chunk, read, 0))) return false;
    }
    unsigned char digest[32];
    return BCRYPT_SUCCESS(::BCryptFinishHash(hash.get(), digest, sizeof(digest), 0));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        Print(L"usage: digest_bench <file> [rounds]\n");
        return 2;
    }
    const wchar_t* path = argv[1];
    const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &attributes)) {
        Print(L"cannot read %s\n", path);
        return 1;
    }
    const double mebibytes =
        (static_cast<double>(attributes.nFileSizeHigh) * 4294967296.0 + attributes.nFileSizeLow) / (1024.0 * 1024.0);
    Print(L"file: %s (%.1f MiB), %d rounds, best round shown\n", path, mebibytes, rounds);

    struct Measure {
        const wchar_t* name;
        std::function<bool()> work;
    };
    std::wstring digest;
    const Measure measures[] = {
        {L"ComputePeFileDigestUnverified", [&] { digest = ComputePeFileDigestUnverified(path); return !digest.empty(); }},
        {L"VerifyFileSignature", [&] { return VerifyFileSignature(path) != FALSE; }},
        {L"ComputePeFileDigest (check + digest)", [&] { return !ComputePeFileDigest(path).empty(); }},
        {L"plain SHA-256 of the whole file", [&] { return PlainSha256(path); }},
    };
    for (const Measure& measure : measures) {
        double best = 1e30;
        bool ok = true;
        for (int i = 0; i < rounds; ++i) {
            bool roundOk = false;
            const double seconds = Seconds(measure.work, roundOk);
            ok = ok && roundOk;
            if (seconds < best) best = seconds;
        }
        Print(L"%-40s %8.1f ms  %8.1f MiB/s%s\n", measure.name, best * 1000.0, mebibytes / best,
              ok ? L"" : L"  (FAILED)");
    }
    Print(L"digest: %s\n", digest.c_str());
    return 0;
}
