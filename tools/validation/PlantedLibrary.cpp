// A library with the validation library's name and exports that accepts everything and
// records every load into the file named by FN_PLANTED_LOAD_MARKER. Tests plant it where a
// careless loader would find it (the current directory, the search path, or in place of the
// approved library) and check that the record never appears.
#include <windows.h>

namespace {

void RecordLoad(HMODULE self)
{
    wchar_t marker[MAX_PATH];
    const DWORD length = ::GetEnvironmentVariableW(L"FN_PLANTED_LOAD_MARKER", marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    wchar_t modulePath[MAX_PATH];
    const DWORD pathLength = ::GetModuleFileNameW(self, modulePath, MAX_PATH);
    HANDLE file = ::CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    ::WriteFile(file, modulePath, pathLength * sizeof(wchar_t), &written, nullptr);
    ::WriteFile(file, L"\r\n", 2 * sizeof(wchar_t), &written, nullptr);
    ::CloseHandle(file);
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) RecordLoad(instance);
    return TRUE;
}

extern "C" __declspec(dllexport) LONG WINAPI ValidateAssembly(LPCWSTR) { return 0; }
extern "C" __declspec(dllexport) LONG WINAPI ValidateCertFile(LPCWSTR) { return 0; }
extern "C" __declspec(dllexport) BOOL WINAPI IsCatalogSigned(LPCWSTR) { return TRUE; }
