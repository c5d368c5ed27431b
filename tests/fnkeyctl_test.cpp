// fnkeyctl: its command line parsed on its own, and the program run against the prefix's service control manager.
#include "FnkeyctlArgs.h"
#include "support/TestSupport.h"

#include <set>

using namespace fnkeyctl;
using testsupport::Narrow;

TEST(FnkeyctlArguments, NamesNumbersAndRefusals)
{
    using A = Action;
    const std::wstring name = L"unknown control name: ", range = L"not a control code from 0 to 255: ", noName = L"--service needs a service name";
    struct Case { std::vector<std::wstring> args; Action action; std::wstring error = L""; DWORD code = 0; std::wstring service = L"OsmiraUtilityService"; };
    const Case cases[] = { // a Send (or Status) row gives no error but the code and the service
        {{L"micmute-on"}, A::Send, L"", 160}, {{L"OCR-Row"}, A::Send, L"", 157}, {{L"stop"}, A::Send, L"", 1}, {{L"0"}, A::Send},
        {{L"svc_ctl_triger_pexaro_pop_toast"}, A::Send, L"", 150}, {{L"255"}, A::Send, L"", 255}, {{L"007"}, A::Send, L"", 7},
        {{L"--service", L"Other", L"161"}, A::Send, L"", 161, L"Other"}, {{L"161", L"--service", L"Other"}, A::Send, L"", 161, L"Other"},
        {{L"--list"}, A::List}, {{L"--help"}, A::Help}, {{L"/?"}, A::Help}, {{L"-h"}, A::Help}, {{}, A::Usage, L"no control code given"},
        {{L"micmute"}, A::Usage, name + L"micmute"}, {{L""}, A::Usage, name}, {{L" 160"}, A::Usage, name + L" 160"},
        {{L"256"}, A::Usage, range + L"256"}, {{L"4294967296"}, A::Usage, range + L"4294967296"}, {{L"12a"}, A::Usage, range + L"12a"},
        {{L"-1"}, A::Usage, L"unknown option: -1"}, {{L"--bogus", L"160"}, A::Usage, L"unknown option: --bogus"},
        {{L"160", L"161"}, A::Usage, L"more than one control code: 161"}, {{L"--list", L"160"}, A::Usage, L"--list takes no control code"},
        {{L"--service"}, A::Usage, noName}, {{L"--service", L"", L"160"}, A::Usage, noName}, {{L"--service", L"Svc"}, A::Usage, L"no control code given"},
        {{L"status"}, A::Status}, {{L"Status", L"--service", L"Other"}, A::Status, L"", 0, L"Other"}, {{L"log", L"on"}, A::LogOn}, {{L"LOG", L"Off"}, A::LogOff},
        {{L"log"}, A::Usage, L"log needs on or off"}, {{L"log", L"maybe"}, A::Usage, L"log takes on or off, not: maybe"},
        {{L"log", L"on", L"off"}, A::Usage, L"log takes one word, on or off: off"}, {{L"status", L"160"}, A::Usage, L"status takes no further argument: 160"},
        {{L"160", L"status"}, A::Usage, L"more than one control code: status"}, {{L"--list", L"status"}, A::Usage, L"--list takes no command"},
    };
    for (const Case& c : cases) {
        const Arguments parsed = ParseArguments(c.args);
        SCOPED_TRACE(Narrow(c.args.empty() ? L"(none)" : c.args.front() + L" .. " + c.args.back()));
        EXPECT_EQ(c.action, parsed.action);
        EXPECT_EQ(c.error, parsed.error);
        if (c.action == A::Send || c.action == A::Status) { EXPECT_EQ(c.code, parsed.code); EXPECT_EQ(c.service, parsed.serviceName); }
    }
}

TEST(FnkeyctlArguments, EveryCustomRowOfTheServiceHasOneNameInTheList)
{
    std::set<DWORD> custom;
    std::set<std::wstring> names;
    for (const ControlName& control : KnownControls()) {
        if (control.code >= 128) custom.insert(control.code);
        EXPECT_TRUE(names.insert(control.name).second) << "twice: " << Narrow(control.name);
        EXPECT_EQ(control.code, ParseArguments({control.enumName}).code);
        EXPECT_NE(std::wstring::npos, ListText().find(L" " + std::wstring(control.name) + L" ")) << Narrow(control.name);
    }
    EXPECT_EQ((std::set<DWORD>{139, 140, 141, 142, 144, 145, 146, 147, 148, 149, 150, 151, 154, 155, 156, 157, 158, 160, 161, 163, 164, 165, 166, 167, 168}),
              custom);
    EXPECT_NE(std::wstring::npos, ListText().find(L"\n 160  micmute-on            SVC_CTL_MICMUTE_LED_ON\n"));
}

TEST(FnkeyctlProgram, ExitStatusAndOutput)
{
    std::wstring tool = L"\"Z:" + testsupport::Widen(FNKEYCTL_PATH) + L"\" ";
    std::replace(tool.begin(), tool.end(), L'/', L'\\');
    const std::string usage = Narrow(UsageText());
    struct Case { std::wstring args; DWORD exit; std::string output; bool prefix = false; };
    const Case cases[] = {
        {L"--list", 0, Narrow(ListText())}, // the whole table, also past the printer's limit
        {L"--help", 0, usage}, {L"", 2, "fnkeyctl: no control code given\n" + usage}, {L"micmute", 2, "fnkeyctl: unknown control name: micmute\n" + usage},
        {L"--service FnKeyNoSuchService micmute-on", 1, // then the system's text of the error
         "fnkeyctl: sending 160 (micmute-on) to FnKeyNoSuchService\nfnkeyctl: OpenService failed: error 1060 (", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.args));
        const testsupport::ProcessResult result = testsupport::RunAndCapture(tool + c.args);
        EXPECT_EQ(c.exit, result.exitCode);
        EXPECT_EQ(c.output, result.output.substr(0, c.prefix ? c.output.size() : std::string::npos));
    }
}
