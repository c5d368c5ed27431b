// A stand-in for one of the package's companion programs: it records how it was started and
// then stays alive until it is terminated, as the real companions do. Built once per
// companion name; the OSD companion's stand-in ends after carrying out an action switch.
#include "StandInRecord.h"

#include <windows.h>

#include <cwchar>
#include <string>

#ifndef FN_STANDIN_ENDS_AFTER_SWITCH
#define FN_STANDIN_ENDS_AFTER_SWITCH 0
#endif

namespace {

std::wstring Decimal(unsigned long long value)
{
    wchar_t text[32] = {};
    _snwprintf(text, 31, L"%llu", value);
    return text;
}

void AddField(std::wstring& record, const wchar_t* key, const std::wstring& value)
{
    record += key;
    record += L'=';
    record += value;
    record += L"\r\n";
}

// The arguments after the program's own name: a quoted first token ends at its closing
// quote, a bare one at the first blank; a command line that starts with a blank has no
// program name at all (the service hands over the switch alone).
const wchar_t* ArgumentsOf(const wchar_t* commandLine)
{
    const wchar_t* p = commandLine;
    if (*p == L'"') {
        const wchar_t* close = wcschr(p + 1, L'"');
        return close != nullptr ? close + 1 : p + wcslen(p);
    }
    while (*p != L'\0' && *p != L' ' && *p != L'\t') ++p;
    return p;
}

bool HasActionSwitch(const wchar_t* commandLine)
{
    for (const wchar_t* p = ArgumentsOf(commandLine); *p != L'\0'; ++p) {
        if ((*p == L' ' || *p == L'\t') && p[1] == L'-') return true;
    }
    return false;
}

std::wstring LoaderVariables()
{
    std::wstring found;
    const wchar_t* block = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, L"PATH=", 5) == 0 || _wcsnicmp(entry, L"COR_", 4) == 0 ||
            _wcsnicmp(entry, L"CORECLR_", 8) == 0) {
            found += entry;
            found += L'|';
        }
    }
    if (block != nullptr) ::FreeEnvironmentStringsW(const_cast<wchar_t*>(block));
    return found;
}

void WriteRecord(const std::wstring& folder, const std::wstring& name, const std::wstring& record)
{
    const std::wstring records = folder + L"\\" + standin::kRecordFolder;
    ::CreateDirectoryW(records.c_str(), nullptr);
    const std::wstring final = records + L"\\" + name + L"." + Decimal(::GetCurrentProcessId()) +
                               standin::kRecordExtension;
    const std::wstring partial = final + L".partial";
    HANDLE file = ::CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const unsigned char bom[2] = {0xFF, 0xFE};
    DWORD written = 0;
    ::WriteFile(file, bom, sizeof bom, &written, nullptr);
    ::WriteFile(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)), &written, nullptr);
    ::CloseHandle(file);
    ::MoveFileExW(partial.c_str(), final.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const wchar_t* commandLine = ::GetCommandLineW();

    wchar_t image[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, image, MAX_PATH);
    const std::wstring imagePath = image;
    const size_t slash = imagePath.find_last_of(L'\\');
    const std::wstring folder = imagePath.substr(0, slash);
    const std::wstring name = imagePath.substr(slash + 1);

    DWORD sessionId = 0xFFFFFFFF;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId);
    FILETIME creation = {}, exit = {}, kernel = {}, user = {};
    ::GetProcessTimes(::GetCurrentProcess(), &creation, &exit, &kernel, &user);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    ::GetStartupInfoW(&startup);
    const bool actionSwitch = HasActionSwitch(commandLine);

    std::wstring record;
    AddField(record, standin::kProcessId, Decimal(::GetCurrentProcessId()));
    AddField(record, standin::kImage, imagePath);
    AddField(record, standin::kCommandLine, commandLine);
    AddField(record, standin::kSessionId, Decimal(sessionId));
    AddField(record, standin::kStartTime,
             Decimal((static_cast<unsigned long long>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime));
    AddField(record, standin::kStartupFlags, Decimal(startup.dwFlags));
    AddField(record, standin::kShowWindow, Decimal(startup.wShowWindow));
    AddField(record, standin::kActionSwitch, actionSwitch ? L"1" : L"0");
    AddField(record, standin::kLoaderVariables, LoaderVariables());
    WriteRecord(folder, name, record);

    if (FN_STANDIN_ENDS_AFTER_SWITCH && actionSwitch) return static_cast<int>(standin::kExitAfterSwitch);
    // A companion that never stays up, when a test asks for one without rebuilding.
    const std::wstring endsAtOnce = folder + L"\\" + name + standin::kEndsAtOnceSuffix;
    if (::GetFileAttributesW(endsAtOnce.c_str()) != INVALID_FILE_ATTRIBUTES)
        return static_cast<int>(standin::kExitAtOnce);
    ::Sleep(INFINITE);
    return 0;
}
