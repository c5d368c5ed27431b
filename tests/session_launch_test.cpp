// The launch ways with an observer in front of CreateProcessAsUserW: what reached the platform, the child
// (a companion stand-in), the log, and the handles kept. Under Wine a service runs in the console session
// with this test's user token, so the test calls the ways itself; its own environment plays the service's.
#include "support/Seams.h"
#include "process/ProcessToolkit.h"
#include "process/SessionLaunch.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"
#include "win/Owners.h"

#include <algorithm>

using namespace testsupport;

namespace {

enum Way { kUser, kElevated, kStartElevated };
enum Mode { kReal, kFakeSuccess, kFakeFailure } g_mode;
std::vector<std::wstring> g_calls; // one line per call: what reached the platform
DWORD g_child = 0;

int Has(const void* environment, const wchar_t* prefix)
{
    auto* entry = static_cast<const wchar_t*>(environment);
    while (entry && *entry && _wcsnicmp(entry, prefix, wcslen(prefix)) != 0) entry += wcslen(entry) + 1;
    return entry && *entry;
}

BOOL WINAPI Observe(HANDLE token, LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES pa, LPSECURITY_ATTRIBUTES ta,
                    BOOL inherit, DWORD flags, LPVOID env, LPCWSTR dir, LPSTARTUPINFOW si, LPPROCESS_INFORMATION pi)
{
    const bool usual = token && !pa && !ta && !inherit && !dir && si->cb == sizeof *si; // no way varies these
    wchar_t line[1024] = {};
    _snwprintf(line, 1023, L"%ls|%ls|flags=%x startf=%x show=%u desktop=%ls user=%d mark=%d %ls", app ? app : L"(null)",
               cmd ? cmd : L"(null)", flags, si->dwFlags, si->wShowWindow, si->lpDesktop ? si->lpDesktop : L"(null)",
               Has(env, L"USERNAME="), Has(env, L"FNKEY_LAUNCH_TEST_MARK=1"), usual ? L"usual" : L"UNUSUAL");
    g_calls.push_back(line);
    ::SetLastError(ERROR_ACCESS_DENIED);
    if (g_mode == kFakeSuccess) { // fresh handles, so that the count sees the caller's closing them
        pi->hProcess = ::OpenProcess(SYNCHRONIZE, FALSE, ::GetCurrentProcessId());
        return (pi->hThread = ::OpenThread(SYNCHRONIZE, FALSE, ::GetCurrentThreadId())) != nullptr;
    }
    const BOOL result = g_mode == kReal && ::CreateProcessAsUserW(token, app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
    g_child = result ? pi->dwProcessId : 0;
    return result;
}

// What each way hands over: the user's own environment, or it merged with the service's.
std::wstring User(const std::wstring& app, const std::wstring& cmd)
{
    return app + L"|" + cmd + L"|flags=430 startf=0 show=0 desktop=winsta0\\default user=1 mark=0 usual";
}
std::wstring Elevated(const std::wstring& app, const std::wstring& cmd, DWORD show)
{
    return app + L"|" + cmd + L"|flags=2000400 startf=81 show=" + std::to_wstring(show) + L" desktop=(null) user=1 mark=1 usual";
}

BOOL Launch(Way way, const std::optional<std::wstring>& program, const std::optional<std::wstring>& args, DWORD show)
{
    const wchar_t *path = program ? program->c_str() : nullptr, *text = args ? args->c_str() : nullptr;
    if (way == kUser) return CreateProcessInUserSession(path, text);
    return way == kElevated ? CreateProcessInElevatedSession(path, text, show) : StartProcessElevated(path, text, show);
}

struct LaunchWays : LoggedTest {
    LaunchWays() { ::SetEnvironmentVariableW(L"FNKEY_LAUNCH_TEST_MARK", L"1"), SetCreateProcessAsUserForTesting(&Observe); }
    ~LaunchWays() override { SetCreateProcessAsUserForTesting(nullptr); }
    StandInFolder m_standIns{L"launch"};
};

} // namespace

TEST_F(LaunchWays, EachWayHandsOverItsTokenCommandLineShowStateAndEnvironment)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe"), agent = m_standIns.Program(L"FnKeyAgent.exe");
    const std::wstring missing = m_standIns.Program(L"NoSuchCompanion.exe"), longest = L" -" + std::wstring(257, L'L');
    const std::wstring odd = L" -\"quoted arg\" \ttab %s %d ^&| \u00fcn\u00efc\u00f6d\u00e9 \u2603 \\\\server\\share\\";
    const std::wstring elevatedFailed = L"StartProcessElevated::CreateProcessInElevatedSession failed line=%d",
                       userFailed = L"StartProcessElevated::CreateProcessInUserSession failed line=%d";
    const std::wstring elevatedRefused = L"CreateProcessInElevatedSession CreateProcessAsUser  line=%d, lasterror=",
                       userRefused = L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: ";
    const struct Case {
        const char* what; Way way; std::optional<std::wstring> program, args; DWORD show; Mode mode;
        std::vector<std::wstring> calls, log = {};
    } cases[] = {
        {"switch, elevated first", kStartElevated, osd, L" -SWITCH_AIRPLANE", 0, kReal, {Elevated(osd, L" -SWITCH_AIRPLANE", SW_HIDE)}},
        {"switch, user", kUser, agent, L" -UIMERTICSON", 0, kReal, {User(agent, L" -UIMERTICSON")}},
        {"odd characters", kUser, agent, odd, 0, kReal, {User(agent, odd)}},
        // No command line: the platform builds one (Windows from the path as it is, Wine 8 quoted).
        {"user, empty", kUser, agent, L"", 0, kReal, {User(agent, L"(null)")}},
        {"user, null", kUser, agent, std::nullopt, 0, kReal, {User(agent, L"(null)")}},
        // The empty string itself (the child then gets nothing on Windows, its quoted path on Wine 8).
        {"elevated, empty", kElevated, agent, L"", 0, kReal, {Elevated(agent, L"", SW_HIDE)}},
        {"elevated, null", kElevated, agent, std::nullopt, 0, kReal, {Elevated(agent, L"", SW_HIDE)}},
        {"show 1", kElevated, agent, L" -X", 1, kReal, {Elevated(agent, L" -X", SW_SHOW)}},
        {"show 0xFFFFFFFF", kElevated, agent, L" -X", 0xFFFFFFFF, kReal, {Elevated(agent, L" -X", SW_SHOW)}},
        {"show 2", kElevated, agent, L" -X", 2, kReal, {Elevated(agent, L" -X", SW_SHOW)}},
        {"snipping shown", kStartElevated, osd, L" -CSREENCUT", 1, kReal, {Elevated(osd, L" -CSREENCUT", SW_SHOW)}},
        {"fallback without show state", kStartElevated, osd, L" -TOUCHPAD_SWITCH", 1, kFakeFailure,
         {Elevated(osd, L" -TOUCHPAD_SWITCH", SW_SHOW), User(osd, L" -TOUCHPAD_SWITCH")},
         {elevatedRefused + L"5", elevatedFailed, userRefused + L"5", userFailed}},
        {"259 fit, user", kUser, osd, longest, 0, kFakeFailure, {User(osd, longest)}, {userRefused + L"5"}},
        {"259 fit, elevated", kElevated, osd, longest, 0, kFakeFailure, {Elevated(osd, longest, SW_HIDE)}, {elevatedRefused + L"5"}},
        {"260 refused", kStartElevated, osd, longest + L"L", 1, kFakeFailure, {},
         {L"CreateProcessInElevatedSession command line of 260 characters is too long, nothing started line=%d", elevatedFailed,
          L"CreateProcessInUserSession argument string of 260 characters is too long, nothing started line=%d", userFailed}},
        {"user, null path", kUser, std::nullopt, L" -X", 0, kReal, {}},
        {"elevated, null path", kElevated, std::nullopt, L" -X", 1, kReal, {},
         {L"CreateProcessInElevatedSession program path is missing, nothing started line=%d"}},
        {"no such file", kUser, missing, L" -X", 0, kReal, {User(missing, L" -X")}, {userRefused + L"2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        g_calls.clear();
        g_mode = c.mode;
        const bool started = c.mode == kReal && !c.calls.empty() && c.program != missing;
        EXPECT_EQ(started, Launch(c.way, c.program, c.args, c.show) != FALSE);
        EXPECT_EQ(c.calls, g_calls);
        // The shell check only reports; where the elevated token came from depends on the user.
        std::vector<std::wstring> expected = c.log, messages = Messages();
        if (c.way == kStartElevated && !ProgressIsRunning(L"explorer.exe")) {
            expected.insert(expected.begin(), L"StartProcessElevated::ProgressIsRunning(explorer.exe)failed line=%d");
        }
        messages.erase(std::remove_if(messages.begin(), messages.end(), [](const std::wstring& message) {
            return regtest::RecordMatches(message, L"CreateProcessInElevatedSession LinkedToken from GetTokenInformation  line=%d");
        }), messages.end());
        EXPECT_TRUE(regtest::RecordsMatch(messages, expected));
        if (!started) continue;
        const std::optional<StandInRecord> child = m_standIns.WaitForRecord(g_child);
        ASSERT_TRUE(child.has_value());
        EXPECT_EQ(::WTSGetActiveConsoleSessionId(), child->sessionId);
        EXPECT_TRUE(c.args.value_or(L"").empty() || *c.args == child->commandLine) << Narrow(child->commandLine);
        EXPECT_TRUE(c.way == kUser || (child->showWindow == DWORD(c.show ? SW_SHOW : SW_HIDE) &&
                                       (child->startupFlags & STARTF_USESHOWWINDOW))) << child->showWindow;
        // The OSD companion carries out its switch and ends; the agent stays.
        EXPECT_EQ(c.program == osd, WaitUntil([&] { return !ProcessAlive(g_child); }, c.program == osd ? 10000 : 0));
    }
}

TEST_F(LaunchWays, ManyLaunchesLeaveNoHandleBehind)
{
    // Wine 8 answers GetProcessHandleCount with 0: every handle value is asked about instead.
    const auto count = [](DWORD handles = 0, DWORD flags = 0) {
        for (ULONG_PTR value = 4; value < 0x10000; value += 4) handles += ::GetHandleInformation(HANDLE(value), &flags);
        return handles;
    };
    DWORD before = count();
    win::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_EQ(before + 1, count()) << "the count sees every handle";
    SetLogSwitch(false); // the log's own file handles are not the launches'
    for (const auto& [way, mode, repeat] : {std::tuple{kStartElevated, kFakeSuccess, 60u}, {kStartElevated, kFakeFailure, 60u},
                                            {kUser, kFakeSuccess, 60u}, {kStartElevated, kReal, 10u}}) {
        SCOPED_TRACE(std::to_string(way) + " " + std::to_string(mode));
        g_mode = mode;
        g_calls.clear();
        const auto launch = [&, way = way] { return Launch(way, m_standIns.Program(L"FnKeyLockOsd.exe"), L" -CALL_SET_LAYOUT", 0); };
        for (int i = 0; i < 5; ++i) launch(); // first what the platform loads and keeps on first use
        before = count();
        unsigned launched = 0;
        for (unsigned i = 0; i < repeat; ++i) launched += launch();
        EXPECT_EQ(mode == kFakeFailure ? 0 : repeat, launched);
        EXPECT_EQ((repeat + 5) * (mode == kFakeFailure ? 2 : 1), g_calls.size());
        EXPECT_LE(count(), before + 8) << before << " handles before";
    }
}
