// The launch ways with an observer in front of CreateProcessAsUserW: what reached the platform,
// the child (a companion stand-in), the log, and the handles kept. Under Wine a service runs in
// the console session with this test's user token, so the test calls the ways itself; its own
// environment plays the service's.
#include "TestHooks.h"
#include "process/ProcessToolkit.h"
#include "process/SessionLaunch.h"
#include "support/StandIns.h"
#include "win/Owners.h"

using namespace testsupport;

namespace {

enum Way { kUser, kElevated, kStartElevated };
enum Mode { kReal, kFakeSuccess, kFakeFailure } g_mode;
std::vector<std::wstring> g_calls; // one line per call: what reached the platform
DWORD g_child = 0;

int Has(const void* environment, const wchar_t* prefix)
{
    for (auto* entry = static_cast<const wchar_t*>(environment); entry && *entry; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, prefix, wcslen(prefix)) == 0) return 1;
    }
    return 0;
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
        const HANDLE self = ::GetCurrentProcess();
        ::DuplicateHandle(self, self, self, &pi->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
        return ::DuplicateHandle(self, ::GetCurrentThread(), self, &pi->hThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
    }
    const BOOL result = g_mode == kReal && ::CreateProcessAsUserW(token, app, cmd, pa, ta, inherit, flags, env, dir, si, pi);
    g_child = result ? pi->dwProcessId : 0;
    return result;
}

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
    const wchar_t* path = program ? program->c_str() : nullptr;
    const wchar_t* text = args ? args->c_str() : nullptr;
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
    const wchar_t *elevatedFailed = L"StartProcessElevated::CreateProcessInElevatedSession failed line={line}",
                  *userFailed = L"StartProcessElevated::CreateProcessInUserSession failed line={line}";
    const auto tooLong = [&](size_t length) {
        const std::wstring n = std::to_wstring(length), tail = L" characters is too long, nothing started line={line}";
        return std::vector<std::wstring>{L"CreateProcessInElevatedSession command line of " + n + tail, elevatedFailed,
                                         L"CreateProcessInUserSession argument string of " + n + tail, userFailed};
    };
    const struct Case {
        const char* what;
        Way way;
        std::optional<std::wstring> program, args;
        DWORD show;
        Mode mode;
        std::vector<std::wstring> calls, log = {};
    } cases[] = {
        {"switch, elevated first", kStartElevated, osd, L" -SWITCH_AIRPLANE", 0, kReal,
         {Elevated(osd, L" -SWITCH_AIRPLANE", SW_HIDE)}},
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
        {"show 7", kElevated, agent, L" -X", 7, kReal, {Elevated(agent, L" -X", SW_SHOW)}},
        {"snipping shown", kStartElevated, osd, L" -CSREENCUT", 1, kReal, {Elevated(osd, L" -CSREENCUT", SW_SHOW)}},
        {"fallback without show state", kStartElevated, osd, L" -TOUCHPAD_SWITCH", 1, kFakeFailure,
         {Elevated(osd, L" -TOUCHPAD_SWITCH", SW_SHOW), User(osd, L" -TOUCHPAD_SWITCH")},
         {L"CreateProcessInElevatedSession CreateProcessAsUser  line={line}, lasterror=5", elevatedFailed,
          L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 5", userFailed}},
        {"259 fit, user", kUser, osd, longest, 0, kFakeFailure, {User(osd, longest)},
         {L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 5"}},
        {"259 fit, elevated", kElevated, osd, longest, 0, kFakeFailure, {Elevated(osd, longest, SW_HIDE)},
         {L"CreateProcessInElevatedSession CreateProcessAsUser  line={line}, lasterror=5"}},
        {"260 refused", kStartElevated, osd, longest + L"L", 1, kFakeFailure, {}, tooLong(260)},
        {"5000 refused", kStartElevated, osd, L" -" + std::wstring(4998, L'L'), 1, kFakeFailure, {}, tooLong(5000)},
        {"user, null path", kUser, std::nullopt, L" -X", 0, kReal, {}},
        {"elevated, null path", kElevated, std::nullopt, L" -X", 1, kReal, {},
         {L"CreateProcessInElevatedSession program path is missing, nothing started line={line}"}},
        {"no such file", kUser, missing, L" -X", 0, kReal, {User(missing, L" -X")},
         {L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 2"}},
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
        std::vector<std::wstring> expected = c.log, messages;
        if (c.way == kStartElevated && !ProgressIsRunning(L"explorer.exe")) {
            expected.insert(expected.begin(), L"StartProcessElevated::ProgressIsRunning(explorer.exe)failed line={line}");
        }
        for (const std::wstring& message : Messages()) {
            if (!LogRecordMatches(message, L"CreateProcessInElevatedSession LinkedToken from GetTokenInformation  line={line}")) {
                messages.push_back(message);
            }
        }
        ASSERT_EQ(expected.size(), messages.size());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(LogRecordMatches(messages[i], expected[i])) << Narrow(messages[i]);
        if (!started) continue;
        const std::optional<StandInRecord> child = m_standIns.WaitForRecord(g_child);
        ASSERT_TRUE(child.has_value());
        EXPECT_EQ(::WTSGetActiveConsoleSessionId(), child->sessionId);
        EXPECT_TRUE(c.args.value_or(L"").empty() || *c.args == child->commandLine) << Narrow(child->commandLine);
        EXPECT_TRUE(c.way == kUser || (child->showWindow == DWORD(c.show ? SW_SHOW : SW_HIDE) &&
                                       (child->startupFlags & STARTF_USESHOWWINDOW)))
            << child->showWindow << " " << child->startupFlags;
        // The OSD companion carries out its switch and ends; the agent stays.
        EXPECT_EQ(c.program == osd, WaitUntil([&] { return !ProcessAlive(g_child); }, c.program == osd ? 10000 : 0));
    }
}

TEST_F(LaunchWays, ManyLaunchesLeaveNoHandleBehind)
{
    // Wine 8 answers GetProcessHandleCount with 0: every handle value is asked about instead.
    const auto count = [] {
        DWORD handles = 0, flags = 0;
        for (ULONG_PTR value = 4; value < 0x10000; value += 4) handles += ::GetHandleInformation(HANDLE(value), &flags);
        return handles;
    };
    DWORD before = count();
    win::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    ASSERT_EQ(before + 1, count()) << "the count sees every handle";
    const struct { Way way; Mode mode; DWORD repeat; } batches[] = {
        {kStartElevated, kFakeSuccess, 60}, {kStartElevated, kFakeFailure, 60}, {kUser, kFakeSuccess, 60},
        {kStartElevated, kReal, 10}};
    SetLogSwitch(false); // the log's own file handles are not the launches'
    for (const auto& batch : batches) {
        SCOPED_TRACE(std::to_string(batch.way) + " " + std::to_string(batch.mode));
        g_mode = batch.mode;
        g_calls.clear();
        // First what the platform loads and keeps on first use (DLLs, cached keys).
        for (int i = 0; i < 5; ++i) Launch(batch.way, m_standIns.Program(L"FnKeyLockOsd.exe"), L" -CALL_SET_LAYOUT", 0);
        before = count();
        DWORD launched = 0;
        for (DWORD i = 0; i < batch.repeat; ++i) {
            launched += Launch(batch.way, m_standIns.Program(L"FnKeyLockOsd.exe"), L" -CALL_SET_LAYOUT", 0);
        }
        const DWORD after = count();
        EXPECT_EQ(batch.mode == kFakeFailure ? 0 : batch.repeat, launched);
        EXPECT_EQ((batch.repeat + 5) * (batch.mode == kFakeFailure ? 2 : 1), g_calls.size());
        EXPECT_LE(after, before + 8) << before << " handles before, " << after << " after";
    }
}
