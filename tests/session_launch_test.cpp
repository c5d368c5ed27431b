// The launch ways with an observer in front of CreateProcessAsUserW: what reached the platform,
// what reached the child (a companion stand-in), what was logged, and the handles kept. Under
// Wine a service runs in the console session with the same user token as this test, so the
// test calls the ways from its own process; its own environment plays the service's.
#include "TestHooks.h"
#include "process/ProcessToolkit.h"
#include "process/SessionLaunch.h"
#include "support/StandIns.h"
#include "win/Owners.h"

#include <optional>

using namespace testsupport;

namespace {

enum Way { kUser, kElevated, kStartElevated };
enum Mode { kReal, kFakeSuccess, kFakeFailure };
Mode g_mode = kReal;
std::vector<std::wstring> g_calls; // one line per call: what reached the platform
DWORD g_child = 0;

bool HasVariable(const void* block, const wchar_t* prefix)
{
    for (auto* entry = static_cast<const wchar_t*>(block); block != nullptr && *entry; entry += wcslen(entry) + 1) {
        if (_wcsnicmp(entry, prefix, wcslen(prefix)) == 0) return true;
    }
    return false;
}

BOOL WINAPI Observe(HANDLE token, LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID env, LPCWSTR directory,
                    LPSTARTUPINFOW startup, LPPROCESS_INFORMATION info)
{
    // What no way varies ends as one verdict.
    const bool usual = token && !processAttributes && !threadAttributes && !inherit && !directory &&
                       startup->cb == sizeof *startup;
    wchar_t line[1024] = {};
    _snwprintf(line, 1023, L"%ls|%ls|flags=%x startf=%x show=%u desktop=%ls user=%d mark=%d %ls",
               app ? app : L"(null)", cmd ? cmd : L"(null)", flags, startup->dwFlags, startup->wShowWindow,
               startup->lpDesktop ? startup->lpDesktop : L"(null)", HasVariable(env, L"USERNAME="),
               HasVariable(env, L"FNKEY_LAUNCH_TEST_MARK=1"), usual ? L"usual" : L"UNUSUAL");
    g_calls.push_back(line);
    if (g_mode == kFakeFailure) ::SetLastError(ERROR_ACCESS_DENIED);
    if (g_mode != kFakeSuccess) {
        const BOOL result = g_mode == kReal && ::CreateProcessAsUserW(token, app, cmd, processAttributes, threadAttributes,
                                                                      inherit, flags, env, directory, startup, info);
        g_child = result ? info->dwProcessId : 0;
        return result;
    }
    // Fresh handles, so that the caller's closing of them is what the handle count sees.
    const HANDLE self = ::GetCurrentProcess();
    ::DuplicateHandle(self, self, self, &info->hProcess, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return ::DuplicateHandle(self, ::GetCurrentThread(), self, &info->hThread, 0, FALSE, DUPLICATE_SAME_ACCESS);
}

std::wstring User(const std::wstring& app, const std::wstring& cmd)
{
    return app + L"|" + cmd + L"|flags=430 startf=0 show=0 desktop=winsta0\\default user=1 mark=0 usual";
}

std::wstring Elevated(const std::wstring& app, const std::wstring& cmd, DWORD show)
{
    return app + L"|" + cmd + L"|flags=2000400 startf=81 show=" + std::to_wstring(show) +
           L" desktop=(null) user=1 mark=1 usual";
}

// The handles this process has open. Wine 8 answers GetProcessHandleCount with 0, so every
// handle value (multiples of 4) is asked about in turn.
DWORD CountOpenHandles()
{
    DWORD count = 0, flags = 0;
    for (ULONG_PTR value = 4; value < 0x10000; value += 4) count += ::GetHandleInformation(HANDLE(value), &flags);
    return count;
}

class LaunchWays : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        ::SetEnvironmentVariableW(L"FNKEY_LAUNCH_TEST_MARK", L"1");
        SetCreateProcessAsUserForTesting(&Observe);
    }
    void TearDown() override
    {
        SetCreateProcessAsUserForTesting(nullptr);
        LoggedTest::TearDown();
    }
    static BOOL Launch(Way way, const std::optional<std::wstring>& program, const std::optional<std::wstring>& args,
                       DWORD show)
    {
        const wchar_t* path = program ? program->c_str() : nullptr;
        const wchar_t* text = args ? args->c_str() : nullptr;
        if (way == kUser) return CreateProcessInUserSession(path, text);
        return way == kElevated ? CreateProcessInElevatedSession(path, text, show) : StartProcessElevated(path, text, show);
    }
    StandInFolder m_standIns{L"launch"};
};

} // namespace

TEST_F(LaunchWays, EachWayHandsOverItsTokenCommandLineShowStateAndEnvironment)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe"), agent = m_standIns.Program(L"FnKeyAgent.exe");
    const std::wstring missing = m_standIns.Program(L"NoSuchCompanion.exe"), longest = L" -" + std::wstring(257, L'L');
    const std::wstring odd = L" -\"quoted arg\" \ttab %s %d ^&| \u00fcn\u00efc\u00f6d\u00e9 \u2603 \\\\server\\share\\";
    const auto tooLong = [](size_t length) {
        const std::wstring n = std::to_wstring(length);
        return std::vector<std::wstring>{
            L"CreateProcessInElevatedSession command line of " + n + L" characters is too long, nothing started line={line}",
            L"StartProcessElevated::CreateProcessInElevatedSession failed line={line}",
            L"CreateProcessInUserSession argument string of " + n + L" characters is too long, nothing started line={line}",
            L"StartProcessElevated::CreateProcessInUserSession failed line={line}"};
    };
    const struct Case {
        const char* what;
        Way way;
        std::optional<std::wstring> program, args;
        DWORD show;
        Mode mode;
        BOOL result;
        std::vector<std::wstring> calls, log;
    } cases[] = {
        {"switch, elevated first", kStartElevated, osd, L" -SWITCH_AIRPLANE", 0, kReal, TRUE,
         {Elevated(osd, L" -SWITCH_AIRPLANE", SW_HIDE)}, {}},
        {"switch, user", kUser, agent, L" -UIMERTICSON", 0, kReal, TRUE, {User(agent, L" -UIMERTICSON")}, {}},
        {"odd characters", kUser, agent, odd, 0, kReal, TRUE, {User(agent, odd)}, {}},
        // No command line: the platform builds one (Windows from the path as it is, Wine 8 quoted).
        {"user, empty", kUser, agent, L"", 0, kReal, TRUE, {User(agent, L"(null)")}, {}},
        {"user, null", kUser, agent, std::nullopt, 0, kReal, TRUE, {User(agent, L"(null)")}, {}},
        // The empty string itself (Wine 8 then gives the child its quoted path, Windows nothing).
        {"elevated, empty", kElevated, agent, L"", 0, kReal, TRUE, {Elevated(agent, L"", SW_HIDE)}, {}},
        {"elevated, null", kElevated, agent, std::nullopt, 0, kReal, TRUE, {Elevated(agent, L"", SW_HIDE)}, {}},
        {"show 1", kElevated, agent, L" -X", 1, kReal, TRUE, {Elevated(agent, L" -X", SW_SHOW)}, {}},
        {"show 0xFFFFFFFF", kElevated, agent, L" -X", 0xFFFFFFFF, kReal, TRUE, {Elevated(agent, L" -X", SW_SHOW)}, {}},
        {"show 7", kElevated, agent, L" -X", 7, kReal, TRUE, {Elevated(agent, L" -X", SW_SHOW)}, {}},
        {"snipping shown", kStartElevated, osd, L" -CSREENCUT", 1, kReal, TRUE, {Elevated(osd, L" -CSREENCUT", SW_SHOW)}, {}},
        {"fallback without show state", kStartElevated, osd, L" -TOUCHPAD_SWITCH", 1, kFakeFailure, FALSE,
         {Elevated(osd, L" -TOUCHPAD_SWITCH", SW_SHOW), User(osd, L" -TOUCHPAD_SWITCH")},
         {L"CreateProcessInElevatedSession CreateProcessAsUser  line={line}, lasterror=5",
          L"StartProcessElevated::CreateProcessInElevatedSession failed line={line}",
          L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 5",
          L"StartProcessElevated::CreateProcessInUserSession failed line={line}"}},
        {"259 fit, user", kUser, osd, longest, 0, kFakeFailure, FALSE, {User(osd, longest)},
         {L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 5"}},
        {"259 fit, elevated", kElevated, osd, longest, 0, kFakeFailure, FALSE, {Elevated(osd, longest, SW_HIDE)},
         {L"CreateProcessInElevatedSession CreateProcessAsUser  line={line}, lasterror=5"}},
        {"260 refused", kStartElevated, osd, longest + L"L", 1, kFakeFailure, FALSE, {}, tooLong(260)},
        {"5000 refused", kStartElevated, osd, L" -" + std::wstring(4998, L'L'), 1, kFakeFailure, FALSE, {}, tooLong(5000)},
        {"user, null path", kUser, std::nullopt, L" -X", 0, kReal, FALSE, {}, {}},
        {"elevated, null path", kElevated, std::nullopt, L" -X", 1, kReal, FALSE, {},
         {L"CreateProcessInElevatedSession program path is missing, nothing started line={line}"}},
        {"no such file", kUser, missing, L" -X", 0, kReal, FALSE, {User(missing, L" -X")},
         {L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearLog();
        g_calls.clear();
        g_mode = c.mode;
        g_child = 0;
        EXPECT_EQ(c.result, Launch(c.way, c.program, c.args, c.show));
        EXPECT_EQ(c.calls, g_calls);

        // The shell check only reports; where a token came from depends on the user.
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

        if (c.mode != kReal || !c.result) continue;
        const std::optional<StandInRecord> child = m_standIns.WaitForRecord(g_child);
        ASSERT_TRUE(child.has_value());
        EXPECT_EQ(::WTSGetActiveConsoleSessionId(), child->sessionId);
        if (c.args.value_or(L"") != L"") {
            EXPECT_EQ(*c.args, child->commandLine);
        }
        if (c.way != kUser) {
            EXPECT_EQ(c.show != 0 ? DWORD(SW_SHOW) : DWORD(SW_HIDE), child->showWindow);
            EXPECT_EQ(DWORD(STARTF_USESHOWWINDOW), child->startupFlags & STARTF_USESHOWWINDOW);
        }
        // The OSD companion carries out its switch and ends; the agent stays.
        EXPECT_EQ(c.program == osd, WaitUntil([&] { return !ProcessAlive(child->processId); }, c.program == osd ? 10000 : 0));
    }
}

TEST_F(LaunchWays, ManyLaunchesLeaveNoHandleBehind)
{
    DWORD before = CountOpenHandles();
    {
        win::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        ASSERT_EQ(before + 1, CountOpenHandles()) << "the count sees every handle";
    }
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    const struct {
        const char* what;
        Way way;
        Mode mode;
        DWORD repeat;
    } batches[] = {{"both ways, answered", kStartElevated, kFakeSuccess, 200},
                   {"both ways, refused", kStartElevated, kFakeFailure, 200},
                   {"user's way, answered", kUser, kFakeSuccess, 200},
                   {"real children", kStartElevated, kReal, 20}};
    SetLogSwitch(false); // the log's own file handles are not the launches'
    for (const auto& batch : batches) {
        SCOPED_TRACE(batch.what);
        g_mode = batch.mode;
        g_calls.clear();
        // First what the platform loads and keeps on first use (DLLs, cached keys).
        for (int i = 0; i < 5; ++i) Launch(batch.way, osd, L" -CALL_SET_LAYOUT", 0);
        before = CountOpenHandles();
        DWORD launched = 0;
        for (DWORD i = 0; i < batch.repeat; ++i) launched += Launch(batch.way, osd, L" -CALL_SET_LAYOUT", 0);
        const DWORD after = CountOpenHandles();
        EXPECT_EQ(batch.mode == kFakeFailure ? 0 : batch.repeat, launched);
        EXPECT_EQ((batch.repeat + 5) * (batch.mode == kFakeFailure ? 2 : 1), g_calls.size());
        EXPECT_LE(after, before + 8) << before << " handles before, " << after << " after";
    }
}
