// A stand-in for the service as the trust tests need it: a signed program that the tests copy
// into a folder of their own, beside (or without) a validation library, and that validates
// executables through the process's binding exactly as the service's launchers do.
//
//   trust_probe validate <result file> <executable> [<go file>]
//       validates; with a go file, waits for it and validates again. Each validation appends
//       "<code> <loaded library path or none>" as one line of UTF-8 to the result file.
//   trust_probe validate-threads <result file> <executable> <count>
//       validates from <count> threads released at once, one line per thread.
//   trust_probe open-write|open-read|delete <path>
//       exit code 0 when the file could be opened for writing / reading or deleted, else the error.
//   trust_probe load <dll>
//       exit code 0 when LoadLibraryW loaded it.
#include "trust/OsmiraAssemblyHelper.h"
#include "trust/ValidationLibrary.h"

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text)
{
    if (text.empty()) return std::string();
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                             nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], length, nullptr,
                          nullptr);
    return bytes;
}

bool AppendLine(const wchar_t* path, const std::wstring& line)
{
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const std::string bytes = Utf8(line + L"\n");
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == bytes.size();
}

std::wstring ValidateOnce(const wchar_t* executable)
{
    LONG code = 0;
    {
        COsmiraAssemblyHelper helper(executable);
        code = helper.Code();
    }
    std::wstring library = L"none";
    OsmiraAssemblyValidation* binding = GetValidationLibrary();
    if (binding != nullptr && binding->module != nullptr) {
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(binding->module, path, MAX_PATH);
        library = path;
    }
    return std::to_wstring(code) + L" " + library;
}

int Validate(int argc, wchar_t** argv)
{
    if (argc < 4) return 2;
    if (!AppendLine(argv[2], ValidateOnce(argv[3]))) return 3;
    if (argc < 5) return 0;
    // The test puts the library in place, then names the go file; a minute is far beyond any wait.
    for (int i = 0; i < 3000 && ::GetFileAttributesW(argv[4]) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(20);
    if (::GetFileAttributesW(argv[4]) == INVALID_FILE_ATTRIBUTES) return 4;
    return AppendLine(argv[2], ValidateOnce(argv[3])) ? 0 : 3;
}

struct ThreadValidation {
    HANDLE start = nullptr;
    const wchar_t* executable = nullptr;
    std::wstring line;
};

DWORD WINAPI ValidateOnThread(LPVOID parameter)
{
    auto* work = static_cast<ThreadValidation*>(parameter);
    ::WaitForSingleObject(work->start, INFINITE);
    work->line = ValidateOnce(work->executable);
    return 0;
}

int ValidateThreads(int argc, wchar_t** argv)
{
    if (argc < 5) return 2;
    const int count = _wtoi(argv[4]);
    if (count < 1 || count > 64) return 2;
    HANDLE start = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (start == nullptr) return 3;
    std::vector<ThreadValidation> work(static_cast<size_t>(count));
    std::vector<HANDLE> threads;
    for (auto& item : work) {
        item.start = start;
        item.executable = argv[3];
        HANDLE thread = ::CreateThread(nullptr, 0, ValidateOnThread, &item, 0, nullptr);
        if (thread != nullptr) threads.push_back(thread);
    }
    ::SetEvent(start);
    ::WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, 60000);
    for (HANDLE thread : threads) ::CloseHandle(thread);
    ::CloseHandle(start);
    if (threads.size() != work.size()) return 3;
    for (const auto& item : work) {
        if (!AppendLine(argv[2], item.line)) return 3;
    }
    return 0;
}

int OpenResult(const wchar_t* path, DWORD access, DWORD share)
{
    HANDLE file = ::CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return static_cast<int>(::GetLastError());
    ::CloseHandle(file);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) return 2;
    const std::wstring command = argv[1];
    if (command == L"validate") return Validate(argc, argv);
    if (command == L"validate-threads") return ValidateThreads(argc, argv);
    if (command == L"open-write") return OpenResult(argv[2], GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (command == L"open-read") return OpenResult(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (command == L"delete") return ::DeleteFileW(argv[2]) ? 0 : static_cast<int>(::GetLastError());
    if (command == L"load") return ::LoadLibraryW(argv[2]) != nullptr ? 0 : static_cast<int>(::GetLastError());
    return 2;
}
