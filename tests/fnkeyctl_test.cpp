// fnkeyctl: its command line, parsed on its own, and the program itself run against the
// prefix's service control manager.
#include "FnkeyctlArgs.h"
#include "service/ControlCodes.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <set>

using namespace fnkeyctl;

namespace {

Arguments Parse(std::vector<std::wstring> args) { return ParseArguments(args); }

std::wstring ToolPath()
{
    std::wstring path = L"Z:" + testsupport::Widen(FNKEYCTL_PATH);
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

testsupport::ProcessResult RunTool(const std::wstring& arguments)
{
    return testsupport::RunAndCapture(L"\"" + ToolPath() + L"\" " + arguments);
}

} // namespace

TEST(FnkeyctlArguments, NamesNumbersAndControlNamesSelectTheCode)
{
    const Arguments byName = Parse({L"micmute-on"});
    EXPECT_EQ(Action::Send, byName.action);
    EXPECT_EQ(static_cast<DWORD>(SVC_CTL_MICMUTE_LED_ON), byName.code);
    EXPECT_EQ(L"OsmiraUtilityService", byName.serviceName);

    EXPECT_EQ(static_cast<DWORD>(SVC_CTL_SEND_UI_CAPSLOCK_ON), Parse({L"capslock-on"}).code);
    EXPECT_EQ(static_cast<DWORD>(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON), Parse({L"pexaro-capslock-on"}).code);
    EXPECT_EQ(static_cast<DWORD>(SVC_CTL_OCR_CAPABILITY_PRC), Parse({L"ocr-prc"}).code);
    EXPECT_EQ(static_cast<DWORD>(SVC_CTL_OCR_CAPABILITY_ROW), Parse({L"OCR-Row"}).code) << "any letter case";
    EXPECT_EQ(static_cast<DWORD>(SVC_CTL_TRIGER_PEXARO_POP_TOAST), Parse({L"svc_ctl_triger_pexaro_pop_toast"}).code);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_CONTROL_STOP), Parse({L"stop"}).code);

    for (const wchar_t* number : {L"0", L"160", L"255", L"007"}) {
        const Arguments parsed = Parse({number});
        EXPECT_EQ(Action::Send, parsed.action) << testsupport::Narrow(number);
        EXPECT_EQ(static_cast<DWORD>(std::wcstoul(number, nullptr, 10)), parsed.code);
    }

    const Arguments other = Parse({L"--service", L"OtherService", L"161"});
    EXPECT_EQ(Action::Send, other.action);
    EXPECT_EQ(161u, other.code);
    EXPECT_EQ(L"OtherService", other.serviceName);
    EXPECT_EQ(L"OtherService", Parse({L"161", L"--service", L"OtherService"}).serviceName);
}

TEST(FnkeyctlArguments, BadInputIsRefusedWithAReason)
{
    const std::vector<std::vector<std::wstring>> bad = {
        {},                       // no argument
        {L"micmute"},             // unknown name
        {L"256"},                 // outside 0..255
        {L"1000"},
        {L"-1"},
        {L"12a"},                 // not a number
        {L"0x10"},
        {L" 160"},
        {L""},
        {L"160", L"161"},         // two codes
        {L"--service"},           // name missing
        {L"--service", L"", L"160"},
        {L"--service", L"Svc"},   // code missing
        {L"--bogus", L"160"},
        {L"--list", L"160"},
    };
    for (const auto& args : bad) {
        std::wstring joined;
        for (const auto& arg : args) joined += L"[" + arg + L"]";
        const Arguments parsed = Parse(args);
        EXPECT_EQ(Action::Usage, parsed.action) << testsupport::Narrow(joined);
        EXPECT_FALSE(parsed.error.empty()) << testsupport::Narrow(joined);
    }
    EXPECT_EQ(L"unknown control name: micmute", Parse({L"micmute"}).error);
    EXPECT_EQ(L"not a control code from 0 to 255: 256", Parse({L"256"}).error);
    EXPECT_EQ(L"no control code given", Parse({}).error);
}

TEST(FnkeyctlArguments, ListAndHelp)
{
    EXPECT_EQ(Action::List, Parse({L"--list"}).action);
    EXPECT_EQ(Action::Help, Parse({L"--help"}).action);
    EXPECT_EQ(Action::Help, Parse({L"/?"}).action);
}

TEST(FnkeyctlNames, EveryCustomRowOfTheServiceHasExactlyOneName)
{
    const std::set<DWORD> rows = {139, 140, 141, 142, 144, 145, 146, 147, 148, 149, 150, 151, 154,
                                  155, 156, 157, 158, 160, 161, 163, 164, 165, 166, 167, 168};
    std::set<DWORD> named;
    std::set<std::wstring> names;
    for (const ControlName& control : KnownControls()) {
        if (control.code >= 128) named.insert(control.code);
        EXPECT_TRUE(names.insert(control.name).second) << "duplicate " << testsupport::Narrow(control.name);
        EXPECT_EQ(control.code, Parse({control.name}).code);
        EXPECT_EQ(control.code, Parse({control.enumName}).code);
    }
    EXPECT_EQ(rows, named);
    // Every name shows in the list.
    const std::wstring list = ListText();
    for (const ControlName& control : KnownControls()) {
        EXPECT_NE(std::wstring::npos, list.find(L" " + std::wstring(control.name) + L" "))
            << testsupport::Narrow(control.name);
    }
    EXPECT_NE(std::wstring::npos, list.find(L" 160  micmute-on            SVC_CTL_MICMUTE_LED_ON\n"))
        << testsupport::Narrow(list);
}

TEST(FnkeyctlProgram, ListsTheCodesAndExitsZero)
{
    const testsupport::ProcessResult result = RunTool(L"--list");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ(testsupport::Narrow(ListText()), result.output) << "the whole table, also past the printer's limit";
}

TEST(FnkeyctlProgram, BadArgumentsPrintTheUsageAndExitTwo)
{
    for (const wchar_t* args : {L"", L"nonsense", L"300", L"--service"}) {
        const testsupport::ProcessResult result = RunTool(args);
        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(2u, result.exitCode) << testsupport::Narrow(args);
        EXPECT_NE(std::string::npos, result.output.find("Usage: fnkeyctl [--service NAME] CODE")) << result.output;
    }
    const testsupport::ProcessResult unknown = RunTool(L"micmute");
    EXPECT_EQ(0u, unknown.output.find("fnkeyctl: unknown control name: micmute\n")) << unknown.output;
}

TEST(FnkeyctlProgram, ReportsTheManagersRefusalWithNumberAndText)
{
    const testsupport::ProcessResult result = RunTool(L"--service FnKeyNoSuchService micmute-on");
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(1u, result.exitCode);
    EXPECT_EQ(0u, result.output.find("fnkeyctl: sending 160 (micmute-on) to FnKeyNoSuchService\n"
                                     "fnkeyctl: OpenService failed: error 1060 ("))
        << result.output;
}
