// The install-time defaults: after the writer has run, the registry holds exactly the
// package's table of keys and values, a value the user changed survives, and the whole
// table comes back after the removal.
#include "registry/InstallRegHelper.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "service/SettingControls.h"
#include "support/RegistryTestSupport.h"

#include <gtest/gtest.h>

using namespace regtest;
using namespace regkeys;

namespace {

const std::wstring kService = kServiceKey;
const std::wstring kToast = kToastKey;
const std::wstring kKeyboards = kKeyboardListKey;


// The records of one run of the writer on a registry that lacks every numeric default.
std::vector<std::wstring> FreshRunRecords()
{
    const std::wstring toast = kToast;
    return {
        L"InitInfReg " + toast + L" SET val success: %d",
        L"InitInfReg " + std::wstring(kOsdKey) + L" SET val success: %d",
        L"InitInfReg " + std::wstring(kCapabilityKey) + L" SET val success: %d",
        L"InitInfReg " + kService + L" SET val success: %d",
        L"InitInfReg " + toast + L" WriteRegDWord success: %d",
        L"InitInfReg " + toast + L" WriteRegDWord success: %d",
        L"InitInfReg " + toast + L" WriteRegDWord success: %d",
        L"InitInfReg " + toast + L" WriteRegDWord success: %d",
        L"InitInfReg " + toast + L" WriteRegDWord success: %d",
        L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d",
    };
}

using InstallDefaults = SettingsTest;

} // namespace

TEST_F(InstallDefaults, FirstRunOnACleanRegistryWritesExactlyTheTable)
{
    EXPECT_EQ(1u, AddReg(nullptr));
    ExpectExactlyTheDefaults();
    EXPECT_TRUE(RecordsMatch(LogMessages(), FreshRunRecords()));
}

TEST_F(InstallDefaults, StartAddRegHelperWritesOnAThreadOfItsOwn)
{
    InstallRegHelper::StartAddRegHelper();
    const std::wstring last = L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d";
    std::vector<std::wstring> seen;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            seen = LogMessages();
            return !seen.empty() && RecordMatches(seen.back(), last);
        },
        20000))
        << testsupport::Narrow(Join(seen));
    std::vector<std::wstring> expected = FreshRunRecords();
    // The starter's own line may land anywhere among the thread's records.
    const auto done = std::find(seen.begin(), seen.end(), L"InstallRegHelper StartAddRegHelper done.");
    ASSERT_NE(seen.end(), done) << testsupport::Narrow(Join(seen));
    seen.erase(done);
    EXPECT_TRUE(RecordsMatch(seen, expected));
    ExpectExactlyTheDefaults();
}

TEST_F(InstallDefaults, ALaterRunKeepsEveryExistingSetting)
{
    ASSERT_EQ(1u, AddReg(nullptr));
    WriteDword(kToast, L"ShowCapslkOSD", 0);
    WriteDword(kToast, L"PopToastCapsNumlkOSD", 12);
    WriteDword(kCapabilityKey, L"OcrSnippingKey", 2);
    ClearLog();

    EXPECT_EQ(1u, AddReg(nullptr));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"PopToastCapsNumlkOSD"), 12));
    EXPECT_TRUE(IsDword(ReadRaw(kCapabilityKey, L"OcrSnippingKey"), 2));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowNumlkOSD"), 1));

    const std::vector<std::wstring> fresh = FreshRunRecords();
    std::vector<std::wstring> expected(fresh.begin(), fresh.begin() + 4);
    for (int i = 0; i < 5; ++i) {
        expected.push_back(L"InitInfReg " + kToast + L" has old val: %d");
        expected.push_back(L"InitInfReg " + kToast + L" WriteRegDWord success: %d");
    }
    expected.push_back(fresh.back());
    EXPECT_TRUE(RecordsMatch(LogMessages(), expected));
}

TEST_F(InstallDefaults, TheFixedRecordsAreRestoredOnEveryRun)
{
    // The failure-actions record also goes into a service key that existed before.
    WriteRaw(kService, L"FailureActions", REG_BINARY, {1, 2, 3});
    const std::wstring keyboard = kKeyboards + L"\\VID_7A7A&PID_0102";
    WriteRaw(keyboard, L"Ex_31", REG_BINARY, {9, 9, 9, 9, 9, 9});
    WriteRaw(keyboard, L"Ex_9B", REG_DWORD, DwordBytes(5));

    EXPECT_EQ(1u, AddReg(nullptr));
    ExpectExactlyTheDefaults();
}

TEST_F(InstallDefaults, ValuesOfTheWrongSizeGiveWayToTheDefault)
{
    WriteRaw(kToast, L"ShowNumlkOSD", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
    WriteRaw(kToast, L"CountTimesPopToastCapsNumlkOSD", REG_SZ, Utf16Bytes(L"many"));
    WriteRaw(kToast, L"NeverPopToast", REG_BINARY, {});
    // Four bytes of any type read as a number, as the controls read them, and are kept.
    WriteRaw(kToast, L"PopToastCapsNumlkOSD", REG_SZ, Utf16Bytes(L"7"));

    EXPECT_EQ(1u, AddReg(nullptr));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowNumlkOSD"), 1));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"CountTimesPopToastCapsNumlkOSD"), 0));
    const RawValue kept = ReadRaw(kToast, L"PopToastCapsNumlkOSD");
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), kept.type);
    EXPECT_EQ(Utf16Bytes(L"7"), kept.data);
    // An empty value reads as "there" (zero bytes fit), so it stays as it is too.
    const RawValue empty = ReadRaw(kToast, L"NeverPopToast");
    EXPECT_TRUE(empty.exists);
    EXPECT_TRUE(empty.data.empty());
}

TEST_F(InstallDefaults, RemoveRegDeletesBothTreesAndTheNextRunRecreatesTheTable)
{
    ASSERT_EQ(1u, AddReg(nullptr));
    WriteDword(kCapabilityKey, L"IsGameMachine", 1);
    CreateKey(kKeyboards + L"\\VID_1234&PID_5678\\Deeper");
    ClearLog();

    EXPECT_EQ(1u, InstallRegHelper::RemoveReg(nullptr));
    EXPECT_FALSE(KeyExists(kService));
    EXPECT_FALSE(KeyExists(kHotkeyKey));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Osmira"));
    EXPECT_TRUE(RecordsMatch(LogMessages(), {L"InstallRegHelper::RemoveReg  Start ErrorCode: %d",
                                             L"InstallRegHelper::RemoveReg  end ErrorCode: %d"}));

    ClearLog();
    EXPECT_EQ(1u, AddReg(nullptr));
    ExpectExactlyTheDefaults();
    EXPECT_TRUE(RecordsMatch(LogMessages(), FreshRunRecords()));
}

TEST_F(InstallDefaults, RemoveRegGoesOnWhenTheHotkeyKeyIsAlreadyGone)
{
    CreateKey(kToast);
    EXPECT_EQ(1u, InstallRegHelper::RemoveReg(nullptr));
    EXPECT_FALSE(KeyExists(kService));
    EXPECT_TRUE(RecordsMatch(LogMessages(), {L"InstallRegHelper::RemoveReg  Start ErrorCode: %d",
                                             L"InstallRegHelper::RemoveReg  end ErrorCode: %d"}));
}

TEST_F(InstallDefaults, StartRemoveRegHelperRemovesOnAThreadOfItsOwn)
{
    ASSERT_EQ(1u, AddReg(nullptr));
    ClearLog();
    InstallRegHelper::StartRemoveRegHelper();
    std::vector<std::wstring> seen;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            seen = LogMessages();
            return !seen.empty() && RecordMatches(seen.back(), L"InstallRegHelper::RemoveReg  end ErrorCode: %d");
        },
        20000))
        << testsupport::Narrow(Join(seen));
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), L"InstallRegHelper StartRemoveRegHelper done."));
    EXPECT_FALSE(KeyExists(kService));
    EXPECT_FALSE(KeyExists(kHotkeyKey));
}

TEST_F(InstallDefaults, AKeyboardListWithHundredsOfForeignKeysStillGetsItsThreeKeyboards)
{
    for (int i = 0; i < 300; ++i) CreateKey(kKeyboards + L"\\VID_0000&PID_" + std::to_wstring(1000 + i));
    CreateKey(kKeyboards + L"\\" + std::wstring(255, L'Z'));

    EXPECT_EQ(1u, AddReg(nullptr));
    EXPECT_EQ(304u, SubKeyNames(kKeyboards).size());
    for (const std::wstring& keyboard : kMicMuteKeyboardNames) {
        EXPECT_EQ(11u, ValueNames(kKeyboards + L"\\" + keyboard).size()) << testsupport::Narrow(keyboard);
    }
}

TEST_F(InstallDefaults, KeysDeletedBetweenRunsAreCreatedAgain)
{
    ASSERT_EQ(1u, AddReg(nullptr));
    ASSERT_EQ(TRUE, DeleteRegKeyTree(HKEY_LOCAL_MACHINE, kToastKey));
    ASSERT_EQ(TRUE, DeleteRegKeyTree(HKEY_LOCAL_MACHINE, (kKeyboards + L"\\VID_7B7B&PID_0201").c_str()));
    EXPECT_EQ(1u, AddReg(nullptr));
    ExpectExactlyTheDefaults();
}

// The writer runs while the first controls may already arrive. Whatever the interleaving, a
// setting that a control wrote is never replaced by its default afterwards.
TEST_F(InstallDefaults, ControlsDuringTheWriterAreNeverOverwrittenByDefaults)
{
    testsupport::SetLogSwitch(false); // the log's own lock would order the two threads
    for (int round = 0; round < 150; ++round) {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey);
        win::UniqueHandle writer(::CreateThread(nullptr, 0, &AddReg, nullptr, 0, nullptr));
        ASSERT_TRUE(writer);
        // A start that shifts from round to round, so that the controls meet the writer at
        // every step of its run.
        for (volatile int spin = 0; spin < (round % 30) * 3000; spin = spin + 1) {
        }
        ControlPexaroCapsLockOff();  // ShowCapslkOSD 0
        ControlPexaroNumLockOff();   // ShowNumlkOSD 0
        ControlPexaroNeverPopToast();  // NeverPopToast 1
        ControlTriggerPexaroPopToast();  // PopToastCapsNumlkOSD: 4 from nothing, 1 from the default
        ControlPexaroPopToastSuccess();  // the same for CountTimesPopToastCapsNumlkOSD
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(writer.get(), 20000));

        ASSERT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 0)) << "round " << round;
        ASSERT_TRUE(IsDword(ReadRaw(kToast, L"ShowNumlkOSD"), 0)) << "round " << round;
        ASSERT_TRUE(IsDword(ReadRaw(kToast, L"NeverPopToast"), 1)) << "round " << round;
        for (const wchar_t* counter : {L"PopToastCapsNumlkOSD", L"CountTimesPopToastCapsNumlkOSD"}) {
            const RawValue value = ReadRaw(kToast, counter);
            ASSERT_TRUE(IsDword(value, 4) || IsDword(value, 1)) << "round " << round << " " << testsupport::Narrow(counter);
        }
        ASSERT_TRUE(IsDword(ReadRaw(kOsdKey, L"ShowCapsNumlkOSD"), 0)) << "round " << round;
    }
}

// Keys that may be read and given subkeys but refuse values: the failure-actions record is
// reported as not set, a keyboard whose values are refused is passed over silently, and the
// rest of the table is written all the same.
TEST_F(InstallDefaults, KeysThatRefuseValuesAreReportedOrPassedOverAndTheRestIsWritten)
{
    const std::wstring refusingKeyboard = kKeyboards + L"\\VID_7A7A&PID_0102";
    CreateKey(kService);
    CreateKey(refusingKeyboard);
    {
        // KEY_READ, KEY_CREATE_SUB_KEY and WRITE_DAC, but no KEY_SET_VALUE.
        const KeyAccessGuard service(kService, L"D:(A;;0x6001D;;;WD)");
        const KeyAccessGuard keyboard(refusingKeyboard, L"D:(A;;0x6001D;;;WD)");
        ASSERT_EQ(ERROR_SUCCESS, service.Status());
        ASSERT_EQ(ERROR_SUCCESS, keyboard.Status());

        EXPECT_EQ(1u, AddReg(nullptr));
        std::vector<std::wstring> expected = FreshRunRecords();
        expected[3] = L"InitInfReg " + kService + L" SET val failed: 5";
        EXPECT_TRUE(RecordsMatch(LogMessages(), expected));

        ClearLog();
        EXPECT_EQ(FALSE, InitInfReg(kServiceKey, kFailureActions, TRUE));
        EXPECT_TRUE(RecordsMatch(LogMessages(), {L"InitInfReg " + kService + L" SET val failed: 5"}));
    }
    EXPECT_FALSE(ReadRaw(kService, L"FailureActions").exists);
    EXPECT_TRUE(ValueNames(refusingKeyboard).empty());
    for (const wchar_t* keyboard : {L"VID_7A7A&PID_0101", L"VID_7B7B&PID_0201"}) {
        EXPECT_EQ(11u, ValueNames(kKeyboards + L"\\" + keyboard).size()) << testsupport::Narrow(keyboard);
    }
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 1));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"PopToastCapsNumlkOSD"), 0));
}

TEST_F(InstallDefaults, AKeyboardKeyThatCannotBeOpenedLeavesTheWholeListUnwritten)
{
    const std::wstring lastKeyboard = kKeyboards + L"\\VID_7B7B&PID_0201";
    CreateKey(lastKeyboard);
    {
        // Not even reading: neither the first nor the read-only attempt can hold the key.
        const KeyAccessGuard closed(lastKeyboard, L"D:(A;;WD;;;WD)");
        ASSERT_EQ(ERROR_SUCCESS, closed.Status());
        EXPECT_EQ(FALSE, g_InitMicmuteKDB());
        EXPECT_TRUE(RecordsMatch(LogMessages(),
                                 {L"Utility::hidbase::g_InitMicmuteKDB CreateKey failed=0 Line:%d Erorr:5"}));
    }
    // The first two keys were made before the failure, but nothing was written into any.
    EXPECT_EQ(kMicMuteKeyboardNames, SubKeyNames(kKeyboards));
    for (const std::wstring& keyboard : kMicMuteKeyboardNames) {
        EXPECT_TRUE(ValueNames(kKeyboards + L"\\" + keyboard).empty()) << testsupport::Narrow(keyboard);
    }
}

TEST_F(InstallDefaults, ADefaultWhoseKeyCannotBeMadeIsReportedAndStaysMissing)
{
    // Below a volatile service key no lasting toast key can be created.
    win::UniqueRegKey service;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, REG_OPTION_VOLATILE,
                                               KEY_ALL_ACCESS, nullptr, service.put(), nullptr));
    EXPECT_EQ(FALSE, InitInfRegDword(kShowCapslkOsd, 1));
    EXPECT_TRUE(RecordsMatch(LogMessages(), {L"InitInfReg " + kToast + L" create key fail: 1021"}));
    EXPECT_FALSE(KeyExists(kToast));
}
