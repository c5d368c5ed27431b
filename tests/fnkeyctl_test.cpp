// fnkeyctl: its command line parsed on its own, and the program run against the prefix's
// service control manager.
#include "FnkeyctlArgs.h"
#include "support/TestSupport.h"

#include <set>

using namespace fnkeyctl;
using testsupport::Narrow;

TEST(FnkeyctlArguments, NamesNumbersAndRefusals)
{
    const std::wstring us = L"OsmiraUtilityService", notCode = L"not a control code from 0 to 255: ";
    struct Case { std::vector<std::wstring> args; Action action; DWORD code; std::wstring service, error; };
    const Case cases[] = {
        {{L"micmute-on"}, Action::Send, 160, us, L""},
        {{L"OCR-Row"}, Action::Send, 157, us, L""},  // any letter case
        {{L"svc_ctl_triger_pexaro_pop_toast"}, Action::Send, 150, us, L""},
        {{L"stop"}, Action::Send, SERVICE_CONTROL_STOP, us, L""},
        {{L"0"}, Action::Send, 0, us, L""},
        {{L"255"}, Action::Send, 255, us, L""},
        {{L"007"}, Action::Send, 7, us, L""},
        {{L"--service", L"Other", L"161"}, Action::Send, 161, L"Other", L""},
        {{L"161", L"--service", L"Other"}, Action::Send, 161, L"Other", L""},
        {{L"--list"}, Action::List, 0, us, L""},
        {{L"--help"}, Action::Help, 0, us, L""},
        {{L"/?"}, Action::Help, 0, us, L""},
        {{L"-h"}, Action::Help, 0, us, L""},
        {{}, Action::Usage, 0, us, L"no control code given"},
        {{L"micmute"}, Action::Usage, 0, us, L"unknown control name: micmute"},
        {{L""}, Action::Usage, 0, us, L"unknown control name: "},
        {{L" 160"}, Action::Usage, 0, us, L"unknown control name:  160"},
        {{L"256"}, Action::Usage, 0, us, notCode + L"256"},
        {{L"1000"}, Action::Usage, 0, us, notCode + L"1000"},
        {{L"12a"}, Action::Usage, 0, us, notCode + L"12a"},
        {{L"-1"}, Action::Usage, 0, us, L"unknown option: -1"},
        {{L"--bogus", L"160"}, Action::Usage, 0, us, L"unknown option: --bogus"},
        {{L"160", L"161"}, Action::Usage, 160, us, L"more than one control code: 161"},
        {{L"--service"}, Action::Usage, 0, us, L"--service needs a service name"},
        {{L"--service", L"", L"160"}, Action::Usage, 0, us, L"--service needs a service name"},
        {{L"--service", L"Svc"}, Action::Usage, 0, L"Svc", L"no control code given"},
        {{L"--list", L"160"}, Action::Usage, 160, us, L"--list takes no control code"},
    };
    for (const Case& c : cases) {
        std::wstring joined;
        for (const std::wstring& arg : c.args) joined += L"[" + arg + L"]";
        SCOPED_TRACE(Narrow(joined));
        const Arguments parsed = ParseArguments(c.args);
        EXPECT_EQ(c.action, parsed.action);
        EXPECT_EQ(c.code, parsed.code);
        EXPECT_EQ(c.service, parsed.serviceName);
        EXPECT_EQ(c.error, parsed.error);
    }
}

TEST(FnkeyctlArguments, EveryCustomRowOfTheServiceHasOneNameInTheList)
{
    std::set<DWORD> named;
    std::set<std::wstring> names;
    for (const ControlName& control : KnownControls()) {
        if (control.code >= 128) named.insert(control.code);
        EXPECT_TRUE(names.insert(control.name).second) << "twice: " << Narrow(control.name);
        EXPECT_EQ(control.code, ParseArguments({control.enumName}).code);
        EXPECT_NE(std::wstring::npos, ListText().find(L" " + std::wstring(control.name) + L" "));
    }
    EXPECT_EQ((std::set<DWORD>{139, 140, 141, 142, 144, 145, 146, 147, 148, 149, 150, 151, 154, 155, 156, 157, 158, 160, 161, 163,
                               164, 165, 166, 167, 168}), named);
    EXPECT_NE(std::wstring::npos, ListText().find(L"\n 160  micmute-on            SVC_CTL_MICMUTE_LED_ON\n"));
}

TEST(FnkeyctlProgram, ExitStatusAndOutput)
{
    std::wstring tool = L"\"Z:" + testsupport::Widen(FNKEYCTL_PATH) + L"\" ";
    std::replace(tool.begin(), tool.end(), L'/', L'\\');
    const std::string usage = Narrow(UsageText());
    struct Case { std::wstring args; DWORD exit; std::string output; bool whole; };
    const Case cases[] = {
        {L"--list", 0, Narrow(ListText()), true},  // the whole table, also past the printer's limit
        {L"--help", 0, usage, true},
        {L"", 2, "fnkeyctl: no control code given\n" + usage, true},
        {L"micmute", 2, "fnkeyctl: unknown control name: micmute\n" + usage, true},
        {L"--service FnKeyNoSuchService micmute-on", 1,
         "fnkeyctl: sending 160 (micmute-on) to FnKeyNoSuchService\nfnkeyctl: OpenService failed: error 1060 (", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.args));
        const testsupport::ProcessResult result = testsupport::RunAndCapture(tool + c.args);
        EXPECT_EQ(c.exit, result.exitCode);
        EXPECT_EQ(c.output, c.whole ? result.output : result.output.substr(0, c.output.size()));
    }
}
