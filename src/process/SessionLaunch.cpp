#include "process/SessionLaunch.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "process/ProcessWalk.h"
#include "win/Owners.h"

#include <wtsapi32.h>

#include <atomic>
#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <string>

std::atomic<CreateProcessAsUserFunction> g_createProcessAsUser{&::CreateProcessAsUserW};
std::atomic<DuplicateTokenExFunction> g_duplicateTokenEx{&::DuplicateTokenEx};
std::atomic<GetTokenInformationFunction> g_getTokenInformation{&::GetTokenInformation};

namespace {

constexpr DWORD kNoConsoleSession = 0xFFFFFFFF;
constexpr DWORD kUserSessionCreationFlags = CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD kElevatedCreationFlags = CREATE_PRESERVE_CODE_AUTHZ_LEVEL | CREATE_UNICODE_ENVIRONMENT;
// Every right on the shell's token except moving it to another session.
constexpr DWORD kShellTokenAccess = 0xF00FF;

BOOL CallCreateProcessAsUser(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine, DWORD creationFlags,
                             LPVOID environment, STARTUPINFOW* startup, PROCESS_INFORMATION* info)
{
    return g_createProcessAsUser.load()(token, applicationName, commandLine, nullptr, nullptr, FALSE, creationFlags,
                                        environment, nullptr, startup, info);
}

// The platform may write into a command line it is given, so it always gets a copy. False
// when the text does not fit.
bool CopyCommandLine(const wchar_t* text, wchar_t (&buffer)[kLaunchCommandLineChars])
{
    const size_t length = text == nullptr ? 0 : wcslen(text);
    if (length >= kLaunchCommandLineChars) return false;
    if (length > 0) wmemcpy(buffer, text, length);
    buffer[length] = L'\0';
    return true;
}

unsigned LengthOf(const wchar_t* text)
{
    return static_cast<unsigned>(text == nullptr ? 0 : wcslen(text));
}

// The console user's token taken from the user's shell, for when the session will not hand
// it out. Empty when the shell does not run in that session or its token cannot be opened.
win::UniqueToken ShellTokenOfSession(DWORD sessionId)
{
    win::UniqueToken token;
    DWORD shellId = 0;
    switch (WalkProcesses([&](const PROCESSENTRY32W& entry) {
        DWORD entrySession = kNoConsoleSession;
        if (_wcsicmp(entry.szExeFile, L"explorer.exe") == 0 &&
            ::ProcessIdToSessionId(entry.th32ProcessID, &entrySession) && entrySession == sessionId) {
            shellId = entry.th32ProcessID;
            return false;
        }
        return true;
    })) {
    case ProcessWalk::NoSnapshot:
        WriteLog(L"CreateProcessInElevatedSession::CreateToolhelp32Snapshot failed line=%d", __LINE__);
        return token;
    case ProcessWalk::NoFirstEntry:
        WriteLog(L"CreateProcessInElevatedSession::Process32First failed line=%d", __LINE__);
        return token;
    default:
        break;
    }
    if (shellId == 0) {
        WriteLog(L"CreateProcessInElevatedSession::Not find explorer failed line=%d", __LINE__);
        return token;
    }
    win::UniqueHandle shell(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, shellId));
    if (!shell) {
        WriteLog(L"CreateProcessInElevatedSession::OpenProcess failed line=%d", __LINE__);
        return token;
    }
    if (!::OpenProcessToken(shell.get(), kShellTokenAccess, token.put())) {
        WriteLog(L"CreateProcessInElevatedSession::OpenProcessToken failed line=%d", __LINE__);
    }
    return token;
}

// Orders names as the platform sorts an environment block: by code unit, letter case ignored.
struct VariableNameLess {
    bool operator()(const std::wstring& a, const std::wstring& b) const
    {
        return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                      TRUE) == CSTR_LESS_THAN;
    }
};
using Variables = std::map<std::wstring, std::wstring, VariableNameLess>; // name to its whole "name=value" entry

// A name's "=" is searched from the second character on: the platform keeps entries such as "=C:=C:\".
void ForEachEntry(const wchar_t* block, const std::function<void(const std::wstring&, const wchar_t*)>& visit)
{
    for (const wchar_t* entry = block; entry != nullptr && *entry != L'\0'; entry += wcslen(entry) + 1) {
        const wchar_t* equals = wcschr(entry + 1, L'=');
        if (equals != nullptr) visit(std::wstring(entry, equals), entry);
    }
}

} // namespace

std::vector<wchar_t> ElevatedEnvironmentBlock(const wchar_t* systemBlock, const wchar_t* userBlock)
{
    static const std::set<std::wstring, VariableNameLess> kUserFolders = {
        L"USERPROFILE", L"APPDATA", L"LOCALAPPDATA", L"TEMP", L"TMP", L"HOMEDRIVE", L"HOMEPATH", L"USERNAME"};
    Variables variables;
    ForEachEntry(systemBlock, [&](const std::wstring& name, const wchar_t* entry) { variables[name] = entry; });
    ForEachEntry(userBlock, [&](const std::wstring& name, const wchar_t* entry) {
        if (kUserFolders.count(name) != 0) variables[name] = entry;
    });
    std::vector<wchar_t> block;
    for (const auto& variable : variables) {
        block.insert(block.end(), variable.second.begin(), variable.second.end());
        block.push_back(L'\0');
    }
    // An empty block still ends with two terminators.
    if (block.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

BOOL CreateProcessInUserSession(const wchar_t* programPath, const wchar_t* arguments)
{
    if (programPath == nullptr) return FALSE;
    wchar_t commandLine[kLaunchCommandLineChars] = {};
    if (!CopyCommandLine(arguments, commandLine)) {
        WriteLog(L"CreateProcessInUserSession argument string of %u characters is too long, nothing started line=%d",
                 LengthOf(arguments), __LINE__);
        return FALSE;
    }

    const DWORD sessionId = ::WTSGetActiveConsoleSessionId();
    if (sessionId == kNoConsoleSession) {
        WriteLog(L"CreateProcessInUserSession::WTSGetActiveConsoleSessionId no session attached to the console line=%d",
                 __LINE__);
        return FALSE;
    }
    win::UniqueToken userToken;
    if (!::WTSQueryUserToken(sessionId, userToken.put())) {
        WriteLog(L"ProgressRunning::WTSQueryUserToken failed line=%d", __LINE__);
        return FALSE;
    }
    win::UniqueToken primaryToken;
    const DuplicateTokenExFunction duplicate = g_duplicateTokenEx.load();
    if (!duplicate(userToken.get(), 0, nullptr, SecurityImpersonation, TokenPrimary, primaryToken.put())) {
        WriteLog(L"ProgressRunning::DuplicateTokenEx failed line=%d", __LINE__);
        return FALSE;
    }
    // The user's own variables only: the service's must not leak into the user's programs.
    win::UniqueEnvironmentBlock environment;
    if (!::CreateEnvironmentBlock(environment.put(), primaryToken.get(), FALSE)) {
        WriteLog(L"ProgressRunning::CreateEnvironmentBlock failed line=%d", __LINE__);
        return FALSE;
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    wchar_t desktop[] = L"winsta0\\default";
    startup.lpDesktop = desktop;
    win::UniqueProcessInformation info;
    const BOOL launched = CallCreateProcessAsUser(
        primaryToken.get(), programPath[0] != L'\0' ? programPath : nullptr,
        commandLine[0] != L'\0' ? commandLine : nullptr, kUserSessionCreationFlags, environment.get(), &startup,
        info.put());
    if (!launched) {
        WriteLog(L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: %d", ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL CreateProcessInElevatedSession(const wchar_t* programPath, const wchar_t* commandLine, DWORD showWindow)
{
    // Without a program path the platform would look for a program named by the command line.
    if (programPath == nullptr || programPath[0] == L'\0') {
        WriteLog(L"CreateProcessInElevatedSession program path is missing, nothing started line=%d", __LINE__);
        return FALSE;
    }
    wchar_t writableCommandLine[kLaunchCommandLineChars] = {};
    if (!CopyCommandLine(commandLine, writableCommandLine)) {
        WriteLog(L"CreateProcessInElevatedSession command line of %u characters is too long, nothing started line=%d",
                 LengthOf(commandLine), __LINE__);
        return FALSE;
    }

    const DWORD sessionId = ::WTSGetActiveConsoleSessionId();
    if (sessionId == kNoConsoleSession) {
        WriteLog(L"CreateProcessInElevatedSession::WTSGetActiveConsoleSessionId failed line=%d", __LINE__);
        return FALSE;
    }
    win::UniqueToken sourceToken;
    if (!::WTSQueryUserToken(sessionId, sourceToken.put())) {
        sourceToken = ShellTokenOfSession(sessionId);
        if (!sourceToken) {
            WriteLog(L"CreateProcessInElevatedSession::Get Token  failed line=%d", __LINE__);
            return FALSE;
        }
    }

    win::UniqueToken launchToken;
    TOKEN_LINKED_TOKEN linked = {};
    DWORD returned = 0;
    if (g_getTokenInformation.load()(sourceToken.get(), TokenLinkedToken, &linked, sizeof linked, &returned) &&
        linked.LinkedToken != nullptr) {
        launchToken.reset(linked.LinkedToken);
        WriteLog(L"CreateProcessInElevatedSession LinkedToken from GetTokenInformation  line=%d", __LINE__);
    } else {
        // A standard user has no linked token: the program then runs with the user's own rights.
        if (!SetDebugPrivilege(sourceToken.get(), SE_PRIVILEGE_ENABLED)) {
            WriteLog(L"CreateProcessInElevatedSession AdjustTokenPrivileges  line=%d, lasterror=%d", __LINE__,
                     ::GetLastError());
        }
        const DuplicateTokenExFunction duplicate = g_duplicateTokenEx.load();
        if (!duplicate(sourceToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityIdentification, TokenPrimary,
                       launchToken.put())) {
            WriteLog(L"CreateProcessInElevatedSession DuplicateTokenEx  line=%d, lasterror=%d", __LINE__,
                     ::GetLastError());
            // Without a launch token the platform would start the program as the service
            // itself, in the service's session: that is no launch for the user.
            return FALSE;
        }
    }
    sourceToken.reset();

    // Departs from the user's variables merged with the service's: any unelevated program of the user may set
    // variables in the user's profile (PATH, profiler and loader variables) and so load its code into the elevated
    // program without a prompt. The system's variables and the user's folders only.
    win::UniqueEnvironmentBlock systemEnvironment;
    win::UniqueEnvironmentBlock userEnvironment;
    const BOOL haveEnvironment = ::CreateEnvironmentBlock(systemEnvironment.put(), nullptr, FALSE) &&
                                 ::CreateEnvironmentBlock(userEnvironment.put(), launchToken.get(), FALSE);
    std::vector<wchar_t> environment;
    if (haveEnvironment) {
        environment = ElevatedEnvironmentBlock(static_cast<const wchar_t*>(systemEnvironment.get()),
                                               static_cast<const wchar_t*>(userEnvironment.get()));
    }

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
    startup.wShowWindow = static_cast<WORD>(showWindow != 0 ? SW_SHOW : SW_HIDE);
    win::UniqueProcessInformation info;
    BOOL launched = FALSE;
    if (haveEnvironment) {
        launched = CallCreateProcessAsUser(launchToken.get(), programPath, writableCommandLine, kElevatedCreationFlags,
                                           environment.data(), &startup, info.put());
    }
    if (!haveEnvironment || !launched) {
        WriteLog(L"CreateProcessInElevatedSession CreateProcessAsUser  line=%d, lasterror=%d", __LINE__,
                 ::GetLastError());
        return FALSE;
    }
    return TRUE;
}

BOOL StartProcessElevated(const wchar_t* programPath, const wchar_t* commandLine, DWORD showWindow)
{
    // Only reported: a missing shell does not stop either way from trying.
    if (!ProgressIsRunning(L"explorer.exe")) {
        WriteLog(L"StartProcessElevated::ProgressIsRunning(explorer.exe)failed line=%d", __LINE__);
    }
    if (CreateProcessInElevatedSession(programPath, commandLine, showWindow)) return TRUE;
    WriteLog(L"StartProcessElevated::CreateProcessInElevatedSession failed line=%d", __LINE__);
    if (CreateProcessInUserSession(programPath, commandLine)) return TRUE;
    WriteLog(L"StartProcessElevated::CreateProcessInUserSession failed line=%d", __LINE__);
    return FALSE;
}
