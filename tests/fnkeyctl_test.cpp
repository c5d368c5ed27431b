// fnkeyctl: its command line parsed on its own, and the program run against the prefix's service control manager.
#include "FnkeyctlArgs.h"
#include "FnkeyctlStatus.h"
#include "support/TestSupport.h"

using namespace fnkeyctl;
using testsupport::Narrow;

TEST(FnkeyctlArguments, NamesNumbersAndRefusals)
{
    struct Case {
        std::vector<std::wstring> args;
        Action action;
        std::wstring error = L"";
        DWORD code = 0;
        std::wstring service = L"OsmiraUtilityService";
    };
    const Case cases[] = { // a Send (or Status) row gives no error but the code and the service
        {{L"micmute-on"}, Action::Send, L"", 160},
        {{L"svc_ctl_triger_pexaro_pop_toast"}, Action::Send, L"", 150},
        {{L"255"}, Action::Send, L"", 255},
        {{L"--list"}, Action::List},
        {{L"/?"}, Action::Help},
        {{}, Action::Usage, L"no control code given"},
        {{L"micmute"}, Action::Usage, L"unknown control name: micmute"},
        {{L"256"}, Action::Usage, L"not a control code from 0 to 255: 256"},
        {{L"-1"}, Action::Usage, L"unknown option: -1"},
        {{L"160", L"161"}, Action::Usage, L"more than one control code: 161"},
        {{L"--list", L"160"}, Action::Usage, L"--list takes no control code"},
        {{L"--list", L"status"}, Action::Usage, L"--list takes no command"},
        {{L"--service", L"", L"160"}, Action::Usage, L"--service needs a service name"},
        {{L"Status", L"--service", L"Other"}, Action::Status, L"", 0, L"Other"},
        {{L"status", L"160"}, Action::Usage, L"status takes no further argument: 160"},
        {{L"log", L"on"}, Action::LogOn},
        {{L"LOG", L"Off"}, Action::LogOff},
        {{L"log"}, Action::Usage, L"log needs on or off"},
        {{L"log", L"maybe"}, Action::Usage, L"log takes on or off, not: maybe"},
        {{L"log", L"on", L"off"}, Action::Usage, L"log takes one word, on or off: off"},
    };
    for (const Case& row : cases) {
        const Arguments parsed = ParseArguments(row.args);
        SCOPED_TRACE(Narrow(row.args.empty() ? L"(none)" : row.args.front() + L" .. " + row.args.back()));
        EXPECT_EQ(row.action, parsed.action);
        EXPECT_EQ(row.error, parsed.error);
        if (row.action != Action::Send && row.action != Action::Status) continue;
        EXPECT_EQ(row.code, parsed.code);
        EXPECT_EQ(row.service, parsed.serviceName);
    }
}

// The program runs and answers by its exit status; the list goes past the printer's limit to its last row.
// (A refusal of the service control manager: the end-to-end test.)
TEST(FnkeyctlProgram, ExitStatusAndOutput)
{
    const std::wstring tool = L"\"" FNKEYCTL_PATH L"\" ";
    struct Case { std::wstring args; DWORD exit; std::string ends; };
    const Case cases[] = {
        {L"--list", 0, "\n 168  keyboard-layout       SVC_CTL_SET_KEYBOARD_LAYOUT\n"},
        {L"", 2, "registry), 2 bad arguments.\n"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(Narrow(row.args));
        const testsupport::ProcessResult result = testsupport::RunAndCapture(tool + row.args);
        const std::string& output = result.output;
        EXPECT_EQ(row.exit, result.exitCode);
        EXPECT_EQ(row.ends, output.substr(output.size() - std::min(output.size(), row.ends.size())));
    }
}

// Only an administrator has the log read (its folder grants nobody else anything); anybody else is told so at once.
// (An administrator's read: the end-to-end test.)
TEST(FnkeyctlStatus, OnlyAnAdministratorReadsTheLog)
{
    StatusReport report;
    report.log = ReadLog(L"C:\\nowhere", 0, false);
    const std::wstring status = FormatStatus(report);
    EXPECT_NE(std::wstring::npos, status.find(L"\n  reading the log needs an administrator\n")) << Narrow(status);
}
