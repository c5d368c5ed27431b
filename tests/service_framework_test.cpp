// The framework's state sequences under the real service control manager, through the probe
// service: what each hook saw, the events written, and what the manager shows afterwards.
#include "service/ServiceBase.h"
#include "support/TestSupport.h"
#include <map>

using namespace testsupport;

TEST(ServiceFramework, StateSequencesUnderTheManager)
{
    const std::string pause = "control 130\ncontrol 2\npause OK\n", resume = pause + "control 131\ncontrol 3\ncontinue OK\n";
    const std::string shutdown = "control 133\ncontrol 5\nshutdown OK\n", stop = "control 1\nstop OK\n";
    const struct Case { std::vector<const wchar_t*> arguments, controls; DWORD state, exitCode; std::string records; } cases[] = {
        {{}, {L"stop"}, SERVICE_STOPPED, 0, stop},
        {{L"throw-stop=1051"}, {L"stop"}, SERVICE_RUNNING, 0, stop + "event Service Stop failed w/err 0x0000041b\n"},
        {{L"throw-stop=other"}, {L"pause", L"stop"}, SERVICE_PAUSED, 0, pause + stop + "event Service failed to stop.\n"},
        {{L"throw-start=5"}, {}, SERVICE_STOPPED, 5, "event Service Start failed w/err 0x00000005\n"},
        {{L"throw-start=other"}, {}, SERVICE_STOPPED, 0, "event Service failed to start.\n"},
        {{}, {L"pause"}, SERVICE_PAUSED, 0, pause},
        {{L"throw-pause=87"}, {L"pause"}, SERVICE_RUNNING, 0, pause + "event Service Pause failed w/err 0x00000057\n"},
        {{L"throw-pause=other"}, {L"pause"}, SERVICE_RUNNING, 0, pause + "event Service failed to pause.\n"},
        {{}, {L"pause", L"continue"}, SERVICE_RUNNING, 0, resume},
        {{L"throw-continue=87"}, {L"pause", L"continue"}, SERVICE_PAUSED, 0, resume + "event Service Continue failed w/err 0x00000057\n"},
        {{L"throw-continue=other"}, {L"pause", L"continue"}, SERVICE_PAUSED, 0, resume + "event Service failed to resume.\n"},
        {{}, {L"shutdown"}, SERVICE_STOPPED, 0, shutdown},
        {{L"throw-shutdown=87"}, {L"shutdown"}, SERVICE_RUNNING, 0, shutdown + "event Service Shutdown failed w/err 0x00000057\n"},
        {{L"throw-shutdown=other"}, {L"shutdown"}, SERVICE_RUNNING, 0, shutdown + "event Service failed to shut down.\n"},
        {{}, {L"150", L"interrogate"}, SERVICE_RUNNING, 0, "control 150\ncontrol 4\n"}, // the hook alone sees them
    };
    const std::map<std::wstring, DWORD> codes = {{L"stop", 1}, {L"pause", 130}, {L"continue", 131}, {L"shutdown", 133},
                                                 {L"150", 150}, {L"interrogate", SERVICE_CONTROL_INTERROGATE}};
    for (const Case& c : cases) {
        const ScratchFolder folder(L"probe");
        const auto records = [&] { const auto bytes = ReadFileBytes(folder.File(L"r")); return std::string(bytes.begin(), bytes.end()); };
        const std::string expected = "event Service trying to start.\nstart OK\n" + c.records;
        SCOPED_TRACE(expected);
        TestService probe(L"FnKeyFrameworkProbe", L"\"" + ModuleFolder() + L"\\FrameworkProbeService.exe\" " + folder.File(L"r"));
        ASSERT_TRUE(probe.Start(c.arguments, c.controls.empty() ? c.state : SERVICE_RUNNING));
        for (const wchar_t* control : c.controls) EXPECT_EQ(0u, probe.Control(codes.at(control))) << Narrow(control);
        EXPECT_TRUE(WaitUntil([&] { return records() == expected; }, 20000)) << records();
        EXPECT_TRUE(probe.WaitForState(c.state));
        const SERVICE_STATUS_PROCESS s = probe.Status(); // only pending and paused reports take a check point
        EXPECT_EQ((std::vector<DWORD>{c.exitCode, c.state == SERVICE_PAUSED, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE}),
                  (std::vector<DWORD>{s.dwWin32ExitCode, s.dwCheckPoint != 0, s.dwControlsAccepted})) << "exit code, check point, controls";
    }
    EXPECT_EQ(DWORD(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(150, 0, nullptr, nullptr)) << "no service behind the call";
}
