// What the end-to-end programs share: the package installed in a fresh prefix, run as a user runs it, per case.
#pragma once

#include "FirmwareStandIn.h"
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"

namespace e2e {

using namespace testsupport;

const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const std::wstring kLogFolder = L"C:\\Windows\\Temp\\_OsmiraUtility_";
const wchar_t* const kKeyboardsWritten = L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d";

// A program of the package run with its arguments: its output, its exit code checked to be 0.
inline std::string RunPackaged(const std::wstring& program, const std::wstring& arguments)
{
    const ProcessResult result = RunAndCapture(L"\"" + kPackage + program + L"\" " + arguments);
    EXPECT_EQ(0u, result.exitCode) << Narrow(program + L" " + arguments.substr(0, 30));
    return result.output;
}

inline bool WaitForRecord(const std::wstring& pattern, DWORD timeoutMs)
{
    return WaitUntil([&] { return regtest::CountLogged(pattern) != 0; }, timeoutMs);
}

// The records of the companions that stand-ins of the name started from the folder.
inline std::vector<StandInRecord> Started(const wchar_t* name, const std::wstring& folder = kPackage)
{
    return StandInRecordsIn(folder + L".", name);
}

#ifdef FN_TEST_FIRMWARE_DLL
// The firmware stand-in serves the WMI locator; without it the service's firmware calls fail at once.
inline void ServeFirmware()
{
    const wchar_t* const locator = L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, locator, nullptr, REG_SZ, FN_TEST_FIRMWARE_DLL, sizeof FN_TEST_FIRMWARE_DLL);
}
#endif

inline void Behave(const std::wstring& classAndMethod, const wchar_t* name, DWORD data)
{
    const std::wstring key = std::wstring(firmware::kBehaviourKey) + L"\\" + classAndMethod;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_DWORD, &data, sizeof data);
}

// Logging on, no log, companion records, settings or firmware behaviour; the service installed, removed after.
class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        RemoveFolderTree(kPackage + L"records");
        ASSERT_EQ("OsmiraUtilityService is installed.\n", RunPackaged(L"OsmiraUtilityService.exe", L"-install"));
        ::DeleteFileW(kServiceLog);
    }
    RegistryTreeGuard m_behaviour{firmware::kBehaviourKey};
    RegistryTreeGuard m_settings{regkeys::kServiceKey};
    RegistryTreeGuard m_hotkeySettings{regkeys::kHotkeyKey};
    TestService m_service{L"OsmiraUtilityService", L""};
};

} // namespace e2e
