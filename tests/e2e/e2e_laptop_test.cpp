// The installed service on a laptop with the package's firmware, hotkey device and companions: one case a family
// proves the wiring (the LED codes' way to the firmware is the attack table's).
#include "Installed.h"
#include "KeyboardStandIn.h"

using namespace e2e;

// The companions start 8 s after the start and once through the supervision window; both mic-mute states reach each
// keyboard as its collection's report, padded with zeros. (A launch code's switch: the attack table's presses; the stop
// that ends the companions: the utility service's unit test; the console session: the launch ways' unit test.)
TEST_F(Installed, CompanionsStartAndTheMicMuteReachesEachKeyboard)
{
    const struct Keyboard {
        unsigned vendor, product;
        size_t reportLength;
    } keyboards[] = {{0x7A7A, 0x0101, 3}, {0x7B7B, 0x0201, FN_KBD_LONG_REPORT_BYTES}};
    for (const Keyboard& keyboard : keyboards) {
        ASSERT_EQ(0u, kbdstandin::AttachKeyboard(keyboard.vendor, keyboard.product, kPackage + FN_KBD_DRIVER_FILE));
    }
    ULARGE_INTEGER asked = {};
    ::GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&asked));
    ASSERT_TRUE(m_service.Start());
    for (const wchar_t* name : {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe"}) {
        ASSERT_TRUE(WaitUntil([&] { return !Started(name).empty(); }, 20000)) << Narrow(name);
        EXPECT_GE(Started(name).at(0).startTime, asked.QuadPart + 80000000) << "8 s after the start: " << Narrow(name);
    }
    for (const DWORD code : {160, 161}) {
        EXPECT_EQ(0u, m_service.Control(code));
        for (const Keyboard& keyboard : keyboards) {
            std::vector<std::vector<unsigned char>> reports = {{0x09, 0x74, 0x02}, {0x09, 0x74, 0x01}};
            reports.resize(code - 159);
            for (std::vector<unsigned char>& report : reports) report.resize(keyboard.reportLength);
            WaitUntil([&] { return kbdstandin::ReadReports(keyboard.vendor, keyboard.product) == reports; }, 10000);
            EXPECT_EQ(reports, kbdstandin::ReadReports(keyboard.vendor, keyboard.product))
                << std::hex << keyboard.vendor << "/" << keyboard.product << " after code " << std::dec << code;
        }
    }
    EXPECT_TRUE(WaitForRecord(L"_ThreadCheckRunningAndLaunch  exit,line:%d", 60000)) << "the supervision window's end";
    EXPECT_EQ(1u, Started(L"FnKeyAgent.exe").size());
    EXPECT_EQ(1u, Started(L"FnKeyLockOsd.exe").size());
}

// A gaming product (type 101) is recorded and switches the lock indicators off in the hive of the user it sees (the
// test's user: the console user).
TEST_F(Installed, ProductInformationBecomesSettings)
{
    using namespace regkeys;
    const wchar_t* const userKey = L"SOFTWARE\\Osmira\\OsmiraUtility\\ControlShowOSD";
    const DWORD shown = 7;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, userKey, kShowCapsNumlkOsd, REG_DWORD, &shown, sizeof shown);
    ServeFirmware();
    Behave(std::wstring(firmware::kTelruneClass) + L"\\GetProductInfo", L"Data", 101);
    ASSERT_TRUE(m_service.Start());
    const auto recorded = [] { return ReadDword(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine) == 1u; };
    EXPECT_TRUE(WaitUntil(recorded, 20000));
    EXPECT_TRUE(WaitUntil([&] { return ReadDword(HKEY_CURRENT_USER, userKey, kShowCapsNumlkOsd) == 0u; }, 5000));
    ::RegDeleteTreeW(HKEY_CURRENT_USER, userKey);
}

// The hotkey id among the compatible ids only. Removed and restored within a second, the device keeps the package
// (a removal counts when a second look, 3 s later, misses it too); removed for good, it takes the package and its
// settings.
TEST_F(Installed, PackageRemovesItselfWhenTheHotkeyDeviceGoes)
{
    ASSERT_EQ(0u, RunAndCapture(FN_TEST_DEVICE_TOOL L" create --compatible").exitCode);
    TestService package(L"OsmiraFnAndFunctionKeys", L"\"" + kPackage + L"keyapp.exe\"");
    const wchar_t* const userSettings = L"Software\\Osmira\\Hotkey";
    const DWORD kept = 1;
    ::RegSetKeyValueW(HKEY_CURRENT_USER, userSettings, L"Kept", REG_DWORD, &kept, sizeof kept);
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitForRecord(kKeyboardsWritten, 20000));
    const double removed = Now();
    ASSERT_EQ(0u, RunAndCapture(FN_TEST_DEVICE_TOOL L" remove").exitCode);
    EXPECT_TRUE(WaitForRecord(L"_Thread_HotkeyDeviceWatch device missing, looking again in 3000 ms", 10000));
    ASSERT_EQ(0u, RunAndCapture(FN_TEST_DEVICE_TOOL L" create --compatible").exitCode);
    EXPECT_LT(Now() - removed, 1.0) << "restored within a second";
    EXPECT_TRUE(WaitForRecord(L"_Thread_HotkeyDeviceWatch device back on the second look; the package stays", 10000));
    EXPECT_TRUE(regtest::KeyExists(regkeys::kHotkeyKey) && regtest::KeyExists(regkeys::kServiceKey));
    EXPECT_TRUE(ReadDword(HKEY_CURRENT_USER, userSettings, L"Kept") && package.Installed());
    ASSERT_EQ(0u, RunAndCapture(FN_TEST_DEVICE_TOOL L" remove").exitCode);
    const auto settingsGone = [&] {
        return !regtest::KeyExists(regkeys::kHotkeyKey) && !regtest::KeyExists(regkeys::kServiceKey)
            && !ReadDword(HKEY_CURRENT_USER, userSettings, L"Kept");
    };
    EXPECT_TRUE(WaitUntil(settingsGone, 20000));
    EXPECT_TRUE(WaitUntil([&] { return !package.Installed(); }, 10000)) << "marked for deletion";
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
}
