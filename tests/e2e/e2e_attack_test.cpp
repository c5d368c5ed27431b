// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md
// lists them with their guards). A row plants what the attacker can write, lets the running service meet
// it, and checks that the target is untouched; every row also requires that the service stayed RUNNING
// and still stops within a second. scripts/e2e runs this program in a fresh prefix.
#include "FirmwareStandIn.h"
#include "KeyboardStandIn.h"
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

using namespace testsupport;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const std::wstring kLogFolder = L"C:\\Windows\\Temp\\_OsmiraUtility_";

struct Attack {
    const char* name;
    // As the attacker, before the service is started; may be null.
    void (*plant)();
    // As the attacker, against the running service; may be null.
    void (*provoke)(TestService& service);
    // The attack's target is untouched and nothing was started for the attacker.
    void (*verify)();
};

// Rows: each section adds its functions above the table and its rows in it.

// A hung firmware or keyboard: the firmware stand-in serves the locator and keyboard 7A7A/0101 (in the
// defaults' list) is attached; either every firmware call or every keyboard write never ends.
void ServeHung(bool firmwareHung)
{
    const wchar_t* const locator = L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, locator, nullptr, REG_SZ, FN_TEST_FIRMWARE_DLL, sizeof FN_TEST_FIRMWARE_DLL);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, firmware::kBehaviourKey);
    for (const wchar_t* method : {L"\\OSMIRA_UTILITY_DATA\\SetFeature", L"\\OSMIRA_TELRUNE_DATA\\GetProductInfo",
                                  L"\\OSMIRA_TELRUNE_DATA\\GetVersion"}) {
        const std::wstring key = firmware::kBehaviourKey + std::wstring(method);
        const DWORD hold = firmwareHung ? firmware::kHoldForever : 0;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kHold, REG_DWORD, &hold, sizeof hold);
    }
    ASSERT_EQ(0u, kbdstandin::HoldWrites(0x7A7A, 0x0101, !firmwareHung));
    ASSERT_EQ(0u, kbdstandin::AttachKeyboard(0x7A7A, 0x0101, kPackage + FN_KBD_DRIVER_FILE));
}

// Sends a code once the keyboard list is there, and waits for the firmware to be asked for the input.
void SendWhenListed(TestService& service, DWORD code, const wchar_t* input)
{
    const std::wstring listed = std::wstring(regkeys::kKeyboardListKey) + L"\\VID_7A7A&PID_0101";
    ASSERT_TRUE(WaitUntil([&] { return regtest::KeyExists(listed); }, 20000));
    EXPECT_EQ(0u, service.Control(code));
    const auto asked = [&](const firmware::CallRecord& call) { return call.input == input; };
    EXPECT_TRUE(WaitUntil([&] { const auto calls = firmware::ReadCallRecords();
                                return std::any_of(calls.begin(), calls.end(), asked); }, 10000)) << code;
}

// The speaker call never returns, yet the mic-mute call is made and the keyboard gets its report.
void LedCodesPastAHungFirmware(TestService& service)
{
    SendWhenListed(service, 154, L"featuretype=\"4\"");
    SendWhenListed(service, 160, L"featuretype=\"1\"");
    EXPECT_TRUE(WaitUntil([] { const auto reports = kbdstandin::ReadReports(0x7A7A, 0x0101);
                               return reports == std::vector<std::vector<unsigned char>>{{9, 0x74, 2}}; }, 10000));
}

// The keyboard never takes its report, yet both mic-mute states reach the firmware.
void FirmwarePastAHungKeyboard(TestService& service)
{
    SendWhenListed(service, 160, L"featuretype=\"1\"");
    SendWhenListed(service, 161, L"featuretype=\"2\"");
    const auto missed = [](const std::wstring& record) { return regtest::RecordMatches(record,
        L"CHidKBLedInterface::SetHidKBLedStatus write not taken within 1000 ms, cancelled line:%d"); };
    EXPECT_TRUE(WaitUntil([&] { const auto records = ReadLogMessages(kLogFolder + L"\\_FnHotkeySvcUtility.log");
                                return std::any_of(records.begin(), records.end(), missed); }, 10000)) << "deadline";
    EXPECT_TRUE(kbdstandin::ReadReports(0x7A7A, 0x0101).empty());
    kbdstandin::HoldWrites(0x7A7A, 0x0101, false);
}

const Attack kAttacks[] = {
    {"placeholder", nullptr, nullptr, [] {}},
    {"HungFirmware", [] { ServeHung(true); }, &LedCodesPastAHungFirmware, [] {}},
    {"HungKeyboard", [] { ServeHung(false); }, &FirmwarePastAHungKeyboard,
     [] { EXPECT_EQ(0u, kbdstandin::DetachKeyboard(0x7A7A, 0x0101)) << "the held write ends with the keyboard"; }},
};

class AttackTable : public ::testing::TestWithParam<Attack> {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        RemoveFolderTree(kPackage + L"records");
        ASSERT_EQ(0u, RunAndCapture(L"\"" + kPackage + L"OsmiraUtilityService.exe\" -install").exitCode);
    }
    TestService m_service{kName, L""};
};

} // namespace

TEST_P(AttackTable, HoldsAndTheServiceStaysRunning)
{
    const Attack& attack = GetParam();
    if (attack.plant) attack.plant();
    ASSERT_TRUE(m_service.Start());
    if (attack.provoke) attack.provoke(m_service);
    attack.verify();
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
    EXPECT_TRUE(m_service.Stop(1000)) << "STOPPED within a second";
}

INSTANTIATE_TEST_SUITE_P(Rows, AttackTable, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& info) { return std::string(info.param.name); });
