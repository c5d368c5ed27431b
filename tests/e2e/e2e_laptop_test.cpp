// The installed service doing its main job on a machine with the package's firmware, hotkey device and
// companions: one case a family proves the wiring (each row's effect is a unit test's, a refused companion
// the supervision test's; the LED codes' way to the firmware and the keyboards is the attack table's).
// Real waits throughout; scripts/e2e runs it in a fresh prefix.
#include "FirmwareStandIn.h"
#include "registry/RegistryKeys.h"
#include "support/Processes.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"
#include "win/Owners.h"

#include <optional>

using namespace testsupport;
using regtest::CountLogged;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const wchar_t* const kLocatorServer =
    L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";

const wchar_t* const kKeyboardsWritten = L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d";

// One field of every record that the stand-ins beside the service left for a companion.
template <typename Field>
std::vector<Field> Records(const std::wstring& name, Field StandInRecord::*field)
{
    std::vector<Field> values;
    for (const StandInRecord& record : StandInRecordsIn(kPackage + L".", name)) values.push_back(record.*field);
    return values;
}

DWORD Tool(const std::wstring& commandLine) { return RunAndCapture(commandLine).exitCode; }
std::optional<DWORD> Value(HKEY root, const wchar_t* key, const wchar_t* name)
{
    DWORD data = 0;
    DWORD size = sizeof data;
    if (::RegGetValueW(root, key, name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) return std::nullopt;
    return data;
}

// Logging on, the firmware stand-in serving the WMI locator, the service installed.
class Laptop : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        ::DeleteFileW(kServiceLog);
        RemoveFolderTree(kPackage + L"records");
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kLocatorServer, nullptr, REG_SZ, FN_TEST_FIRMWARE_DLL,
                          sizeof FN_TEST_FIRMWARE_DLL);
        ASSERT_EQ(0u, Tool(L"\"" + kPackage + L"OsmiraUtilityService.exe\" -install"));
    }
    void Behave(const std::wstring& subKey, DWORD data, const wchar_t* name = L"Data")
    {
        const std::wstring key = std::wstring(firmware::kBehaviourKey) + L"\\" + firmware::kTelruneClass + subKey;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_DWORD, &data, sizeof data);
    }
    TestService m_service{kName, L""};
    RegistryTreeGuard m_behaviour{firmware::kBehaviourKey};
    RegistryTreeGuard m_settings{regkeys::kServiceKey};
};

} // namespace

// Both companions start in the console session, the lock indicator hidden; an action code starts it with
// its switch (its show state is the supervision test's); a stop within a second ends them.
TEST_F(Laptop, CompanionsStartAndEndWithTheService)
{
    ASSERT_TRUE(m_service.Start());
    const auto started = [](const wchar_t* name) { return Records(name, &StandInRecord::sessionId); };
    ASSERT_TRUE(WaitUntil([&] { return started(L"FnKeyAgent.exe").size() == 1; }, 20000));
    ASSERT_TRUE(WaitUntil([&] { return started(L"FnKeyLockOsd.exe").size() == 1; }, 20000));
    EXPECT_EQ(std::vector<DWORD>{1}, started(L"FnKeyLockOsd.exe"));
    EXPECT_EQ(std::vector<DWORD>{1}, started(L"FnKeyAgent.exe"));
    EXPECT_EQ(std::vector<DWORD>{SW_HIDE}, Records(L"FnKeyLockOsd.exe", &StandInRecord::showWindow)) << "hidden";
    EXPECT_EQ(std::vector<DWORD>{0}, Records(L"FnKeyAgent.exe", &StandInRecord::startupFlags)) << "no show state";

    EXPECT_EQ(0u, m_service.Control(163));
    const auto airplaneStarted = [&] {
        const auto lines = Records(L"FnKeyLockOsd.exe", &StandInRecord::commandLine);
        return std::count(lines.begin(), lines.end(), L" -SWITCH_AIRPLANE") == 1;
    };
    ASSERT_TRUE(WaitUntil(airplaneStarted, 10000));

    ASSERT_TRUE(m_service.Stop(1000)) << "STOPPED within a second";
    const auto ended = [] { return ProcessIds(L"FnKeyAgent.exe").empty() && ProcessIds(L"FnKeyLockOsd.exe").empty(); };
    EXPECT_TRUE(WaitUntil(ended, 5000)) << "companions ended";
}

// A gaming product (type 101) switches the lock indicators off in the machine's keys and in the hive of
// the user the service sees.
TEST_F(Laptop, ProductInformationBecomesSettings)
{
    using namespace regkeys;
    const wchar_t* const userKey = L"SOFTWARE\\Osmira\\OsmiraUtility\\ControlShowOSD";
    for (const wchar_t* key : {kToastKey, kOsdKey}) regtest::CreateKey(key);
    const DWORD shown = 7;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd, REG_DWORD, &shown, sizeof shown);
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd, REG_DWORD, &shown, sizeof shown);
    ::RegSetKeyValueW(HKEY_CURRENT_USER, userKey, kShowCapsNumlkOsd, REG_DWORD, &shown, sizeof shown);
    Behave(L"\\GetProductInfo", 101);
    Behave(L"\\GetVersion", static_cast<DWORD>(-5));
    ASSERT_TRUE(m_service.Start());
    EXPECT_TRUE(WaitUntil([&] {
        return CountLogged(L"InstallRegHelper StartAddRegHelper done.") == 1
            && Value(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine) == 1u
            && Value(HKEY_LOCAL_MACHINE, kCapabilityKey, kGameMachineVersion) == 0u;
    }, 20000));
    ASSERT_TRUE(m_service.Stop());
    EXPECT_EQ(0u, Value(HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd));
    EXPECT_EQ(0u, Value(HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd));
    EXPECT_EQ(0u, Value(HKEY_CURRENT_USER, userKey, kShowCapsNumlkOsd)) << "the hive the service sees";
    EXPECT_EQ(1u, CountLogged(L" service check:[0]")) << "no hotkey device on this machine";
    ::RegDeleteTreeW(HKEY_CURRENT_USER, userKey);
}

TEST_F(Laptop, PackageRemovesItselfWhenTheHotkeyDeviceGoes)
{
    // The hotkey id among the compatible ids only.
    ASSERT_EQ(0u, Tool(FN_TEST_DEVICE_TOOL L" create --compatible"));
    TestService package(L"OsmiraFnAndFunctionKeys", L"\"" + kPackage + L"keyapp.exe\"");
    const DWORD kept = 1;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Osmira\\Hotkey", L"Kept", REG_DWORD, &kept, sizeof kept);
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitUntil([] { return CountLogged(kKeyboardsWritten) == 1; }, 20000));
    ASSERT_EQ(0u, Tool(FN_TEST_DEVICE_TOOL L" touch"));
    const auto checked = [] { return CountLogged(L" service check:[%d]") > 0; };
    EXPECT_FALSE(WaitUntil(checked, 3000)) << "a touched device stays watched";

    ASSERT_EQ(0u, Tool(FN_TEST_DEVICE_TOOL L" remove"));
    const auto uninstalling = [] {
        return CountLogged(L" service check:[1]") == 1 && CountLogged(L" service will Uninstall ") == 1;
    };
    EXPECT_TRUE(WaitUntil(uninstalling, 20000));
    const auto settingsGone = [] {
        return !regtest::KeyExists(regkeys::kHotkeyKey) && !regtest::KeyExists(regkeys::kServiceKey);
    };
    EXPECT_TRUE(WaitUntil(settingsGone, 10000));
    const auto userSettingsGone = [] {
        win::UniqueRegKey user;
        const LONG opened = ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Osmira\\Hotkey", 0, KEY_READ, user.put());
        return opened == ERROR_FILE_NOT_FOUND;
    };
    EXPECT_TRUE(WaitUntil(userSettingsGone, 10000));
    EXPECT_TRUE(WaitUntil([&] { return !package.Installed(); }, 10000)) << "marked for deletion";
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
}
