// The launch ways with an observer in front of CreateProcessAsUserW: what reached the platform and whether a
// companion stand-in was started. The test's own token and environment play the service's.
#include "process/SessionLaunch.h"
#include "support/Seams.h"
#include "support/StandIns.h"

using namespace testsupport;

namespace {

enum Way { kUser, kElevated, kStartElevated };
enum Mode { kReal, kFakeFailure, kNoToken };
Mode g_mode = kReal;
std::vector<std::wstring> g_calls; // one line per call: what reached the platform

int HasEntry(const void* environment, const wchar_t* prefix)
{
    auto* entry = static_cast<const wchar_t*>(environment);
    while (entry && *entry && _wcsnicmp(entry, prefix, wcslen(prefix)) != 0) {
        entry += wcslen(entry) + 1;
    }
    return entry && *entry;
}

// A user without a linked token whose token cannot be duplicated.
BOOL WINAPI NoDuplicate(HANDLE, DWORD, LPSECURITY_ATTRIBUTES, SECURITY_IMPERSONATION_LEVEL, TOKEN_TYPE, PHANDLE)
{
    ::SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI NoLinkedToken(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD)
{
    ::SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
    return FALSE;
}

const wchar_t* OrNull(const wchar_t* text) { return text != nullptr ? text : L"(null)"; }

BOOL WINAPI Observe(HANDLE token, LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                    LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    // No way varies these.
    const bool usual = token && !processAttributes && !threadAttributes && !inherit && !directory &&
                       startup->cb == sizeof *startup;
    wchar_t line[1024] = {};
    wchar_t profile[MAX_PATH] = L"USERPROFILE=";
    ::GetEnvironmentVariableW(L"USERPROFILE", profile + 12, MAX_PATH - 12);
    _snwprintf(line, 1023, L"%ls|%ls|flags=%x startf=%x show=%u desktop=%ls profile=%d %ls", OrNull(application),
               OrNull(commandLine), flags, startup->dwFlags, startup->wShowWindow, OrNull(startup->lpDesktop),
               HasEntry(environment, profile), usual ? L"usual" : L"UNUSUAL");
    g_calls.push_back(line);
    if (g_mode == kFakeFailure) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::CreateProcessAsUserW(token, application, commandLine, processAttributes, threadAttributes, inherit, flags,
                                  environment, directory, startup, info);
}

// What each way hands over: an environment with the user's folders in it, the user's own or the system's (which of
// them: the attack table's profiler row).
std::wstring User(const std::wstring& app, const std::wstring& cmd)
{
    return app + L"|" + cmd + L"|flags=430 startf=0 show=0 desktop=winsta0\\default profile=1 usual";
}
std::wstring Elevated(const std::wstring& app, const std::wstring& cmd, DWORD show)
{
    const std::wstring showState = L"|flags=2000400 startf=81 show=" + std::to_wstring(show);
    return app + L"|" + cmd + showState + L" desktop=(null) profile=1 usual";
}

BOOL Launch(Way way, const wchar_t* path, const wchar_t* text, DWORD show)
{
    if (way == kUser) return CreateProcessInUserSession(path, text);
    return way == kElevated ? CreateProcessInElevatedSession(path, text, show) : StartProcessElevated(path, text, show);
}

struct LaunchWays : LoggedTest {
    LaunchWays() { SetCreateProcessAsUserForTesting(&Observe); }
    ~LaunchWays() override { SetCreateProcessAsUserForTesting(nullptr); }
    StandInFolder m_standIns{L"launch"};
};

} // namespace

TEST_F(LaunchWays, EachWayHandsOverItsTokenCommandLineShowStateAndEnvironment)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    const std::wstring agent = m_standIns.Program(L"FnKeyAgent.exe");
    const std::wstring longest = L" -" + std::wstring(257, L'L');
    const std::wstring tooLong = longest + L"L";
    const std::wstring odd = L" -\"quoted arg\" \ttab %s %d ^&| \u00fcn\u00efc\u00f6d\u00e9 \u2603 \\\\server\\share\\";
    // Per row: the way, the program, the arguments, the show flag, the platform's part and the calls that reach it.
    const std::tuple<const char*, Way, const wchar_t*, const wchar_t*, DWORD, Mode, decltype(g_calls)> cases[] = {
        {"odd characters", kUser, agent.c_str(), odd.c_str(), 0, kReal, {User(agent, odd)}},
        // Empty and null alike: the user way passes no command line, the elevated way the empty string.
        {"user, empty", kUser, agent.c_str(), L"", 0, kReal, {User(agent, L"(null)")}},
        {"elevated, null", kElevated, agent.c_str(), nullptr, 0, kReal, {Elevated(agent, L"", SW_HIDE)}},
        {"fallback, any show flag but 0 shows", kStartElevated, osd.c_str(), L" -TOUCHPAD_SWITCH", 1, kFakeFailure,
         {Elevated(osd, L" -TOUCHPAD_SWITCH", SW_SHOW), User(osd, L" -TOUCHPAD_SWITCH")}},
        {"259 fit, elevated", kElevated, osd.c_str(), longest.c_str(), 0, kReal, {Elevated(osd, longest, SW_HIDE)}},
        {"260 refused", kStartElevated, osd.c_str(), tooLong.c_str(), 1, kFakeFailure, {}},
        {"elevated, null path", kElevated, nullptr, L" -X", 1, kReal, {}},
        // Without a token the platform would start the program as the caller, in the caller's session.
        {"no token, no launch", kStartElevated, osd.c_str(), L" -X", 0, kNoToken, {}},
    };
    for (const auto& [what, way, program, args, show, mode, calls] : cases) {
        SCOPED_TRACE(what);
        g_calls.clear();
        g_mode = mode;
        SetTokenCallsForTesting(mode == kNoToken ? &NoDuplicate : nullptr, mode == kNoToken ? &NoLinkedToken : nullptr);
        const bool started = mode == kReal && !calls.empty();
        EXPECT_EQ(started, Launch(way, program, args, show) != FALSE);
        EXPECT_EQ(calls, g_calls);
    }
    // The four started run, and go with the folder once they have recorded themselves.
    EXPECT_TRUE(WaitUntil([&] { return m_standIns.Records().size() == 4; }, 10000));
}
