// Throughput of the validation library's digest on one PE file: the digest alone, the digest
// after the platform's signature check (what the service's loader pays), and a plain SHA-256
// of the whole file through the same CNG provider for comparison (best of `rounds`, details).
// With --round it makes one untimed and one timed digest and prints "ROUND<tab>milliseconds":
// scripts/bench alternates such rounds with its reference (sha256sum on the host) and makes
// the figure row of both. Prints figures; asserts nothing.
//   digest_bench <file> [rounds]      digest_bench <file> --round
#include "BenchFigures.h"
#include "support/TestSupport.h"
#include "trust/FileSignature.h"
#include "trust/PeFileDigest.h"
#include "trust/Sha256.h"

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <string>

using testsupport::Now;

namespace {

bool PlainSha256(const wchar_t* path)
{
    win::UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return false;
    Sha256 hash;
    static unsigned char chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        if (!hash.Add(chunk, read)) return false;
    }
    return !hash.Finish().empty();
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        ConsolePrint(L"usage: digest_bench <file> [rounds | --round]\n");
        return 2;
    }
    const wchar_t* path = argv[1];
    if (argc > 2 && wcscmp(argv[2], L"--round") == 0) {
        const bool warm = !ComputePeFileDigestUnverified(path).empty();
        const double start = Now();
        const bool ok = warm && !ComputePeFileDigestUnverified(path).empty();
        const double seconds = Now() - start;
        if (!ok) return 1;
        ConsolePrint(L"ROUND\t%.3f\n", seconds * 1000);
        return 0;
    }
    const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!::GetFileAttributesExW(path, GetFileExInfoStandard, &attributes)) {
        ConsolePrint(L"cannot read %s\n", path);
        return 1;
    }
    const double mebibytes =
        (static_cast<double>(attributes.nFileSizeHigh) * 4294967296.0 + attributes.nFileSizeLow) / (1024.0 * 1024.0);
    ConsolePrint(L"file: %s (%.1f MiB), %d rounds, best round shown\n", path, mebibytes, rounds);

    struct Measure {
        const wchar_t* name;
        std::function<bool()> work;
    };
    std::wstring digest;
    const Measure measures[] = {
        {L"ComputePeFileDigestUnverified",
         [&] {
             digest = ComputePeFileDigestUnverified(path);
             return !digest.empty();
         }},
        {L"VerifyFileSignature", [&] { return VerifyFileSignature(path) != FALSE; }},
        {L"ComputePeFileDigest (check + digest)", [&] { return !ComputePeFileDigest(path).empty(); }},
        {L"plain SHA-256 of the whole file", [&] { return PlainSha256(path); }},
    };
    for (const Measure& measure : measures) {
        double best = 1e30;
        bool ok = true;
        for (int i = 0; i < rounds; ++i) {
            const double start = Now();
            ok = measure.work() && ok;
            best = std::min(best, Now() - start);
        }
        ConsolePrint(L"%-40s %8.1f ms  %8.1f MiB/s%s\n", measure.name, best * 1000.0, mebibytes / best,
                     ok ? L"" : L"  (FAILED)");
    }
    ConsolePrint(L"digest: %s\n", digest.c_str());
    return 0;
}
