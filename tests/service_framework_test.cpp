// The service framework's state sequences: under the real service control manager through
// the probe service, and in process for the controls that the manager sends no service of
// this kind (pause, continue, shutdown).
#include "service/ServiceBase.h"
#include "support/TestSupport.h"

#include <stdexcept>

using namespace testsupport;

TEST(ServiceFramework, SequencesUnderTheManager)
{
    const std::string begin = "event Service trying to start.\nstart OK\n";
    const struct Case {
        const wchar_t* argument;
        DWORD control, state, exitCode;
        std::string records;
    } cases[] = {
        {nullptr, SERVICE_CONTROL_STOP, SERVICE_STOPPED, 0, begin + "control 1\nstop OK\n"},
        {L"throw-stop=1051", SERVICE_CONTROL_STOP, SERVICE_RUNNING, 0,
         begin + "control 1\nstop OK\nevent Service Stop failed w/err 0x0000041b\n"},
        {L"throw-stop=other", SERVICE_CONTROL_STOP, SERVICE_RUNNING, 0, begin + "control 1\nstop OK\nevent Service failed to stop.\n"},
        {L"throw-start=5", 0, SERVICE_STOPPED, 5, begin + "event Service Start failed w/err 0x00000005\n"},
        {L"throw-start=other", 0, SERVICE_STOPPED, 0, begin + "event Service failed to start.\n"},
        {nullptr, 150, SERVICE_RUNNING, 0, begin + "control 150\n"},
        {nullptr, SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING, 0, begin + "control 4\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.argument ? c.argument : L"") + " control " + std::to_string(c.control));
        const ScratchFolder folder(L"probe");
        TestService probe(L"FnKeyFrameworkProbe", L"\"" + ModuleFolder() + L"\\FrameworkProbeService.exe\" " + folder.File(L"r"));
        const auto records = [&] { const auto bytes = ReadFileBytes(folder.File(L"r")); return std::string(bytes.begin(), bytes.end()); };
        ASSERT_TRUE(probe.Start(c.argument ? std::vector<const wchar_t*>{c.argument} : std::vector<const wchar_t*>{}, 0));
        if (c.control != 0) {
            ASSERT_TRUE(probe.WaitForState(SERVICE_RUNNING));
            EXPECT_EQ(0u, probe.Control(c.control));
        }
        EXPECT_TRUE(WaitUntil([&] { return records() == c.records; }, 20000)) << records();
        ASSERT_TRUE(probe.WaitForState(c.state));
        const SERVICE_STATUS_PROCESS status = probe.Status();
        EXPECT_EQ(c.exitCode, status.dwWin32ExitCode);
        EXPECT_EQ(0u, status.dwCheckPoint);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE),
                  status.dwControlsAccepted);
    }
}

namespace {

// No manager behind it: the status handle stays null and only the snapshot changes.
class InProcessService : public CServiceBase {
public:
    InProcessService() : CServiceBase(L"FnKeyInProcess") {}
    std::wstring calls;
    DWORD thrown = 0; // 0: nothing, ~0: not a code

protected:
    void Hook(const wchar_t* name)
    {
        calls += name + std::to_wstring(StatusSnapshot().dwCurrentState) + L"|";
        if (thrown == ~0u) throw std::runtime_error("not a code");
        if (thrown != 0) throw thrown;
    }
    void OnStop() override { Hook(L"stop "); }
    void OnPause() override { Hook(L"pause "); }
    void OnContinue() override { Hook(L"continue "); }
    void OnShutdown() override { Hook(L"shutdown "); }
    DWORD OnServiceControlHandle(DWORD control, DWORD, LPVOID, LPVOID) override
    {
        calls += L"control " + std::to_wstring(control) + L"|";
        return 1;
    }
    ULONG WriteServiceEvent(const wchar_t* message, UCHAR) override
    {
        calls += message + std::wstring(L"|");
        return 0;
    }
};

} // namespace

TEST(ServiceFramework, SequencesInProcess)
{
    const DWORD other = ~0u;
    const struct Case {
        DWORD before, control, thrown, after;
        const wchar_t* calls; // the hook sees the pending state (STOP 3, CONTINUE 5, PAUSE 6)
    } cases[] = {
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, 0, SERVICE_PAUSED, L"control 2|pause 6|"},
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, 87, SERVICE_RUNNING, L"control 2|pause 6|Service Pause failed w/err 0x00000057|"},
        {SERVICE_RUNNING, SERVICE_CONTROL_PAUSE, other, SERVICE_RUNNING, L"control 2|pause 6|Service failed to pause.|"},
        {SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, 0, SERVICE_RUNNING, L"control 3|continue 5|"},
        {SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, 87, SERVICE_PAUSED, L"control 3|continue 5|Service Continue failed w/err 0x00000057|"},
        {SERVICE_PAUSED, SERVICE_CONTROL_CONTINUE, other, SERVICE_PAUSED, L"control 3|continue 5|Service failed to resume.|"},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, 0, SERVICE_STOPPED, L"control 5|shutdown 4|"},
        {SERVICE_RUNNING, SERVICE_CONTROL_SHUTDOWN, 87, SERVICE_RUNNING, L"control 5|shutdown 4|Service Shutdown failed w/err 0x00000057|"},
        {SERVICE_PAUSED, SERVICE_CONTROL_SHUTDOWN, other, SERVICE_PAUSED, L"control 5|shutdown 7|Service failed to shut down.|"},
        {SERVICE_PAUSED, SERVICE_CONTROL_STOP, 0, SERVICE_STOPPED, L"control 1|stop 3|"},
        {SERVICE_PAUSED, SERVICE_CONTROL_STOP, 1051, SERVICE_PAUSED, L"control 1|stop 3|Service Stop failed w/err 0x0000041b|"},
        {SERVICE_RUNNING, 14, 0, SERVICE_RUNNING, L"control 14|"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.calls));
        InProcessService service;
        service.Start(0, nullptr);
        if (c.before == SERVICE_PAUSED) service.Pause();
        ASSERT_EQ(c.before, service.StatusSnapshot().dwCurrentState);
        service.calls.clear();
        service.thrown = c.thrown;
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(c.control, 0, nullptr, &service));
        EXPECT_EQ(c.calls, service.calls);
        EXPECT_EQ(c.after, service.StatusSnapshot().dwCurrentState);
        EXPECT_EQ(c.after == SERVICE_PAUSED, service.StatusSnapshot().dwCheckPoint != 0) << "only a paused report counts";
    }
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(150, 0, nullptr, nullptr));
}
