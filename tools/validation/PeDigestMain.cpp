// Prints a PE file's digest as the service computes it. The build pins the shipped validation
// library with it; "--verified" asks for the signature first, as the service's loader does.
// Exit code 0 with the digest on standard output, 1 when there is none, 2 on wrong usage.
#include "trust/PeFileDigest.h"

#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    bool verified = false;
    const wchar_t* path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--verified") == 0) {
            verified = true;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            return 2;
        }
    }
    if (path == nullptr) return 2;
    const std::wstring digest = verified ? ComputePeFileDigest(path) : ComputePeFileDigestUnverified(path);
    if (digest.empty()) return 1;
    // The digest is ASCII: write it as bytes so that any pipe reads it unchanged.
    std::string text(digest.begin(), digest.end());
    text += "\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return 0;
}
