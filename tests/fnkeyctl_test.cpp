// fnkeyctl: its command line parsed on its own, and the program run against the prefix's service control manager.
#include "FnkeyctlArgs.h"
#include "support/TestSupport.h"

#include <set>

using namespace fnkeyctl;
using testsupport::Narrow;

TEST(FnkeyctlArguments, NamesNumbersAndRefusals)
{
    const std::wstring unknown = L"unknown control name: ";
    const std::wstring range = L"not a control code from 0 to 255: ";
    const std::wstring noName = L"--service needs a service name";
    const std::wstring noCode = L"no control code given";
    const std::wstring twoCodes = L"more than one control code: ";
    struct Case {
        std::vector<std::wstring> args;
        Action action;
        std::wstring error = L"";
        DWORD code = 0;
        std::wstring service = L"OsmiraUtilityService";
    };
    const Case cases[] = { // a Send (or Status) row gives no error but the code and the service
        {{L"micmute-on"}, Action::Send, L"", 160},
        {{L"OCR-Row"}, Action::Send, L"", 157},
        {{L"svc_ctl_triger_pexaro_pop_toast"}, Action::Send, L"", 150},
        {{L"255"}, Action::Send, L"", 255},
        {{L"007"}, Action::Send, L"", 7},
        {{L"--service", L"Other", L"161"}, Action::Send, L"", 161, L"Other"},
        {{L"--list"}, Action::List},
        {{L"--help"}, Action::Help},
        {{L"/?"}, Action::Help},
        {{L"-h"}, Action::Help},
        {{}, Action::Usage, noCode},
        {{L"micmute"}, Action::Usage, unknown + L"micmute"},
        {{L""}, Action::Usage, unknown},
        {{L" 160"}, Action::Usage, unknown + L" 160"},
        {{L"256"}, Action::Usage, range + L"256"},
        {{L"4294967296"}, Action::Usage, range + L"4294967296"},
        {{L"12a"}, Action::Usage, range + L"12a"},
        {{L"-1"}, Action::Usage, L"unknown option: -1"},
        {{L"160", L"161"}, Action::Usage, twoCodes + L"161"},
        {{L"160", L"status"}, Action::Usage, twoCodes + L"status"},
        {{L"--list", L"160"}, Action::Usage, L"--list takes no control code"},
        {{L"--list", L"status"}, Action::Usage, L"--list takes no command"},
        {{L"--service"}, Action::Usage, noName},
        {{L"--service", L"", L"160"}, Action::Usage, noName},
        {{L"status"}, Action::Status},
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

TEST(FnkeyctlArguments, EveryCustomRowOfTheServiceHasOneNameInTheList)
{
    std::set<DWORD> custom;
    std::set<std::wstring> names;
    for (const ControlName& control : KnownControls()) {
        if (control.code >= 128) custom.insert(control.code);
        EXPECT_TRUE(names.insert(control.name).second) << "twice: " << Narrow(control.name);
    }
    const std::set<DWORD> rows = {139, 140, 141, 142, 144, 145, 146, 147, 148, 149, 150, 151, 154,
                                  155, 156, 157, 158, 160, 161, 163, 164, 165, 166, 167, 168};
    EXPECT_EQ(rows, custom);
}

// The whole output is checked by its first and last lines and its count of lines. (A refusal of the service
// control manager: the end-to-end test.)
TEST(FnkeyctlProgram, ExitStatusAndOutput)
{
    std::wstring tool = L"\"Z:" + testsupport::Widen(FNKEYCTL_PATH) + L"\" ";
    std::replace(tool.begin(), tool.end(), L'/', L'\\');
    const std::string usage = "Usage: fnkeyctl [--service NAME] CODE\n";
    const std::string usageEnd = "registry), 2 bad arguments.\n";
    struct Case { std::wstring args; DWORD exit; std::string begins; std::string ends; size_t lines; };
    const Case cases[] = {
        // The whole table, also past the printer's limit.
        {L"--list", 0, "Code  Name                  Control\n   1  stop                  SERVICE_CONTROL_STOP\n",
         "\n 168  keyboard-layout       SVC_CTL_SET_KEYBOARD_LAYOUT\n", 28},
        {L"--help", 0, usage, usageEnd, 16},
        {L"", 2, "fnkeyctl: no control code given\n" + usage, usageEnd, 17},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(Narrow(row.args));
        const testsupport::ProcessResult result = testsupport::RunAndCapture(tool + row.args);
        const std::string& output = result.output;
        EXPECT_EQ(row.exit, result.exitCode);
        EXPECT_EQ(row.begins, output.substr(0, row.begins.size()));
        EXPECT_EQ(row.ends, output.substr(output.size() - std::min(output.size(), row.ends.size())));
        EXPECT_EQ(row.lines, size_t(std::count(output.begin(), output.end(), '\n'))) << output;
    }
}
