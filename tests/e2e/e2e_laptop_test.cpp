// The installed service doing its main job on a machine with the package's firmware, hotkey
// device and companions: the companions started and supervised, an unsigned companion
// refused, the product information recorded, and the package removing itself when the hotkey
// device goes. Real waits throughout; scripts/e2e runs it in a fresh prefix.
#include "FirmwareStandIn.h"
#include "KeyboardStandIn.h"
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"
#include "support/StandIns.h"
#include "win/Owners.h"

#include <tlhelp32.h>

#include <optional>

using namespace testsupport;

namespace {

const wchar_t* const kName = L"OsmiraUtilityService";
const std::wstring kPackage = L"C:\\Program Files\\Osmira\\FnKey\\";
const std::wstring kLog = L"C:\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility.log";
const wchar_t* const kLocatorServer = L"Software\\Classes\\CLSID\\{4590F811-1D3A-11D0-891F-00AA004B2E24}\\InprocServer32";

size_t Count(const std::wstring& pattern)
{
    const std::vector<std::wstring> records = ReadLogMessages(kLog);
    return std::count_if(records.begin(), records.end(), [&](const std::wstring& r) { return regtest::RecordMatches(r, pattern); });
}

// One field of every record that the stand-ins beside the service left for a companion.
template <typename T>
std::vector<T> Records(const std::wstring& name, T StandInRecord::*field)
{
    std::vector<T> values;
    for (const StandInRecord& record : StandInRecordsIn(kPackage + L".", name)) values.push_back(record.*field);
    return values;
}

// Processes of the name anywhere on the machine, whoever started them.
size_t Running(const wchar_t* name)
{
    const win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    size_t count = 0;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
        count += _wcsicmp(entry.szExeFile, name) == 0;
    }
    return count;
}

DWORD Tool(const std::wstring& commandLine) { return RunAndCapture(commandLine).exitCode; }
std::optional<DWORD> Value(HKEY root, const wchar_t* key, const wchar_t* name)
{
    DWORD data = 0, size = 4;
    if (::RegGetValueW(root, key, name, RRF_RT_REG_DWORD, nullptr, &data, &size) != ERROR_SUCCESS) return std::nullopt;
    return data;
}

// Logging on, the firmware stand-in serving the WMI locator, the service installed.
class Laptop : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetLogSwitch(true);
        ::DeleteFileW(kLog.c_str());
        RemoveFolderTree(kPackage + L"records");
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kLocatorServer, nullptr, REG_SZ, FN_TEST_FIRMWARE_DLL,
                          sizeof FN_TEST_FIRMWARE_DLL);
        ASSERT_EQ(0u, Tool(L"\"" + kPackage + L"OsmiraUtilityService.exe\" -install"));
    }
    void Behave(const std::wstring& subKey, DWORD data, const wchar_t* name = L"Data")
    {
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(firmware::kBehaviourKey) + L"\\" + firmware::kTelruneClass + subKey).c_str(),
                          name, REG_DWORD, &data, sizeof data);
    }
    TestService m_service{kName, L""};
    RegistryTreeGuard m_behaviour{firmware::kBehaviourKey}, m_settings{regkeys::kServiceKey};
};

} // namespace

TEST_F(Laptop, CompanionsStartAfterTheWaitAndAreSupervisedUntilTheStop)
{
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitUntil([] { return Records(L"FnKeyAgent.exe", &StandInRecord::sessionId).size() == 1 && Records(L"FnKeyLockOsd.exe", &StandInRecord::sessionId).size() == 1; }, 20000));
    EXPECT_EQ(std::vector<DWORD>{1}, Records(L"FnKeyLockOsd.exe", &StandInRecord::sessionId));
    EXPECT_EQ(std::vector<DWORD>{1}, Records(L"FnKeyAgent.exe", &StandInRecord::sessionId));
    EXPECT_EQ(std::vector<DWORD>{SW_HIDE}, Records(L"FnKeyLockOsd.exe", &StandInRecord::showWindow)) << "hidden";
    EXPECT_EQ(std::vector<DWORD>{0}, Records(L"FnKeyAgent.exe", &StandInRecord::startupFlags)) << "no show state";

    // A second agent during the supervision window: only the newest one stays.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    win::UniqueProcessInformation second;
    ASSERT_TRUE(::CreateProcessW((kPackage + L"FnKeyAgent.exe").c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, second.put()));
    EXPECT_TRUE(WaitUntil([] { return Count(L"_ThreadCheckRunningUtility::RunningProcess2 count:1, line:1091") == 1; }, 6000));
    EXPECT_EQ(WAIT_TIMEOUT, ::WaitForSingleObject(second.get().hProcess, 0)) << "the newest agent survives";

    ASSERT_TRUE(WaitUntil([] { return Count(L"_ThreadCheckRunningAndLaunch  exit,line:158") == 1; }, 40000));
    EXPECT_EQ(15u, Count(L"_ThreadCheckRunningAndLaunch run times leave:%d"));
    EXPECT_EQ(15u, Count(L"_ThreadCheckRunningUtility run times leave:%d"));
    EXPECT_EQ(1u, Count(L"CUtilityService launch hotkey by ServiceWorkerThread  error: %d\n"));

    // One action code of each way: hidden with its switch, and screen snipping shown.
    for (const auto& [code, switchText, shown] : {std::tuple{163u, L" -SWITCH_AIRPLANE", DWORD(SW_HIDE)}, {158u, L" -CSREENCUT", DWORD(SW_SHOW)}}) {
        EXPECT_EQ(0u, m_service.Control(code));
        EXPECT_TRUE(WaitUntil([&, switchText = switchText] { const auto lines = Records(L"FnKeyLockOsd.exe", &StandInRecord::commandLine);
                                    return std::count(lines.begin(), lines.end(), switchText) == 1; }, 10000)) << code;
        const auto lines = Records(L"FnKeyLockOsd.exe", &StandInRecord::commandLine);
        const auto shows = Records(L"FnKeyLockOsd.exe", &StandInRecord::showWindow);
        EXPECT_EQ(shown, shows[std::find(lines.begin(), lines.end(), switchText) - lines.begin()]) << code;
    }

    ASSERT_TRUE(m_service.Stop(1000)) << "STOPPED within a second";
    EXPECT_TRUE(WaitUntil([] { return Running(L"FnKeyAgent.exe") + Running(L"FnKeyLockOsd.exe") == 0; }, 5000)) << "companions ended";
}

TEST_F(Laptop, UnsignedCompanionIsRefusedWithTheValidationCode)
{
    ASSERT_TRUE(::CopyFileW(FN_TEST_UNSIGNED_AGENT, (kPackage + L"FnKeyAgent.exe").c_str(), FALSE));
    ASSERT_TRUE(m_service.Start());
    EXPECT_TRUE(WaitUntil([] { return Count(L"LaunchFnKeyAgentProcess::OsmiraAssemblyValidation ValidateAssembly,name:FnKeyAgent.exe, code:2") == 1; }, 20000));
    EXPECT_FALSE(WaitUntil([] { return !Records(L"FnKeyAgent.exe", &StandInRecord::sessionId).empty(); }, 5000)) << "no launch after it";
    EXPECT_TRUE(m_service.Stop());
}

TEST_F(Laptop, ProductInformationBecomesSettings)
{
    using namespace regkeys;
    const wchar_t* const userKey = L"SOFTWARE\\Osmira\\OsmiraUtility\\ControlShowOSD";
    const struct Case { DWORD type; std::optional<DWORD> userChanged, game, indicators; } cases[] = {
        {101, std::nullopt, 1, 0}, {100, 1, 1, 7}, {103, std::nullopt, 0, 7}, {0, std::nullopt, std::nullopt, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
        ::DeleteFileW(kLog.c_str());
        for (const wchar_t* key : {kToastKey, kOsdKey}) regtest::CreateKey(key);
        const DWORD seven = 7;
        for (const auto& [root, key, name] : {std::tuple{HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd}, {HKEY_LOCAL_MACHINE, kToastKey, kShowNumlkOsd},
                                             {HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd}, {HKEY_CURRENT_USER, userKey, kShowCapsNumlkOsd}}) {
            ::RegSetKeyValueW(root, key, name, REG_DWORD, &seven, 4);
        }
        if (c.userChanged) ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk, REG_DWORD, &*c.userChanged, 4);
        Behave(L"\\GetProductInfo", c.type);
        Behave(L"\\GetVersion", static_cast<DWORD>(-5));
        if (!c.game) Behave(L"", 0, L"Instances"); // a machine without the class
        ASSERT_TRUE(m_service.Start());
        const std::wstring ended = c.game ? L"InstallRegHelper StartAddRegHelper done." : L"_Thread_CheckProductVersion  Get ProductVersion Object failed Line: %d  GetLastError: %d";
        EXPECT_TRUE(WaitUntil([&] { return Count(ended) == 1 && Value(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine) == c.game &&
                                           (!c.game || Value(HKEY_LOCAL_MACHINE, kCapabilityKey, kGameMachineVersion) == 0u); }, 20000));
        ASSERT_TRUE(m_service.Stop());
        EXPECT_EQ(c.indicators, Value(HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd));
        EXPECT_EQ(c.indicators, Value(HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd));
        EXPECT_EQ(c.indicators, Value(HKEY_CURRENT_USER, userKey, kShowCapsNumlkOsd)) << "the hive the service sees";
        EXPECT_EQ(1u, Count(L" service check:[0]")) << "no hotkey device on this machine";
    }
    ::RegDeleteTreeW(HKEY_CURRENT_USER, userKey);
}

TEST_F(Laptop, PackageRemovesItselfWhenTheHotkeyDeviceGoes)
{
    ASSERT_EQ(0u, Tool(FN_TEST_DEVICE_TOOL L" create --compatible")) << "the hotkey id among the compatible ids only";
    TestService package(L"OsmiraFnAndFunctionKeys", L"\"" + kPackage + L"keyapp.exe\"");
    ::RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Osmira\\Hotkey", L"Kept", REG_DWORD, &package, 4);
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitUntil([] { return Count(L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d") == 1; }, 20000));
    ASSERT_EQ(0u, Tool(FN_TEST_DEVICE_TOOL L" touch"));
    EXPECT_FALSE(WaitUntil([] { return Count(L" service check:[%d]") > 0; }, 3000)) << "a touched device stays watched";

    ASSERT_EQ(0u, Tool(FN_TEST_DEVICE_TOOL L" remove"));
    EXPECT_TRUE(WaitUntil([] { return Count(L" service check:[1]") == 1 && Count(L" service will Uninstall ") == 1; }, 20000));
    EXPECT_TRUE(WaitUntil([] { return !regtest::KeyExists(regkeys::kHotkeyKey) && !regtest::KeyExists(regkeys::kServiceKey); }, 10000));
    EXPECT_TRUE(WaitUntil([] { win::UniqueRegKey user;
                               return ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Osmira\\Hotkey", 0, KEY_READ, user.put()) == ERROR_FILE_NOT_FOUND; }, 10000));
    EXPECT_TRUE(WaitUntil([&] { return !package.Installed(); }, 10000)) << "marked for deletion";
    EXPECT_EQ(DWORD(SERVICE_RUNNING), m_service.Status().dwCurrentState);
}

TEST_F(Laptop, LedCodesReachTheFirmwareAndTheRegisteredKeyboardsOnly)
{
    const std::wstring driver = kPackage + FN_KBD_DRIVER_FILE;
    // 0101 is registered by the defaults; 1010 only looks like it ("101" in its path); 0202 is
    // registered while the service runs.
    for (unsigned product : {0x0101u, 0x1010u, 0x0202u}) ASSERT_EQ(0u, kbdstandin::AttachKeyboard(0x7A7A, product, driver));
    ASSERT_TRUE(m_service.Start());
    ASSERT_TRUE(WaitUntil([] { return Count(L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d") == 1; }, 20000));
    regtest::CreateKey(std::wstring(regkeys::kKeyboardListKey) + L"\\VID_7A7A&PID_0202");
    // A keyboard connect before any mic-mute code replays "not muted"; one right after 160 replays "muted".
    const struct Case { DWORD code; const wchar_t* input; std::vector<unsigned char> report; } cases[] = {
        {151, L"featuretype=\"2\"", {0x09, 0x74, 0x01}}, {160, L"featuretype=\"1\"", {0x09, 0x74, 0x02}},
        {151, L"featuretype=\"1\"", {0x09, 0x74, 0x02}}, {161, L"featuretype=\"2\"", {0x09, 0x74, 0x01}},
        {154, L"featuretype=\"4\"", {}}, {155, L"featuretype=\"5\"", {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const size_t calls = firmware::ReadCallRecords().size();
        // Counted before the code: the keyboards may be written before the firmware's call shows.
        const size_t reportsBefore[] = {kbdstandin::ReadReports(0x7A7A, 0x0101).size(), kbdstandin::ReadReports(0x7A7A, 0x0202).size()};
        EXPECT_EQ(0u, m_service.Control(c.code));
        EXPECT_TRUE(WaitUntil([&] { const auto records = firmware::ReadCallRecords();
                                    return records.size() > calls && records.back().input == c.input; }, 10000));
        if (c.report.empty()) continue;
        for (unsigned product : {0x0101u, 0x0202u}) {
            const size_t before = reportsBefore[product == 0x0202u];
            EXPECT_TRUE(WaitUntil([&] { const auto reports = kbdstandin::ReadReports(0x7A7A, product);
                                        return reports.size() > before && reports.back() == c.report; }, 10000)) << product;
        }
    }

    // A burst while the firmware holds its first call: at most one call per 2-s worker pass, the
    // last code's state in the end, and a code after the burst still arrives.
    const std::wstring setFeature = std::wstring(firmware::kBehaviourKey) + L"\\" + firmware::kUtilityClass + L"\\SetFeature";
    const DWORD hold = 1;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, setFeature.c_str(), firmware::kHold, REG_DWORD, &hold, 4);
    const win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, firmware::kReleaseEvent));
    const size_t callsBefore = firmware::ReadCallRecords().size();
    const ULONGLONG burstStart = ::GetTickCount64();
    for (int i = 0; i < 1000; ++i) m_service.Control(i % 2 == 0 ? 160 : 161);
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, setFeature.c_str(), firmware::kHold);
    ::SetEvent(release.get());
    EXPECT_TRUE(WaitUntil([] { return firmware::ReadLedState(firmware::kMicMuteLed) == 0 &&
                                      kbdstandin::ReadReports(0x7A7A, 0x0101).back() == std::vector<unsigned char>{0x09, 0x74, 0x01}; }, 20000));
    const size_t burstCalls = firmware::ReadCallRecords().size() - callsBefore;
    EXPECT_LE(burstCalls, (::GetTickCount64() - burstStart) / 2000 + 2) << "one call per worker pass at most";
    EXPECT_EQ(0u, m_service.Control(160));
    EXPECT_TRUE(WaitUntil([] { return firmware::ReadLedState(firmware::kMicMuteLed) == 1; }, 10000)) << "nothing lost after the burst";
    EXPECT_TRUE(kbdstandin::ReadReports(0x7A7A, 0x1010).empty()) << "the look-alike is opened, rejected and closed";
    EXPECT_EQ(0u, firmware::ReadLedState(firmware::kSpeakerLed)) << "off after 155";
    EXPECT_TRUE(m_service.Stop());
    for (unsigned product : {0x0101u, 0x1010u, 0x0202u}) kbdstandin::DetachKeyboard(0x7A7A, product);
}
