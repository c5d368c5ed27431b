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

const std::vector<BYTE> kExpectedFailureActions = {
    0x40, 0x7E, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00,
    0x00, 0x14, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00, 0x01, 0x00,
    0x00, 0x00, 0x20, 0x4E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00};

const std::vector<std::pair<std::wstring, std::vector<BYTE>>> kExpectedKeyboardValues = {
    {L"05", {0x0C, 0x01, 0x03, 0x00, 0x40, 0x00}},    {L"Ex_1A", {0x0C, 0x01, 0x03, 0x00, 0x02, 0x00}},
    {L"Ex_1B", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x18}}, {L"Ex_20", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x01}},
    {L"Ex_25", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x10}}, {L"Ex_27", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x12}},
    {L"Ex_31", {0x0C, 0x01, 0x03, 0x00, 0x01, 0x00}}, {L"Ex_91", {0x0C, 0x01, 0x03, 0x08, 0x00, 0x00}},
    {L"Ex_99", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x2D}}, {L"Ex_9A", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x2E}},
    {L"Ex_9B", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x32}},
};

const std::vector<std::wstring> kKeyboardNames = {L"VID_7A7A&PID_0101", L"VID_7A7A&PID_0102", L"VID_7B7B&PID_0201"};

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

// Exactly the table: every key and value named there, and nothing else.
void ExpectExactlyTheDefaults()
{
    EXPECT_EQ((std::vector<std::wstring>{L"Capbility", L"ControlShowOSD", L"PexaroToast"}), SubKeyNames(kService));
    EXPECT_EQ((std::vector<std::wstring>{L"FailureActions"}), ValueNames(kService));
    const RawValue failureActions = ReadRaw(kService, L"FailureActions");
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), failureActions.type);
    EXPECT_EQ(kExpectedFailureActions, failureActions.data);

    EXPECT_EQ((std::vector<std::wstring>{L"CountTimesPopToastCapsNumlkOSD", L"NeverPopToast", L"PopToastCapsNumlkOSD",
                                         L"ShowCapslkOSD", L"ShowNumlkOSD"}),
              ValueNames(kToast));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowCapslkOSD"), 1));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"ShowNumlkOSD"), 1));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"CountTimesPopToastCapsNumlkOSD"), 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"NeverPopToast"), 0));
    EXPECT_TRUE(IsDword(ReadRaw(kToast, L"PopToastCapsNumlkOSD"), 0));
    EXPECT_TRUE(SubKeyNames(kToast).empty());
    for (const wchar_t* empty : {kOsdKey, kCapabilityKey}) {
        EXPECT_TRUE(ValueNames(empty).empty()) << testsupport::Narrow(empty);
        EXPECT_TRUE(SubKeyNames(empty).empty()) << testsupport::Narrow(empty);
    }

    EXPECT_EQ((std::vector<std::wstring>{L"HIDKBMicMuteLED"}), SubKeyNames(kHotkeyKey));
    EXPECT_TRUE(ValueNames(kHotkeyKey).empty());
    EXPECT_TRUE(ValueNames(kKeyboards).empty());
    EXPECT_EQ(kKeyboardNames, SubKeyNames(kKeyboards));
    for (const std::wstring& keyboard : kKeyboardNames) {
        const std::wstring key = kKeyboards + L"\\" + keyboard;
        EXPECT_EQ(11u, ValueNames(key).size()) << testsupport::Narrow(keyboard);
        for (const auto& expected : kExpectedKeyboardValues) {
            const RawValue value = ReadRaw(key, expected.first);
            EXPECT_EQ(static_cast<DWORD>(REG_BINARY), value.type) << testsupport::Narrow(keyboard + L" " + expected.first);
            EXPECT_EQ(expected.second, value.data) << testsupport::Narrow(keyboard + L" " + expected.first);
        }
    }
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
    for (const std::wstring& keyboard : kKeyboardNames) {
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
