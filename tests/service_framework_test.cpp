// The framework's state sequences under the real service control manager, through the probe
// service: what each hook saw, the events written, and what the manager shows afterwards.
#include "service/ServiceBase.h"
#include "support/TestSupport.h"

using namespace testsupport;

TEST(ServiceFramework, StateSequencesUnderTheManager)
{
    enum : DWORD { kStop = SERVICE_CONTROL_STOP, kPause = 130, kContinue = 131, kShutdown = 133 }; // the probe hands 129-133 on
    const std::string pause = "control 130\ncontrol 2\npause OK\n", resume = pause + "control 131\ncontrol 3\ncontinue OK\n";
    const std::string shutdown = "control 133\ncontrol 5\nshutdown OK\n", stop = "control 1\nstop OK\n";
    const struct Case { std::vector<const wchar_t*> arguments; std::vector<DWORD> controls; DWORD state, exitCode; std::string records; } cases[] = {
        {{}, {kStop}, SERVICE_STOPPED, 0, stop},
        {{L"throw-stop=1051"}, {kStop}, SERVICE_RUNNING, 0, stop + "event Service Stop failed w/err 0x0000041b\n"},
        {{L"throw-stop=other"}, {kPause, kStop}, SERVICE_PAUSED, 0, pause + stop + "event Service failed to stop.\n"},
        {{L"throw-start=5"}, {}, SERVICE_STOPPED, 5, "event Service Start failed w/err 0x00000005\n"},
        {{L"throw-start=other"}, {}, SERVICE_STOPPED, 0, "event Service failed to start.\n"},
        {{}, {kPause}, SERVICE_PAUSED, 0, pause},
        {{L"throw-pause=87"}, {kPause}, SERVICE_RUNNING, 0, pause + "event Service Pause failed w/err 0x00000057\n"},
        {{L"throw-pause=other"}, {kPause}, SERVICE_RUNNING, 0, pause + "event Service failed to pause.\n"},
        {{}, {kPause, kContinue}, SERVICE_RUNNING, 0, resume},
        {{L"throw-continue=87"}, {kPause, kContinue}, SERVICE_PAUSED, 0, resume + "event Service Continue failed w/err 0x00000057\n"},
        {{L"throw-continue=other"}, {kPause, kContinue}, SERVICE_PAUSED, 0, resume + "event Service failed to resume.\n"},
        {{}, {kShutdown}, SERVICE_STOPPED, 0, shutdown},
        {{L"throw-shutdown=87"}, {kShutdown}, SERVICE_RUNNING, 0, shutdown + "event Service Shutdown failed w/err 0x00000057\n"},
        {{L"throw-shutdown=other"}, {kShutdown}, SERVICE_RUNNING, 0, shutdown + "event Service failed to shut down.\n"},
        {{}, {150, SERVICE_CONTROL_INTERROGATE}, SERVICE_RUNNING, 0, "control 150\ncontrol 4\n"}, // the hook alone sees them
    };
    for (const Case& c : cases) {
        const ScratchFolder folder(L"probe");
        const auto records = [&] { const auto bytes = ReadFileBytes(folder.File(L"r")); return std::string(bytes.begin(), bytes.end()); };
        const std::string expected = "event Service trying to start.\nstart OK\n" + c.records;
        SCOPED_TRACE(expected);
        TestService probe(L"FnKeyFrameworkProbe", L"\"" + ModuleFolder() + L"\\FrameworkProbeService.exe\" " + folder.File(L"r"));
        ASSERT_TRUE(probe.Start(c.arguments, c.controls.empty() ? c.state : SERVICE_RUNNING));
        for (DWORD control : c.controls) EXPECT_EQ(0u, probe.Control(control)) << control;
        EXPECT_TRUE(WaitUntil([&] { return records() == expected; }, 20000)) << records();
        EXPECT_TRUE(probe.WaitForState(c.state));
        const SERVICE_STATUS_PROCESS s = probe.Status(); // only pending and paused reports take a check point
        EXPECT_EQ((std::vector<DWORD>{c.exitCode, c.state == SERVICE_PAUSED, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE}),
                  (std::vector<DWORD>{s.dwWin32ExitCode, s.dwCheckPoint != 0, s.dwControlsAccepted})) << "exit code, check point, controls";
    }
    EXPECT_EQ(DWORD(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(150, 0, nullptr, nullptr)) << "no service behind the call";
}
