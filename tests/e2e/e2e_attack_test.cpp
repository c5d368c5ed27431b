// Attacks that an unprivileged user can play against the installed service, one row each (SECURITY.md
// lists them with their guards). A row plants what the attacker can write, lets the running service meet
// it, and checks that the target is untouched; every row also requires that the service stayed RUNNING
// and still stops within a second. scripts/e2e runs this program in a fresh prefix.
#include "FirmwareStandIn.h"
#include "registry/DeviceWatch.h"
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

// The service path and the device check.
namespace pathanddevice {

const std::wstring kProgramExe = L"C:\\Program.exe";
const std::wstring kLog = kLogFolder + L"\\_FnHotkeySvcUtility.log";
const wchar_t* const kRemoval = L" service will Uninstall ";

const std::wstring kDeviceTool = L"\"" + ModuleFolder() + L"\\..\\..\\tools\\devices\\fn_hotkey_device.exe\" ";
bool Logged(const wchar_t* start) { return HasRecord(ReadLogMessages(kLog), start, true); }
DWORD Device(const wchar_t* verb) { return RunAndCapture(kDeviceTool + verb).exitCode; }

// A stand-in that records itself where the manager would find it for an unquoted path with a space.
void PlantProgramExe() { ASSERT_TRUE(::CopyFileW((kPackage + L"keyapp.exe").c_str(), kProgramExe.c_str(), FALSE)); }

void ProgramExeNeverStarted()
{
    EXPECT_TRUE(StandInRecordsIn(L"C:\\").empty());
    ::DeleteFileW(kProgramExe.c_str());
}

// The device stays registered for the later rows; their services watch it untouched.
void PlantDevice()
{
    ::DeleteFileW(kLog.c_str());
    ASSERT_EQ(0u, Device(L"create"));
    ASSERT_TRUE(WaitUntil([] { return FindHotkeyDevice(nullptr) != FALSE; }, 9000)) << "taken up by plug and play";
}

// Its record unreadable to the device list (values can still be set), touched until the watch decides.
void UnreadableDeviceRecord(TestService&)
{
    const regtest::KeyAccessGuard unlisted(L"System\\CurrentControlSet\\Enum\\ACPI\\ZNT4082\\0",
                                           L"D:(A;;0x6001B;;;WD)");
    const auto decided = [] { return Logged(L"_Thread_HotkeyDeviceWatch check undecided") || Logged(kRemoval); };
    EXPECT_TRUE(WaitUntil([&] { return Device(L"touch") == 0 && decided(); }, 20000, 500));
}

void PackageKept()
{
    EXPECT_FALSE(Logged(kRemoval));
    EXPECT_TRUE(regtest::KeyExists(regkeys::kServiceKey));
}

} // namespace pathanddevice

const Attack kAttacks[] = {
    {"placeholder", nullptr, nullptr, [] {}},
    {"unquoted_service_path", pathanddevice::PlantProgramExe, nullptr, pathanddevice::ProgramExeNeverStarted},
    {"device_check_failure", pathanddevice::PlantDevice, pathanddevice::UnreadableDeviceRecord,
     pathanddevice::PackageKept},
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
