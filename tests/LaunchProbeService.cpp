// A service on the framework that launches programs through the service's launch ways when a
// test asks (LaunchProbe.h), and records what reached the platform's process creation call.
#include "LaunchProbe.h"

#include "TestHooks.h"
#include "log/UtilityLog.h"
#include "process/SessionLaunch.h"
#include "service/ServiceBase.h"
#include "win/Owners.h"

#include <cwchar>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

struct SeenCall {
    bool tokenIsNull = true;
    std::optional<std::wstring> applicationName;
    std::optional<std::wstring> commandLine;
    bool processAttributesIsNull = true;
    bool threadAttributesIsNull = true;
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool environmentIsNull = true;
    bool environmentHasUserName = false;
    bool environmentHasServiceMark = false;
    bool currentDirectoryIsNull = true;
    DWORD startupSize = 0;
    DWORD startupFlags = 0;
    DWORD showWindow = 0;
    std::optional<std::wstring> desktop;
    DWORD childProcessId = 0;
};

std::mutex g_callsLock;
std::vector<SeenCall> g_calls;
DWORD g_callCount = 0;
// Requests come one at a time; the observer reads the mode of the current one.
DWORD g_mode = launchprobe::kRealCall;

bool EnvironmentHasVariable(const void* environment, const wchar_t* prefix)
{
    // A Unicode block: NUL-terminated "name=value" strings, ended by an empty one.
    const size_t length = wcslen(prefix);
    for (const wchar_t* entry = static_cast<const wchar_t*>(environment); *entry != L'\0';
         entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, prefix, length) == 0) return true;
    }
    return false;
}

BOOL WINAPI ObserveCreateProcessAsUser(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                                       LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                                       BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                                       LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                       LPPROCESS_INFORMATION processInformation)
{
    SeenCall call;
    call.tokenIsNull = token == nullptr;
    if (applicationName != nullptr) call.applicationName = applicationName;
    if (commandLine != nullptr) call.commandLine = commandLine;
    call.processAttributesIsNull = processAttributes == nullptr;
    call.threadAttributesIsNull = threadAttributes == nullptr;
    call.inheritHandles = inheritHandles;
    call.creationFlags = creationFlags;
    call.environmentIsNull = environment == nullptr;
    call.environmentHasUserName = environment != nullptr && EnvironmentHasVariable(environment, L"USERNAME=");
    call.environmentHasServiceMark =
        environment != nullptr && EnvironmentHasVariable(environment, launchprobe::kServiceMarkAssignment);
    call.currentDirectoryIsNull = currentDirectory == nullptr;
    call.startupSize = startupInfo->cb;
    call.startupFlags = startupInfo->dwFlags;
    call.showWindow = startupInfo->wShowWindow;
    if (startupInfo->lpDesktop != nullptr) call.desktop = startupInfo->lpDesktop;

    BOOL result = FALSE;
    switch (g_mode) {
    case launchprobe::kFakeSuccess: {
        // Real handles, so that the caller's closing of them is what the handle count sees.
        const HANDLE self = ::GetCurrentProcess();
        ::DuplicateHandle(self, self, self, &processInformation->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
        ::DuplicateHandle(self, ::GetCurrentThread(), self, &processInformation->hThread, 0, FALSE,
                          DUPLICATE_SAME_ACCESS);
        processInformation->dwProcessId = 0;
        processInformation->dwThreadId = 0;
        result = TRUE;
        break;
    }
    case launchprobe::kFakeFailure:
        ::SetLastError(ERROR_ACCESS_DENIED);
        result = FALSE;
        break;
    default:
        result = ::CreateProcessAsUserW(token, applicationName, commandLine, processAttributes, threadAttributes,
                                        inheritHandles, creationFlags, environment, currentDirectory, startupInfo,
                                        processInformation);
        if (result) call.childProcessId = processInformation->dwProcessId;
        break;
    }
    const DWORD error = ::GetLastError();
    {
        std::lock_guard<std::mutex> lock(g_callsLock);
        ++g_callCount;
        if (g_calls.size() < launchprobe::kRecordedCalls) g_calls.push_back(call);
    }
    ::SetLastError(error);
    return result;
}

DWORD ReadDword(HKEY key, const wchar_t* name, DWORD fallback)
{
    DWORD value = 0, size = sizeof value, type = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

std::optional<std::wstring> ReadString(HKEY key, const wchar_t* name)
{
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&text[0]), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

void WriteDword(HKEY key, const wchar_t* name, DWORD value)
{
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void WriteString(HKEY key, const wchar_t* name, const std::optional<std::wstring>& text)
{
    if (!text) return;
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text->c_str()),
                     static_cast<DWORD>((text->size() + 1) * sizeof(wchar_t)));
}

DWORD WINAPI CarryOutRequest(LPVOID)
{
    win::UniqueRegKey request;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, launchprobe::kRequestKey, 0, KEY_READ, request.put()) != ERROR_SUCCESS) {
        return 1;
    }
    const DWORD way = ReadDword(request.get(), launchprobe::kWay, launchprobe::kUserSession);
    const std::optional<std::wstring> program = ReadString(request.get(), launchprobe::kProgram);
    const std::optional<std::wstring> arguments = ReadString(request.get(), launchprobe::kArguments);
    const DWORD show = ReadDword(request.get(), launchprobe::kShow, 0);
    const DWORD repeat = ReadDword(request.get(), launchprobe::kRepeat, 1);
    const DWORD sequence = ReadDword(request.get(), launchprobe::kSequence, 0);
    if (const std::optional<std::wstring> logFolder = ReadString(request.get(), launchprobe::kLogFolder)) {
        CUtilityLog::InitLogFilePathAt(*logFolder);
    }
    const DWORD mode = ReadDword(request.get(), launchprobe::kMode, launchprobe::kRealCall);
    request.reset();
    {
        std::lock_guard<std::mutex> lock(g_callsLock);
        g_calls.clear();
        g_callCount = 0;
        g_mode = mode;
    }

    const wchar_t* programPath = program ? program->c_str() : nullptr;
    const wchar_t* argumentText = arguments ? arguments->c_str() : nullptr;
    auto launch = [&] {
        switch (way) {
        case launchprobe::kElevatedSession:
            return CreateProcessInElevatedSession(programPath, argumentText, show);
        case launchprobe::kStartElevated:
            return StartProcessElevated(programPath, argumentText, show);
        default:
            return CreateProcessInUserSession(programPath, argumentText);
        }
    };

    DWORD launched = 0;
    BOOL lastResult = FALSE;
    DWORD handlesBefore = 0;
    // Many launches: a few first, so that what the platform loads and keeps on first use (DLLs,
    // cached keys) is in place before the count; then the repeated ones between two counts.
    const bool counting = repeat > 1;
    if (counting) {
        for (unsigned i = 0; i < launchprobe::kWarmUpLaunches; ++i) launch();
        handlesBefore = launchprobe::CountOpenHandles();
    }
    const ULONGLONG started = ::GetTickCount64();
    for (DWORD i = 0; i < repeat; ++i) {
        lastResult = launch();
        if (lastResult) ++launched;
    }
    const DWORD milliseconds = static_cast<DWORD>(::GetTickCount64() - started);
    const DWORD handlesAfter = counting ? launchprobe::CountOpenHandles() : 0;

    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, launchprobe::kResultKey);
    win::UniqueRegKey result;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, launchprobe::kResultKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                          result.put(), nullptr) != ERROR_SUCCESS) {
        return 1;
    }
    std::vector<SeenCall> calls;
    DWORD callCount = 0;
    {
        std::lock_guard<std::mutex> lock(g_callsLock);
        calls = g_calls;
        callCount = g_callCount;
    }
    for (size_t i = 0; i < calls.size(); ++i) {
        const SeenCall& call = calls[i];
        wchar_t name[16] = {};
        _snwprintf(name, 15, L"Call%u", static_cast<unsigned>(i));
        win::UniqueRegKey callKey;
        ::RegCreateKeyExW(result.get(), name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, callKey.put(), nullptr);
        WriteDword(callKey.get(), L"TokenIsNull", call.tokenIsNull);
        WriteDword(callKey.get(), L"ApplicationNameIsNull", !call.applicationName);
        WriteString(callKey.get(), L"ApplicationName", call.applicationName);
        WriteDword(callKey.get(), L"CommandLineIsNull", !call.commandLine);
        WriteString(callKey.get(), L"CommandLine", call.commandLine);
        WriteDword(callKey.get(), L"ProcessAttributesIsNull", call.processAttributesIsNull);
        WriteDword(callKey.get(), L"ThreadAttributesIsNull", call.threadAttributesIsNull);
        WriteDword(callKey.get(), L"InheritHandles", static_cast<DWORD>(call.inheritHandles));
        WriteDword(callKey.get(), L"CreationFlags", call.creationFlags);
        WriteDword(callKey.get(), L"EnvironmentIsNull", call.environmentIsNull);
        WriteDword(callKey.get(), L"EnvironmentHasUserName", call.environmentHasUserName);
        WriteDword(callKey.get(), L"EnvironmentHasServiceMark", call.environmentHasServiceMark);
        WriteDword(callKey.get(), L"CurrentDirectoryIsNull", call.currentDirectoryIsNull);
        WriteDword(callKey.get(), L"StartupSize", call.startupSize);
        WriteDword(callKey.get(), L"StartupFlags", call.startupFlags);
        WriteDword(callKey.get(), L"ShowWindow", call.showWindow);
        WriteDword(callKey.get(), L"DesktopIsNull", !call.desktop);
        WriteString(callKey.get(), L"Desktop", call.desktop);
        WriteDword(callKey.get(), L"ChildProcessId", call.childProcessId);
    }
    WriteDword(result.get(), L"Launched", launched);
    WriteDword(result.get(), L"LastResult", static_cast<DWORD>(lastResult));
    WriteDword(result.get(), L"Calls", callCount);
    WriteDword(result.get(), L"HandlesBefore", handlesBefore);
    WriteDword(result.get(), L"HandlesAfter", handlesAfter);
    WriteDword(result.get(), L"Milliseconds", milliseconds);
    WriteDword(result.get(), launchprobe::kSequence, sequence);
    return 0;
}

class CLaunchProbeService : public CServiceBase {
public:
    CLaunchProbeService() : CServiceBase(launchprobe::kServiceName) {}

protected:
    void OnStart(DWORD, LPWSTR*) override
    {
        // A variable only this service's own environment has: an environment block that
        // carries it was merged with the service's variables.
        ::SetEnvironmentVariableW(launchprobe::kServiceMarkName, launchprobe::kServiceMarkValue);
        SetCreateProcessAsUserForTesting(&ObserveCreateProcessAsUser);
    }

    DWORD OnServiceControlHandle(DWORD control, DWORD, LPVOID, LPVOID) override
    {
        // Off the control thread: a thousand launches outlast the manager's patience.
        if (control == launchprobe::kProbeControl) {
            win::UniqueHandle worker(::CreateThread(nullptr, 0, &CarryOutRequest, nullptr, 0, nullptr));
        }
        return NO_ERROR;
    }
};

} // namespace

int wmain()
{
    CLaunchProbeService service;
    CServiceBase::Run(service);
    return 0;
}
