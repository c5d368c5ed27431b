// The framework's state sequences under the real service control manager, through the probe
// service: what each hook saw, the events written, and what the manager shows afterwards.
#include "service/ServiceBase.h"
#include "service/ProgramEntry.h"
#include "service/ServiceInstaller.h"
#include "support/TestSupport.h"

#include <sddl.h>

#include <algorithm>

using namespace testsupport;

namespace {

const std::string kPaused = "control 130\ncontrol 2\npause OK\n";
const std::string kStopped = "control 1\nstop OK\n";

} // namespace

TEST(ServiceFramework, StateSequencesUnderTheManager)
{
    // 1 is the manager's stop; the probe hands 130, 131 and 133 on to the framework's handler as pause, continue
    // and shutdown. Anything thrown that is not a code takes one way for every hook: the stop shows it. Per row: the
    // start arguments, the codes sent, the state and exit code that follow, and the records after the start's.
    const std::tuple<std::vector<const wchar_t*>, std::vector<DWORD>, DWORD, DWORD, std::string> cases[] = {
        {{}, {1}, SERVICE_STOPPED, 0, kStopped},
        {{L"throw-stop=1051"}, {1}, SERVICE_RUNNING, 0, kStopped + "event Service Stop failed w/err 0x0000041b\n"},
        {{L"throw-stop=other"}, {130, 1}, SERVICE_PAUSED, 0, kPaused + kStopped + "event Service failed to stop.\n"},
        {{L"throw-start=5"}, {}, SERVICE_STOPPED, 5, "event Service Start failed w/err 0x00000005\n"},
        {{}, {130, 131}, SERVICE_RUNNING, 0, kPaused + "control 131\ncontrol 3\ncontinue OK\n"},
        {{}, {133}, SERVICE_STOPPED, 0, "control 133\ncontrol 5\nshutdown OK\n"},
        // The hook alone sees these.
        {{}, {150, SERVICE_CONTROL_INTERROGATE}, SERVICE_RUNNING, 0, "control 150\ncontrol 4\n"},
    };
    for (const auto& [arguments, controls, state, exitCode, recordsAfterStart] : cases) {
        const ScratchFolder folder(L"probe");
        const auto records = [&] {
            const auto bytes = ReadFileBytes(folder.File(L"r"));
            return std::string(bytes.begin(), bytes.end());
        };
        // The registration hook runs before the start.
        const std::string expected = "registered\nevent Service trying to start.\nstart OK\n" + recordsAfterStart;
        SCOPED_TRACE(expected);
        const std::wstring commandLine = L"\"" + ModuleFolder() + L"\\FrameworkProbeService.exe\" " + folder.File(L"r");
        TestService probe(L"FnKeyFrameworkProbe", commandLine);
        ASSERT_TRUE(probe.Start(arguments, controls.empty() ? state : SERVICE_RUNNING));
        for (DWORD control : controls) EXPECT_EQ(0u, probe.Control(control)) << control;
        EXPECT_TRUE(WaitUntil([&] { return records() == expected; }, 20000)) << records();
        EXPECT_TRUE(probe.WaitForState(state));
        const SERVICE_STATUS_PROCESS status = probe.Status();
        EXPECT_EQ(exitCode, status.dwWin32ExitCode);
        EXPECT_EQ(state == SERVICE_PAUSED, status.dwCheckPoint != 0) << "only pending and paused reports take one";
        EXPECT_EQ(DWORD{SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE},
                  status.dwControlsAccepted);
    }
    EXPECT_EQ(DWORD(NO_ERROR), CServiceBase::ServiceCtrlHandlerEx(150, 0, nullptr, nullptr)) << "no service behind it";
}

// The installed service's access list: only SYSTEM, Administrators and interactive users may send it a code
// (Wine keeps no service access lists, so the list is judged as data).
TEST(ServiceSecurity, OnlySystemAdministratorsAndInteractiveUsersMaySendCodes)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSecurity, SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
    const win::UniqueLocalMemory held(descriptor);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && dacl != nullptr);
    std::vector<std::wstring> senders;
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        ASSERT_TRUE(::GetAce(dacl, i, reinterpret_cast<void**>(&entry)));
        wchar_t* sid = nullptr;
        ASSERT_TRUE(::ConvertSidToStringSidW(&entry->SidStart, &sid));
        const win::UniqueLocalMemory heldSid(sid);
        if (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (entry->Mask & SERVICE_USER_DEFINED_CONTROL) != 0) {
            senders.push_back(sid);
        }
    }
    EXPECT_EQ((std::vector<std::wstring>{L"S-1-5-18", L"S-1-5-32-544", L"S-1-5-4"}), senders);
}

// Once the entry has run, a library by name comes only from the program's and the system's folders: one planted in
// the current folder, which other accounts may write to, is not loaded.
TEST(ProgramEntry, LibrariesAreNotLoadedFromTheCurrentFolder)
{
    std::wstring planted = std::wstring(FN_TEST_TRUST_FIXTURES_DIR) + L"\\planted";
    std::replace(planted.begin(), planted.end(), L'/', L'\\');
    ASSERT_TRUE(::SetCurrentDirectoryW(planted.c_str()));
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(L"OsmiraValidationPolicy.dll"));
    wchar_t program[] = L"OsmiraUtilityService.exe";
    wchar_t console[] = L"-console";
    wchar_t* arguments[] = {program, console};
    EXPECT_EQ(0, RunProgram(2, arguments));
    EXPECT_EQ(nullptr, ::LoadLibraryW(L"OsmiraValidationPolicy.dll"));
}
