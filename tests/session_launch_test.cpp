// The launch ways from a service context under Wine: a probe service (LaunchProbeService.cpp)
// calls them with what a test asks for, records what reached CreateProcessAsUserW, and the
// companion stand-ins record what reached the child.
#include "LaunchProbe.h"

#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "support/StandIns.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <iostream>
#include <optional>

using namespace testsupport;
namespace lp = launchprobe;

namespace {

std::optional<DWORD> ReadDword(const wchar_t* subKey, const wchar_t* name)
{
    DWORD value = 0, size = sizeof value;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, subKey, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::wstring> ReadString(const std::wstring& subKey, const wchar_t* name)
{
    DWORD size = 0;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, subKey.c_str(), name, RRF_RT_REG_SZ, nullptr, &text[0], &size) !=
        ERROR_SUCCESS) {
        return std::nullopt;
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

void SetDword(HKEY key, const wchar_t* name, DWORD value)
{
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

void SetString(HKEY key, const wchar_t* name, const std::wstring& text)
{
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                     static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

struct SeenCall {
    DWORD tokenIsNull = 0, applicationNameIsNull = 0, commandLineIsNull = 0, processAttributesIsNull = 0,
          threadAttributesIsNull = 0, inheritHandles = 0, creationFlags = 0, environmentIsNull = 0,
          environmentHasUserName = 0, environmentHasServiceMark = 0, currentDirectoryIsNull = 0, startupSize = 0, startupFlags = 0, showWindow = 0,
          desktopIsNull = 0, childProcessId = 0;
    std::optional<std::wstring> applicationName, commandLine, desktop;
};

struct Outcome {
    bool done = false;
    DWORD launched = 0, lastResult = 0, calls = 0, handlesBefore = 0, handlesAfter = 0, milliseconds = 0;
    std::vector<SeenCall> seen;
};

struct Request {
    DWORD way = lp::kUserSession;
    std::optional<std::wstring> program;
    std::optional<std::wstring> arguments;
    DWORD show = 0;
    DWORD repeat = 1;
    DWORD mode = lp::kRealCall;
};

std::wstring Unquoted(const std::wstring& text)
{
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') return text.substr(1, text.size() - 2);
    return text;
}

bool SamePath(const std::wstring& a, const std::wstring& b) { return _wcsicmp(a.c_str(), b.c_str()) == 0; }

win::UniqueServiceHandle g_manager;
win::UniqueServiceHandle g_probe;
std::wstring g_setUpProblem;

DWORD ServiceState(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    return ::QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

void RemoveProbe()
{
    win::UniqueServiceHandle stale(::OpenServiceW(g_manager.get(), lp::kServiceName, SERVICE_ALL_ACCESS));
    if (!stale) return;
    SERVICE_STATUS status = {};
    ::ControlService(stale.get(), SERVICE_CONTROL_STOP, &status);
    WaitUntil([&] { return ServiceState(stale.get()) == SERVICE_STOPPED; }, 15000);
    ::DeleteService(stale.get());
}

class LaunchFromService : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        g_setUpProblem.clear();
        g_manager.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!g_manager) {
            g_setUpProblem = L"OpenSCManagerW failed";
            return;
        }
        RemoveProbe();
        const std::wstring binary = L"\"" + ModuleFolder() + L"\\" + lp::kExecutable + L"\"";
        g_probe.reset(::CreateServiceW(g_manager.get(), lp::kServiceName, lp::kServiceName, SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        if (!g_probe) {
            g_setUpProblem = L"CreateServiceW failed";
            return;
        }
        if (!::StartServiceW(g_probe.get(), 0, nullptr) ||
            !WaitUntil([] { return ServiceState(g_probe.get()) == SERVICE_RUNNING; }, 30000)) {
            g_setUpProblem = L"the probe service did not reach RUNNING";
        }
    }

    static void TearDownTestSuite()
    {
        g_probe.reset();
        if (g_manager) RemoveProbe();
        g_manager.reset();
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, lp::kRequestKey);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, lp::kRequestKey);
        // The parent goes only when nobody else keeps records under it.
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"Software\\Osmira\\TestRecords");
    }

    void SetUp() override
    {
        ASSERT_TRUE(g_setUpProblem.empty()) << Narrow(g_setUpProblem);
        SetLogSwitch(true);
    }

    void TearDown() override
    {
        SetLogSwitch(false);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, lp::kRequestKey);
    }

    Outcome Send(const Request& request, DWORD timeoutMs = 30000)
    {
        static DWORD sequence = 0;
        ++sequence;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, lp::kRequestKey);
        {
            win::UniqueRegKey key;
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, lp::kRequestKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(),
                              nullptr);
            SetDword(key.get(), lp::kWay, request.way);
            if (request.program) SetString(key.get(), lp::kProgram, *request.program);
            if (request.arguments) SetString(key.get(), lp::kArguments, *request.arguments);
            SetDword(key.get(), lp::kShow, request.show);
            SetDword(key.get(), lp::kRepeat, request.repeat);
            SetDword(key.get(), lp::kMode, request.mode);
            SetString(key.get(), lp::kLogFolder, m_logFolder.Path());
            SetDword(key.get(), lp::kSequence, sequence);
        }
        Outcome outcome;
        SERVICE_STATUS status = {};
        if (!::ControlService(g_probe.get(), lp::kProbeControl, &status)) {
            ADD_FAILURE() << "ControlService failed: " << ::GetLastError();
            return outcome;
        }
        std::optional<DWORD> seenSequence;
        outcome.done = WaitUntil(
            [&] {
                seenSequence = ReadDword(lp::kResultKey, lp::kSequence);
                return seenSequence == sequence;
            },
            timeoutMs);
        if (!outcome.done) {
            ADD_FAILURE() << "the probe did not answer request " << sequence << "; last sequence seen: "
                          << (seenSequence ? static_cast<long>(*seenSequence) : -1L);
            return outcome;
        }
        outcome.launched = ReadDword(lp::kResultKey, L"Launched").value_or(0xDEAD);
        outcome.lastResult = ReadDword(lp::kResultKey, L"LastResult").value_or(0xDEAD);
        outcome.calls = ReadDword(lp::kResultKey, L"Calls").value_or(0xDEAD);
        outcome.handlesBefore = ReadDword(lp::kResultKey, L"HandlesBefore").value_or(0);
        outcome.handlesAfter = ReadDword(lp::kResultKey, L"HandlesAfter").value_or(0);
        outcome.milliseconds = ReadDword(lp::kResultKey, L"Milliseconds").value_or(0);
        for (unsigned i = 0; i < lp::kRecordedCalls; ++i) {
            wchar_t name[16] = {};
            _snwprintf(name, 15, L"\\Call%u", i);
            const std::wstring key = std::wstring(lp::kResultKey) + name;
            if (!ReadDword(key.c_str(), L"CreationFlags")) break;
            SeenCall call;
            auto flag = [&](const wchar_t* value) { return ReadDword(key.c_str(), value).value_or(0xDEAD); };
            call.tokenIsNull = flag(L"TokenIsNull");
            call.applicationNameIsNull = flag(L"ApplicationNameIsNull");
            call.commandLineIsNull = flag(L"CommandLineIsNull");
            call.processAttributesIsNull = flag(L"ProcessAttributesIsNull");
            call.threadAttributesIsNull = flag(L"ThreadAttributesIsNull");
            call.inheritHandles = flag(L"InheritHandles");
            call.creationFlags = flag(L"CreationFlags");
            call.environmentIsNull = flag(L"EnvironmentIsNull");
            call.environmentHasUserName = flag(L"EnvironmentHasUserName");
            call.environmentHasServiceMark = flag(L"EnvironmentHasServiceMark");
            call.currentDirectoryIsNull = flag(L"CurrentDirectoryIsNull");
            call.startupSize = flag(L"StartupSize");
            call.startupFlags = flag(L"StartupFlags");
            call.showWindow = flag(L"ShowWindow");
            call.desktopIsNull = flag(L"DesktopIsNull");
            call.childProcessId = flag(L"ChildProcessId");
            call.applicationName = ReadString(key, L"ApplicationName");
            call.commandLine = ReadString(key, L"CommandLine");
            call.desktop = ReadString(key, L"Desktop");
            outcome.seen.push_back(call);
        }
        return outcome;
    }

    // The record of the child that the probe's call started.
    std::optional<StandInRecord> ChildRecord(const std::wstring& fileName, DWORD processId)
    {
        std::optional<StandInRecord> found;
        WaitUntil(
            [&] {
                for (const StandInRecord& record : m_standIns.Records(fileName)) {
                    if (record.processId == processId) found = record;
                }
                return found.has_value();
            },
            10000);
        return found;
    }

    std::vector<std::wstring> Messages() const
    {
        return ReadLogMessages(m_logFolder.Path() + L"\\_FnHotkeySvcUtility.log");
    }

    // The line StartProcessElevated writes first when no shell runs anywhere in the prefix.
    static std::vector<std::wstring> ShellCheckLines()
    {
        if (ProgressIsRunning(L"explorer.exe")) return {};
        return {L"StartProcessElevated::ProgressIsRunning(explorer.exe)failed line={line}"};
    }

    StandInFolder m_standIns{L"launch"};
    ScratchFolder m_logFolder{L"launch_log"};
};

void ExpectUserSessionCall(const SeenCall& call, const std::wstring& program)
{
    EXPECT_EQ(0u, call.tokenIsNull);
    EXPECT_EQ(program, call.applicationName.value_or(L"<null>"));
    EXPECT_EQ(1u, call.processAttributesIsNull);
    EXPECT_EQ(1u, call.threadAttributesIsNull);
    EXPECT_EQ(0u, call.inheritHandles);
    EXPECT_EQ(0x430u, call.creationFlags) << "CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT";
    EXPECT_EQ(0u, call.environmentIsNull);
    EXPECT_EQ(0u, call.environmentHasServiceMark) << "the user's own variables only, none of the service's";
    EXPECT_EQ(1u, call.currentDirectoryIsNull);
    EXPECT_EQ(104u, call.startupSize);
    EXPECT_EQ(0u, call.startupFlags);
    EXPECT_EQ(0u, call.showWindow);
    EXPECT_EQ(L"winsta0\\default", call.desktop.value_or(L"<null>"));
}

void ExpectElevatedCall(const SeenCall& call, const std::wstring& program, DWORD showWindow)
{
    EXPECT_EQ(0u, call.tokenIsNull);
    EXPECT_EQ(program, call.applicationName.value_or(L"<null>"));
    EXPECT_EQ(1u, call.processAttributesIsNull);
    EXPECT_EQ(1u, call.threadAttributesIsNull);
    EXPECT_EQ(0u, call.inheritHandles);
    EXPECT_EQ(0x02000400u, call.creationFlags) << "CREATE_PRESERVE_CODE_AUTHZ_LEVEL | CREATE_UNICODE_ENVIRONMENT";
    EXPECT_EQ(0u, call.environmentIsNull);
    EXPECT_EQ(1u, call.environmentHasServiceMark) << "the user's variables merged with the service's";
    EXPECT_EQ(1u, call.currentDirectoryIsNull);
    EXPECT_EQ(104u, call.startupSize);
    EXPECT_EQ(0x81u, call.startupFlags) << "STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK";
    EXPECT_EQ(showWindow, call.showWindow);
    EXPECT_EQ(1u, call.desktopIsNull);
}

} // namespace

TEST_F(LaunchFromService, ASwitchIsTheChildsWholeCommandLine)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    const Outcome elevated = Send({lp::kStartElevated, osd, L" -SWITCH_AIRPLANE", 0});
    ASSERT_TRUE(elevated.done);
    EXPECT_EQ(1u, elevated.lastResult);
    ASSERT_EQ(1u, elevated.calls) << "the elevated way started it, no fallback";
    ExpectElevatedCall(elevated.seen[0], osd, SW_HIDE);
    EXPECT_EQ(L" -SWITCH_AIRPLANE", elevated.seen[0].commandLine.value_or(L"<null>"));
    EXPECT_EQ(1u, elevated.seen[0].environmentHasUserName);
    const std::optional<StandInRecord> osdChild = ChildRecord(L"FnKeyLockOsd.exe", elevated.seen[0].childProcessId);
    ASSERT_TRUE(osdChild.has_value());
    EXPECT_EQ(L" -SWITCH_AIRPLANE", osdChild->commandLine);
    EXPECT_TRUE(osdChild->actionSwitch);
    EXPECT_EQ(::WTSGetActiveConsoleSessionId(), osdChild->sessionId);
    // The OSD companion carries out its switch and ends by itself.
    EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(osdChild->processId); }, 10000));

    const std::wstring agent = m_standIns.Program(L"FnKeyAgent.exe");
    const Outcome user = Send({lp::kUserSession, agent, L" -UIMERTICSON"});
    ASSERT_TRUE(user.done);
    EXPECT_EQ(1u, user.lastResult);
    ASSERT_EQ(1u, user.calls);
    ExpectUserSessionCall(user.seen[0], agent);
    EXPECT_EQ(L" -UIMERTICSON", user.seen[0].commandLine.value_or(L"<null>"));
    EXPECT_EQ(1u, user.seen[0].environmentHasUserName);
    const std::optional<StandInRecord> agentChild = ChildRecord(L"FnKeyAgent.exe", user.seen[0].childProcessId);
    ASSERT_TRUE(agentChild.has_value());
    EXPECT_EQ(L" -UIMERTICSON", agentChild->commandLine);
    EXPECT_EQ(::WTSGetActiveConsoleSessionId(), agentChild->sessionId);
    EXPECT_TRUE(ProcessAlive(agentChild->processId));
    EXPECT_EQ(std::vector<std::wstring>{}, MatchingRecords(Messages(), L"CreateProcessInUserSession{line}"));
}

TEST_F(LaunchFromService, OddCharactersReachTheChildUnchanged)
{
    const std::wstring agent = m_standIns.Program(L"FnKeyAgent.exe");
    const std::wstring odd = L" -\"quoted arg\" \ttab %s %d ^&| \u00fcn\u00efc\u00f6d\u00e9 \u2603 \\\\server\\share\\";
    const Outcome outcome = Send({lp::kUserSession, agent, odd});
    ASSERT_TRUE(outcome.done);
    ASSERT_EQ(1u, outcome.calls);
    EXPECT_EQ(odd, outcome.seen[0].commandLine.value_or(L"<null>"));
    const std::optional<StandInRecord> child = ChildRecord(L"FnKeyAgent.exe", outcome.seen[0].childProcessId);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(odd, child->commandLine);
}

TEST_F(LaunchFromService, EmptyArgumentsAreNoCommandLineForTheUserAndAnEmptyOneForTheElevatedWay)
{
    const std::wstring agent = m_standIns.Program(L"FnKeyAgent.exe");
    for (const std::optional<std::wstring>& arguments : {std::optional<std::wstring>(L""), std::optional<std::wstring>()}) {
        const Outcome user = Send({lp::kUserSession, agent, arguments});
        ASSERT_TRUE(user.done);
        EXPECT_EQ(1u, user.lastResult);
        ASSERT_EQ(1u, user.calls);
        ExpectUserSessionCall(user.seen[0], agent);
        EXPECT_EQ(1u, user.seen[0].commandLineIsNull) << "no command line at all, so the platform uses the path";
        const std::optional<StandInRecord> child = ChildRecord(L"FnKeyAgent.exe", user.seen[0].childProcessId);
        ASSERT_TRUE(child.has_value());
        // Windows hands over the application name as it is; Wine 8 quotes it.
        EXPECT_TRUE(SamePath(agent, Unquoted(child->commandLine))) << Narrow(child->commandLine);
    }

    const Outcome elevated = Send({lp::kElevatedSession, agent, L"", 0});
    ASSERT_TRUE(elevated.done);
    EXPECT_EQ(1u, elevated.lastResult);
    ASSERT_EQ(1u, elevated.calls);
    ExpectElevatedCall(elevated.seen[0], agent, SW_HIDE);
    EXPECT_EQ(0u, elevated.seen[0].commandLineIsNull);
    EXPECT_EQ(L"", elevated.seen[0].commandLine.value_or(L"<null>")) << "the empty string itself";
    const std::optional<StandInRecord> child = ChildRecord(L"FnKeyAgent.exe", elevated.seen[0].childProcessId);
    ASSERT_TRUE(child.has_value());
    // On Windows the child's command line is then empty; Wine 8 builds one from the
    // application name instead. The call above is what the service controls.
    EXPECT_TRUE(child->commandLine.empty() || SamePath(L"\"" + agent + L"\"", child->commandLine))
        << Narrow(child->commandLine);
}

TEST_F(LaunchFromService, TheElevatedWayShowsOrHidesTheWindowAsAsked)
{
    const std::wstring agent = m_standIns.Program(L"FnKeyAgent.exe");
    const struct {
        DWORD show;
        DWORD expected;
    } cases[] = {{1, SW_SHOW}, {0, SW_HIDE}, {0xFFFFFFFF, SW_SHOW}, {7, SW_SHOW}};
    for (const auto& item : cases) {
        const Outcome outcome = Send({lp::kElevatedSession, agent, L" -X", item.show});
        ASSERT_TRUE(outcome.done);
        ASSERT_EQ(1u, outcome.calls);
        ExpectElevatedCall(outcome.seen[0], agent, item.expected);
        const std::optional<StandInRecord> child = ChildRecord(L"FnKeyAgent.exe", outcome.seen[0].childProcessId);
        ASSERT_TRUE(child.has_value()) << "show flag " << item.show;
        EXPECT_EQ(item.expected, child->showWindow) << "show flag " << item.show;
        EXPECT_EQ(STARTF_USESHOWWINDOW, child->startupFlags & STARTF_USESHOWWINDOW) << "show flag " << item.show;
    }
    // Screen snipping asks for its window through the fallback chain; the first way serves it.
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    const Outcome snipping = Send({lp::kStartElevated, osd, L" -CSREENCUT", 1});
    ASSERT_TRUE(snipping.done);
    ASSERT_EQ(1u, snipping.calls);
    const std::optional<StandInRecord> child = ChildRecord(L"FnKeyLockOsd.exe", snipping.seen[0].childProcessId);
    ASSERT_TRUE(child.has_value());
    EXPECT_EQ(static_cast<DWORD>(SW_SHOW), child->showWindow);
    EXPECT_EQ(L" -CSREENCUT", child->commandLine);
}

TEST_F(LaunchFromService, AFailedElevatedLaunchFallsBackToTheUserTokenWithoutShowState)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    const Outcome outcome = Send({lp::kStartElevated, osd, L" -TOUCHPAD_SWITCH", 1, 1, lp::kFakeFailure});
    ASSERT_TRUE(outcome.done);
    EXPECT_EQ(0u, outcome.lastResult);
    ASSERT_EQ(2u, outcome.calls);
    ExpectElevatedCall(outcome.seen[0], osd, SW_SHOW);
    EXPECT_EQ(L" -TOUCHPAD_SWITCH", outcome.seen[0].commandLine.value_or(L"<null>"));
    ExpectUserSessionCall(outcome.seen[1], osd);
    EXPECT_EQ(L" -TOUCHPAD_SWITCH", outcome.seen[1].commandLine.value_or(L"<null>"));

    std::vector<std::wstring> expected = ShellCheckLines();
    for (const wchar_t* line : {L"CreateProcessInElevatedSession CreateProcessAsUser  line={line}, lasterror=5",
                                L"StartProcessElevated::CreateProcessInElevatedSession failed line={line}",
                                L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 5",
                                L"StartProcessElevated::CreateProcessInUserSession failed line={line}"}) {
        expected.push_back(line);
    }
    std::vector<std::wstring> messages = Messages();
    // Wine's users hold a linked token, so the elevated way says where its token came from.
    const std::vector<std::wstring> linked =
        MatchingRecords(messages, L"CreateProcessInElevatedSession LinkedToken from GetTokenInformation  line={line}");
    std::vector<std::wstring> rest;
    for (const std::wstring& message : messages) {
        if (linked.empty() || message != linked.front()) rest.push_back(message);
    }
    ASSERT_EQ(expected.size(), rest.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_TRUE(LogRecordMatches(rest[i], expected[i])) << Narrow(rest[i]) << " vs " << Narrow(expected[i]);
    }
}

TEST_F(LaunchFromService, ArgumentsOf260CharactersOrMoreAreRefused)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    const std::wstring longest = L" -" + std::wstring(257, L'L');
    ASSERT_EQ(259u, longest.size());
    for (DWORD way : {lp::kUserSession, lp::kElevatedSession}) {
        const Outcome fits = Send({way, osd, longest, 0, 1, lp::kFakeFailure});
        ASSERT_TRUE(fits.done);
        ASSERT_EQ(1u, fits.calls) << "way " << way;
        EXPECT_EQ(longest, fits.seen[0].commandLine.value_or(L"<null>")) << "way " << way;
    }

    for (size_t length : {size_t(260), size_t(5000)}) {
        ::DeleteFileW((m_logFolder.Path() + L"\\_FnHotkeySvcUtility.log").c_str());
        const std::wstring tooLong = L" -" + std::wstring(length - 2, L'L');
        const Outcome refused = Send({lp::kStartElevated, osd, tooLong, 1, 1, lp::kFakeFailure});
        ASSERT_TRUE(refused.done);
        EXPECT_EQ(0u, refused.lastResult);
        EXPECT_EQ(0u, refused.calls) << "nothing reaches the platform, cut or whole";
        std::vector<std::wstring> expected = ShellCheckLines();
        wchar_t line[200] = {};
        _snwprintf(line, 199,
                   L"CreateProcessInElevatedSession command line of %u characters is too long, nothing started line={line}",
                   static_cast<unsigned>(length));
        expected.push_back(line);
        expected.push_back(L"StartProcessElevated::CreateProcessInElevatedSession failed line={line}");
        _snwprintf(line, 199,
                   L"CreateProcessInUserSession argument string of %u characters is too long, nothing started line={line}",
                   static_cast<unsigned>(length));
        expected.push_back(line);
        expected.push_back(L"StartProcessElevated::CreateProcessInUserSession failed line={line}");
        const std::vector<std::wstring> messages = Messages();
        ASSERT_EQ(expected.size(), messages.size()) << "length " << length;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_TRUE(LogRecordMatches(messages[i], expected[i])) << Narrow(messages[i]);
        }
    }
    EXPECT_TRUE(m_standIns.Records(L"FnKeyLockOsd.exe").empty());
}

TEST_F(LaunchFromService, MissingOrWrongProgramPathsStartNothing)
{
    // No path: the user way refuses silently, the elevated way with a line of its own.
    const Outcome user = Send({lp::kUserSession, std::nullopt, L" -X"});
    ASSERT_TRUE(user.done);
    EXPECT_EQ(0u, user.lastResult);
    EXPECT_EQ(0u, user.calls);
    EXPECT_EQ(std::vector<std::wstring>{}, Messages());

    const Outcome elevated = Send({lp::kElevatedSession, std::nullopt, L" -X", 1});
    ASSERT_TRUE(elevated.done);
    EXPECT_EQ(0u, elevated.lastResult);
    EXPECT_EQ(0u, elevated.calls);
    std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_TRUE(LogRecordMatches(messages[0],
                                 L"CreateProcessInElevatedSession program path is missing, nothing started line={line}"))
        << Narrow(messages[0]);

    // A path to no file: the platform refuses, and the refusal is logged with its code.
    ::DeleteFileW((m_logFolder.Path() + L"\\_FnHotkeySvcUtility.log").c_str());
    const Outcome missing = Send({lp::kUserSession, m_standIns.Program(L"NoSuchCompanion.exe"), L" -X"});
    ASSERT_TRUE(missing.done);
    EXPECT_EQ(0u, missing.lastResult);
    EXPECT_EQ(1u, missing.calls);
    messages = Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_EQ(L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: 2", messages[0]);
}

TEST(HandleCount, TheCountSeesEveryHandle)
{
    // The leak check below rests on this count.
    const DWORD before = lp::CountOpenHandles();
    std::vector<win::UniqueHandle> events;
    for (int i = 0; i < 50; ++i) events.emplace_back(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const DWORD during = lp::CountOpenHandles();
    events.clear();
    const DWORD after = lp::CountOpenHandles();
    EXPECT_GT(before, 0u);
    EXPECT_EQ(before + 50, during);
    EXPECT_EQ(before, after);
}

TEST_F(LaunchFromService, AThousandLaunchesReleaseEveryTokenHandleSnapshotAndEnvironmentBlock)
{
    const std::wstring osd = m_standIns.Program(L"FnKeyLockOsd.exe");
    constexpr DWORD kBound = 8;
    const struct {
        const char* what;
        DWORD way;
        DWORD mode;
        DWORD repeat;
        DWORD expectLaunched;
        DWORD expectCalls;
    } batches[] = {
        {"StartProcessElevated, launch answered", lp::kStartElevated, lp::kFakeSuccess, 1000, 1000, 1005},
        {"StartProcessElevated, both ways refused", lp::kStartElevated, lp::kFakeFailure, 1000, 0, 2010},
        {"CreateProcessInUserSession, launch answered", lp::kUserSession, lp::kFakeSuccess, 1000, 1000, 1005},
        {"StartProcessElevated, real children", lp::kStartElevated, lp::kRealCall, 25, 25, 30},
    };
    for (const auto& batch : batches) {
        SetLogSwitch(false); // a thousand log records would measure the log, not the launches
        const Outcome outcome = Send({batch.way, osd, L" -CALL_SET_LAYOUT", 0, batch.repeat, batch.mode}, 300000);
        ASSERT_TRUE(outcome.done) << batch.what;
        EXPECT_EQ(batch.expectLaunched, outcome.launched) << batch.what;
        EXPECT_EQ(batch.expectCalls, outcome.calls) << batch.what;
        EXPECT_GT(outcome.handlesBefore, 0u) << batch.what;
        EXPECT_LE(outcome.handlesAfter, outcome.handlesBefore + kBound)
            << batch.what << ": " << outcome.handlesBefore << " handles before, " << outcome.handlesAfter << " after";
        std::cout << "[ figures  ] " << batch.what << ": " << batch.repeat << " launches in " << outcome.milliseconds
                  << " ms (" << (batch.repeat ? outcome.milliseconds * 1000 / batch.repeat : 0)
                  << " us each); probe handles " << outcome.handlesBefore << " -> " << outcome.handlesAfter
                  << std::endl;
    }
    // Every real child (five of the warm-up, 25 counted) carried out its switch and ended.
    size_t recorded = 0, alive = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::vector<StandInRecord> records = m_standIns.Records(L"FnKeyLockOsd.exe");
            recorded = records.size();
            alive = 0;
            for (const StandInRecord& record : records) alive += ProcessAlive(record.processId) ? 1 : 0;
            return recorded == 30 && alive == 0;
        },
        20000))
        << recorded << " children recorded, " << alive << " still running";
}
