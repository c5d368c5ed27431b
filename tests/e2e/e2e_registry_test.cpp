// The installed service and its settings registry, seen from outside: the defaults that
// every start writes, and the setting controls sent with fnkeyctl.
#include "E2eSupport.h"

#include "registry/InstallRegHelper.h"
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"

using namespace e2e;
using namespace regtest;
using testsupport::Narrow;

namespace {

const std::wstring kToast = regkeys::kToastKey;
const std::wstring kKeyboardsWritten = L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d";
// Values that the product information of the start may store next to the defaults.
const std::vector<std::wstring> kStartCapabilityValues = {L"IsGameMachine", L"GameMachineVesion",
                                                          L"IsUserChangedCapsNumLKStatus"};

void ClearPackageKeys()
{
    for (const wchar_t* key : {regkeys::kServiceKey, regkeys::kHotkeyKey}) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    }
}

size_t CountMatching(const std::wstring& pattern)
{
    size_t count = 0;
    for (const std::wstring& message : ServiceLogMessages()) count += RecordMatches(message, pattern) ? 1 : 0;
    return count;
}

// Waits until the writer of the defaults has logged its last record.
::testing::AssertionResult WaitForDefaultsWritten(size_t times = 1)
{
    if (testsupport::WaitUntil([&] { return CountMatching(kKeyboardsWritten) >= times; }, 30000, 50)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the defaults were not written; log:\n" << Narrow(Join(ServiceLogMessages()));
}

// Sends a control with fnkeyctl and expects the manager's acceptance.
::testing::AssertionResult Send(const std::wstring& arguments)
{
    const testsupport::ProcessResult result = RunTool(L"fnkeyctl.exe", arguments);
    if (result.exitCode == 0 && result.output.find("fnkeyctl: success, service state 4\n") != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "fnkeyctl " << Narrow(arguments) << " exited " << result.exitCode
                                         << ":\n" << result.output;
}

::testing::AssertionResult EventuallyDword(const std::wstring& key, const std::wstring& name, DWORD expected)
{
    RawValue last;
    if (testsupport::WaitUntil([&] { return static_cast<bool>(IsDword(last = ReadRaw(key, name), expected)); }, 10000)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << Narrow(name) << ": " << IsDword(last, expected).message();
}

class RegistryDefaults : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        ClearPackageKeys();
        ASSERT_TRUE(InstallService());
    }
    void TearDown() override
    {
        ServiceTest::TearDown();
        ClearPackageKeys();
    }
};

using SettingControlsFromOutside = RegistryDefaults;

} // namespace

TEST_F(RegistryDefaults, FirstStartOnACleanSystemLeavesExactlyTheTable)
{
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForDefaultsWritten());
    EXPECT_EQ(1u, CountLogMessages(L"InstallRegHelper StartAddRegHelper done."));
    ExpectExactlyTheDefaults(kStartCapabilityValues);
}

TEST_F(RegistryDefaults, ALaterStartKeepsTheUsersSetting)
{
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForDefaultsWritten());
    ASSERT_TRUE(Send(L"pexaro-capslock-off"));
    ASSERT_TRUE(EventuallyDword(kToast, L"ShowCapslkOSD", 0));
    ASSERT_TRUE(StopService());

    ResetServiceLog();
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForDefaultsWritten());
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowNumlkOSD"), 1));
    EXPECT_EQ(5u, CountMatching(L"InitInfReg " + kToast + L" has old val: %d"))
        << Narrow(Join(ServiceLogMessages()));
}

TEST_F(RegistryDefaults, AStartAfterTheRemovalRecreatesEverything)
{
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForDefaultsWritten());
    ASSERT_TRUE(StopService());

    // What the removal leaves when the hotkey device has gone.
    ASSERT_EQ(1u, InstallRegHelper::RemoveReg(nullptr));
    ASSERT_FALSE(KeyExists(regkeys::kServiceKey));
    ASSERT_FALSE(KeyExists(regkeys::kHotkeyKey));

    ResetServiceLog();
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForDefaultsWritten());
    ExpectExactlyTheDefaults(kStartCapabilityValues);
}

TEST_F(SettingControlsFromOutside, ControlsSentWithFnkeyctlChangeTheSettings)
{
    ASSERT_TRUE(StartService());
    ASSERT_TRUE(WaitForDefaultsWritten());

    ASSERT_TRUE(Send(L"capslock-on"));
    EXPECT_TRUE(EventuallyDword(regkeys::kOsdKey, L"ShowCapsNumlkOSD", 1));
    EXPECT_TRUE(EventuallyDword(regkeys::kCapabilityKey, L"IsUserChangedCapsNumLKStatus", 1));

    ASSERT_TRUE(Send(L"pexaro-numlock-off"));
    EXPECT_TRUE(EventuallyDword(kToast, L"ShowNumlkOSD", 0));
    EXPECT_TRUE(EventuallyDword(regkeys::kOsdKey, L"ShowCapsNumlkOSD", 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 1));

    ASSERT_TRUE(Send(L"150")); // by number: the counter goes on from its default of 0
    EXPECT_TRUE(EventuallyDword(kToast, L"PopToastCapsNumlkOSD", 1));

    ASSERT_TRUE(Send(L"ocr-row"));
    EXPECT_TRUE(EventuallyDword(regkeys::kCapabilityKey, L"OcrSnippingKey", 2));
    EXPECT_TRUE(testsupport::WaitUntil(
        [] {
            return CountMatching(L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_ROW event !Line:%d  dwCtrl : 157 "
                                 L"result:[1]") == 1;
        },
        10000))
        << Narrow(Join(ServiceLogMessages()));
    for (const wchar_t* record : {L"SVC_CTL_SEND_UI_CAPSLOCK_ON", L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF",
                                  L"SVC_CTL_TRIGER_PEXARO_POP_TOAST"}) {
        EXPECT_EQ(1u, CountLogMessages(record)) << Narrow(record);
    }
}

TEST_F(SettingControlsFromOutside, FnkeyctlPassesOnTheManagersRefusalOfSystemOnlyCodes)
{
    ASSERT_TRUE(StartService());
    for (const wchar_t* code : {L"5", L"14"}) {
        const testsupport::ProcessResult result = RunTool(L"fnkeyctl.exe", code);
        EXPECT_EQ(1u, result.exitCode) << Narrow(code);
        EXPECT_NE(std::string::npos, result.output.find("fnkeyctl: ControlService failed: error 87 ("))
            << Narrow(code) << ": " << result.output;
    }
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), QueryStatus().dwCurrentState);
}

TEST_F(SettingControlsFromOutside, FnkeyctlReportsAServiceThatIsNotRunning)
{
    const testsupport::ProcessResult result = RunTool(L"fnkeyctl.exe", L"micmute-on");
    EXPECT_EQ(1u, result.exitCode);
    EXPECT_EQ(0u, result.output.find("fnkeyctl: sending 160 (micmute-on) to OsmiraUtilityService\n"
                                     "fnkeyctl: ControlService failed: error 1062 ("))
        << result.output;
}
