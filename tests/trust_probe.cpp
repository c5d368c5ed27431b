// The service's stand-in: trust_probe <executable> <elsewhere> <from> <to> makes <elsewhere> its current
// directory and the head of PATH, validates <executable> and, given <from>, copies it to <to> and validates
// again. Per validation it prints "<code> <path of the loaded module with the library's name, or none>"; then
// "planted" when the impostor recorded a load. (Concurrent first loads are the library hold's test.)
#include "trust/OsmiraAssemblyHelper.h"

#include <cstdlib>
#include <string>

static std::string Validate(const wchar_t* executable)
{
    const LONG code = COsmiraAssemblyHelper(executable).Code();
    wchar_t path[MAX_PATH] = L"none";
    if (HMODULE module = ::GetModuleHandleW(kValidationLibraryFileName)) ::GetModuleFileNameW(module, path, MAX_PATH);
    const std::wstring line = std::to_wstring(code) + L" " + path + L"\n";
    return std::string(line.begin(), line.end()); // the tests' paths are ASCII
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5) return 2;
    const std::wstring elsewhere = argv[2];
    const std::wstring marker = elsewhere + L"\\planted-loads.txt";
    ::SetEnvironmentVariableW(L"PATH", (elsewhere + L";" + _wgetenv(L"PATH")).c_str());
    ::SetEnvironmentVariableW(L"FN_PLANTED_LOAD_MARKER", marker.c_str());
    ::SetCurrentDirectoryW(elsewhere.c_str());
    ::DeleteFileW(marker.c_str());

    std::string output = Validate(argv[1]);
    if (argv[3][0] != L'\0') output += ::CopyFileW(argv[3], argv[4], FALSE) ? Validate(argv[1]) : "copy failed\n";
    if (::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) output += "planted\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
    return 0;
}
