// The service's stand-in: trust_probe <executable> validates <executable> as the service does, with the
// validation library beside the probe, and prints "<code> <path of the loaded library, or none>".
#include "trust/OsmiraAssemblyHelper.h"

#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return 2;
    const LONG code = COsmiraAssemblyHelper(argv[1]).Code();
    wchar_t path[MAX_PATH] = L"none";
    if (HMODULE module = ::GetModuleHandleW(kValidationLibraryFileName)) ::GetModuleFileNameW(module, path, MAX_PATH);
    const std::wstring line = std::to_wstring(code) + L" " + path + L"\n";
    const std::string output(line.begin(), line.end()); // the tests' paths are ASCII
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
    return 0;
}
