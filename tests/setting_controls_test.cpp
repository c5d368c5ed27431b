// The registry rows of the control dispatcher, driven through the service's control hook
// as the service control manager drives it, against the prefix's real registry.
#include "registry/RegistryKeys.h"
#include "service/ControlCodes.h"
#include "service/UtilityService.h"
#include "support/RegistryTestSupport.h"
#include "win/Owners.h"

#include <gtest/gtest.h>

using namespace regtest;
using namespace regkeys;

namespace {

class ControlProbe : public CUtilityService {
public:
    DWORD Control(DWORD code) { return OnServiceControlHandle(code, 0, nullptr, this); }
};

const std::wstring kToast = kToastKey;
const std::wstring kOsd = kOsdKey;
const std::wstring kCapability = kCapabilityKey;

const std::wstring kHistorySuccess =
    L"CUtilityService SetUserHistoryOn user has changed Status success. Line: %d  GetLastError: %d";
const std::wstring kHistoryFailure =
    L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: %d";

class SettingControls : public SettingsTest {
protected:
    // Sends one control and returns the records it logged.
    std::vector<std::wstring> Send(DWORD code)
    {
        ClearLog();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), m_service.Control(code)) << code;
        return LogMessages();
    }
    RawValue Toast(const wchar_t* name) { return ReadRaw(kToast, name); }
    RawValue Combined() { return ReadRaw(kOsd, kShowCapsNumlkOsd); }
    RawValue History() { return ReadRaw(kCapability, kIsUserChangedCapsNumLk); }

    // The service key made volatile: nothing non-volatile can be created below it, so every
    // write into a missing setting key fails.
    void MakeSettingKeysUncreatable()
    {
        win::UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, REG_OPTION_VOLATILE,
                                                   KEY_ALL_ACCESS, nullptr, key.put(), nullptr));
    }

    ControlProbe m_service;
};

} // namespace

TEST_F(SettingControls, CapsLockOnSetsAllThreeIndicatorsAndTheUserHistory)
{
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_SEND_UI_CAPSLOCK_ON), {L"SVC_CTL_SEND_UI_CAPSLOCK_ON", kHistorySuccess}));
    EXPECT_TRUE(IsDword(Combined(), 1));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 1));
    EXPECT_TRUE(IsDword(Toast(kShowNumlkOsd), 1));
    EXPECT_TRUE(IsDword(History(), 1));
}

TEST_F(SettingControls, CapsLockOffClearsAllThreeAndLeavesTheHistoryAlone)
{
    WriteDword(kToast, kShowCapslkOsd, 1);
    WriteDword(kToast, kShowNumlkOsd, 1);
    WriteDword(kOsd, kShowCapsNumlkOsd, 1);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_SEND_UI_CAPSLOCK_OFF), {L"SVC_CTL_SEND_UI_CAPSLOCK_OFF"}));
    EXPECT_TRUE(IsDword(Combined(), 0));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 0));
    EXPECT_TRUE(IsDword(Toast(kShowNumlkOsd), 0));
    EXPECT_FALSE(History().exists);
}

TEST_F(SettingControls, OffCodesNeverTouchTheUserHistory)
{
    for (DWORD code : {SVC_CTL_SEND_UI_CAPSLOCK_OFF, SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF,
                       SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF}) {
        Send(code);
        EXPECT_FALSE(History().exists) << code;
    }
    // A history that says "not changed" stays so as well.
    WriteDword(kCapability, kIsUserChangedCapsNumLk, 0);
    for (DWORD code : {SVC_CTL_SEND_UI_CAPSLOCK_OFF, SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF,
                       SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF}) {
        Send(code);
        EXPECT_TRUE(IsDword(History(), 0)) << code;
    }
}

TEST_F(SettingControls, PexaroCapsLockOnTurnsTheCombinedIndicatorOnOnlyWithNumLockOn)
{
    // Num Lock's indicator missing: the combined indicator is left as it was.
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON),
                             {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON", kHistorySuccess}));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 1));
    EXPECT_FALSE(Combined().exists);
    EXPECT_TRUE(IsDword(History(), 1));

    // Num Lock's indicator off: still unchanged.
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk);
    WriteDword(kToast, kShowNumlkOsd, 0);
    WriteDword(kOsd, kShowCapsNumlkOsd, 0);
    Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON);
    EXPECT_TRUE(IsDword(Combined(), 0));
    EXPECT_TRUE(IsDword(History(), 1));

    // Num Lock's indicator on: the combined indicator goes on.
    WriteDword(kToast, kShowNumlkOsd, 1);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON),
                             {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON", kHistorySuccess}));
    EXPECT_TRUE(IsDword(Combined(), 1));
}

TEST_F(SettingControls, PexaroNumLockOnTurnsTheCombinedIndicatorOnOnlyWithCapsLockOn)
{
    WriteDword(kToast, kShowCapslkOsd, 0);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON),
                             {L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON", kHistorySuccess}));
    EXPECT_TRUE(IsDword(Toast(kShowNumlkOsd), 1));
    EXPECT_FALSE(Combined().exists);
    EXPECT_TRUE(IsDword(History(), 1));

    WriteDword(kToast, kShowCapslkOsd, 1);
    Send(SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON);
    EXPECT_TRUE(IsDword(Combined(), 1));
}

TEST_F(SettingControls, PexaroOffCodesTurnTheCombinedIndicatorOffWhateverTheOtherSays)
{
    WriteDword(kToast, kShowCapslkOsd, 1);
    WriteDword(kToast, kShowNumlkOsd, 1);
    WriteDword(kOsd, kShowCapsNumlkOsd, 1);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF), {L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF"}));
    EXPECT_TRUE(IsDword(Toast(kShowNumlkOsd), 0));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 1));
    EXPECT_TRUE(IsDword(Combined(), 0));

    WriteDword(kToast, kShowNumlkOsd, 1);
    WriteDword(kOsd, kShowCapsNumlkOsd, 1);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF), {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF"}));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 0));
    EXPECT_TRUE(IsDword(Toast(kShowNumlkOsd), 1));
    EXPECT_TRUE(IsDword(Combined(), 0));
    EXPECT_FALSE(History().exists);
}

TEST_F(SettingControls, ToastCountersStartAtFourAndCountOn)
{
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_TRIGER_PEXARO_POP_TOAST), {L"SVC_CTL_TRIGER_PEXARO_POP_TOAST"}));
    EXPECT_TRUE(IsDword(Toast(kPopToast), 4));
    WriteDword(kToast, kPopToast, 7);
    Send(SVC_CTL_TRIGER_PEXARO_POP_TOAST);
    EXPECT_TRUE(IsDword(Toast(kPopToast), 8));
    EXPECT_FALSE(Toast(kNeverPopToast).exists) << "150 counts only";

    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_POP_TOAST_SUCCESS), {L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS"}));
    EXPECT_TRUE(IsDword(Toast(kCountTimesPopToast), 4));
    EXPECT_TRUE(IsDword(Toast(kNeverPopToast), 1));
    WriteDword(kToast, kCountTimesPopToast, 7);
    Send(SVC_CTL_PEXARO_POP_TOAST_SUCCESS);
    EXPECT_TRUE(IsDword(Toast(kCountTimesPopToast), 8));
    EXPECT_TRUE(IsDword(Toast(kPopToast), 8)) << "each code has its own counter";
}

TEST_F(SettingControls, UnreadableCountersCountAsThree)
{
    WriteRaw(kToast, kPopToast, REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
    WriteRaw(kToast, kCountTimesPopToast, REG_SZ, Utf16Bytes(L"a long text"));
    Send(SVC_CTL_TRIGER_PEXARO_POP_TOAST);
    Send(SVC_CTL_PEXARO_POP_TOAST_SUCCESS);
    EXPECT_TRUE(IsDword(Toast(kPopToast), 4));
    EXPECT_TRUE(IsDword(Toast(kCountTimesPopToast), 4));

    // The largest count wraps instead of failing.
    WriteDword(kToast, kPopToast, 0xFFFFFFFF);
    Send(SVC_CTL_TRIGER_PEXARO_POP_TOAST);
    EXPECT_TRUE(IsDword(Toast(kPopToast), 0));
}

TEST_F(SettingControls, NeverPopToastIsSetToOne)
{
    WriteDword(kToast, kNeverPopToast, 0);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_NEVER_POP_TOAST), {L"SVC_CTL_PEXARO_NEVER_POP_TOAST"}));
    EXPECT_TRUE(IsDword(Toast(kNeverPopToast), 1));
}

TEST_F(SettingControls, OtherIndicatorOfTheWrongShapeIsReadAsItsBytes)
{
    // Eight bytes cannot be read into four: the other indicator counts as off.
    WriteRaw(kToast, kShowNumlkOsd, REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0});
    Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON);
    EXPECT_FALSE(Combined().exists);
    // Four bytes of a string are read as a number, as the registry hands them out.
    WriteRaw(kToast, kShowNumlkOsd, REG_SZ, Utf16Bytes(L"0"));
    Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON);
    EXPECT_TRUE(IsDword(Combined(), 1));
    // An indicator of the wrong type is replaced by a proper one when it is written.
    WriteRaw(kToast, kShowCapslkOsd, REG_SZ, Utf16Bytes(L"on"));
    Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF);
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 0));
}

TEST_F(SettingControls, OcrCapabilityIsStoredAndItsResultLogged)
{
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_OCR_CAPABILITY_PRC),
                             {L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_PRC event !Line:%d  dwCtrl : 156 result:[1] "}));
    EXPECT_TRUE(IsDword(ReadRaw(kCapability, kOcrSnippingKey), 1));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_OCR_CAPABILITY_ROW),
                             {L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_ROW event !Line:%d  dwCtrl : 157 result:[1]"}));
    EXPECT_TRUE(IsDword(ReadRaw(kCapability, kOcrSnippingKey), 2));
    EXPECT_FALSE(History().exists);
}

TEST_F(SettingControls, KeysDeletedWhileRunningComeBackWithTheNextWrite)
{
    Send(SVC_CTL_SEND_UI_CAPSLOCK_ON);
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey));
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey);
    ASSERT_FALSE(KeyExists(kToast));

    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON),
                             {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON", kHistorySuccess}));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 1));
    EXPECT_TRUE(IsDword(History(), 1));

    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kServiceKey));
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kServiceKey);
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF), {L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF"}));
    EXPECT_TRUE(IsDword(Toast(kShowNumlkOsd), 0));
    EXPECT_TRUE(IsDword(Combined(), 0));
}

TEST_F(SettingControls, FailedWritesAreLoggedAndTheRowGoesOn)
{
    MakeSettingKeysUncreatable();
    const std::wstring fail = L"writetoReg fail!Line:%d  GetLastError : 1021 ";
    const std::wstring prefix = L"OsmiraUtilityService OnServiceControlHandle ";
    const std::wstring historyFailed =
        L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: 1021";

    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_SEND_UI_CAPSLOCK_ON),
                             {L"SVC_CTL_SEND_UI_CAPSLOCK_ON", prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_ON  " + fail,
                              prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_ON REG_SHOW_CAPS_LK_OSD " + fail,
                              prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_ON REG_SHOW_NUM_LK_OSD " + fail, historyFailed}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_SEND_UI_CAPSLOCK_OFF),
                             {L"SVC_CTL_SEND_UI_CAPSLOCK_OFF", prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_OFF  " + fail,
                              prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_OFF REG_SHOW_CAPS_LK_OSD " + fail,
                              prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_OFF REG_SHOW_NUM_LK_OSD " + fail}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_POP_TOAST_SUCCESS),
                             {L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS", prefix + L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS " + fail,
                              prefix + L"SVC_CTL_PEXARO_NEVER_POP_TOAST " + fail}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_NEVER_POP_TOAST),
                             {L"SVC_CTL_PEXARO_NEVER_POP_TOAST", prefix + L"SVC_CTL_PEXARO_NEVER_POP_TOAST " + fail}));
    // The toast key cannot be opened, so the paired rule goes straight to the history.
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON),
                             {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON",
                              prefix + L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON " + fail, historyFailed}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF),
                             {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF",
                              prefix + L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF " + fail,
                              prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_OFF  " + fail}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON),
                             {L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON",
                              prefix + L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON " + fail, historyFailed}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF),
                             {L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF",
                              prefix + L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF " + fail,
                              prefix + L"SVC_CTL_SEND_UI_CAPSLOCK_OFF  " + fail}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_TRIGER_PEXARO_POP_TOAST),
                             {L"SVC_CTL_TRIGER_PEXARO_POP_TOAST", prefix + L"SVC_CTL_TRIGER_PEXARO_POP_TOAST " + fail}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_OCR_CAPABILITY_PRC),
                             {L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_PRC event !Line:%d  dwCtrl : 156 result:[0] "}));
    EXPECT_TRUE(RecordsMatch(Send(SVC_CTL_OCR_CAPABILITY_ROW),
                             {L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_ROW event !Line:%d  dwCtrl : 157 result:[0]"}));
    EXPECT_TRUE(SubKeyNames(kServiceKey).empty());
}

TEST_F(SettingControls, PairedRuleLogsAFailedCombinedWrite)
{
    // The toast key is there (and says Num Lock is on), the OSD key cannot be created.
    win::UniqueRegKey service, toast;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, nullptr, REG_OPTION_VOLATILE,
                                               KEY_ALL_ACCESS, nullptr, service.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kToastKey, 0, nullptr, REG_OPTION_VOLATILE,
                                               KEY_ALL_ACCESS, nullptr, toast.put(), nullptr));
    WriteDword(kToast, kShowNumlkOsd, 1);
    EXPECT_TRUE(RecordsMatch(
        Send(SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON),
        {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON",
         L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON  writetoReg fail!Line:%d  "
         L"GetLastError : 1021 ",
         L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: 1021"}));
    EXPECT_TRUE(IsDword(Toast(kShowCapslkOsd), 1));
}
