#include "service/SettingControls.h"

#include "log/UtilityLog.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "win/Owners.h"

using namespace regkeys;

namespace {

// The rows' failure texts; several rows share a text.
constexpr const wchar_t* kCapsLockOnCombinedFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON  writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kCapsLockOnCapsFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON REG_SHOW_CAPS_LK_OSD writetoReg fail!Line:%d  "
    L"GetLastError : %d ";
constexpr const wchar_t* kCapsLockOnNumFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON REG_SHOW_NUM_LK_OSD writetoReg fail!Line:%d  "
    L"GetLastError : %d ";
constexpr const wchar_t* kCapsLockOffCombinedFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF  writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kCapsLockOffCapsFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF REG_SHOW_CAPS_LK_OSD writetoReg fail!Line:%d  "
    L"GetLastError : %d ";
constexpr const wchar_t* kCapsLockOffNumFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF REG_SHOW_NUM_LK_OSD writetoReg fail!Line:%d  "
    L"GetLastError : %d ";
constexpr const wchar_t* kPopToastSuccessFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_POP_TOAST_SUCCESS writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kNeverPopToastFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_NEVER_POP_TOAST writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kPexaroCapsLockOnFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kPexaroCapsLockOffFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kPexaroNumLockOnFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kPexaroNumLockOffFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF writetoReg fail!Line:%d  GetLastError : %d ";
constexpr const wchar_t* kTriggerPopToastFailed =
    L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_TRIGER_PEXARO_POP_TOAST writetoReg fail!Line:%d  GetLastError : %d ";

BOOL WriteSetting(const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    return TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, subKey, name, value);
}

// A failed write logs the row's text with the line of the row's write and the write's error;
// the row goes on with its next write either way.
void LogIfFailed(BOOL written, const wchar_t* failureText, int line)
{
    if (!written) WriteLog(failureText, line, ::GetLastError());
}

// After one indicator went on, the combined indicator goes on only when the other one is on
// too. An unreadable other indicator counts as off.
void ApplyPairedIndicatorRule(const wchar_t* otherIndicator)
{
    win::UniqueRegKey toast;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kToastKey, 0, KEY_QUERY_VALUE, toast.put()) == ERROR_SUCCESS) {
        DWORD other = 0;
        DWORD size = sizeof other;
        if (::RegQueryValueExW(toast.get(), otherIndicator, nullptr, nullptr, reinterpret_cast<BYTE*>(&other),
                               &size) != ERROR_SUCCESS) {
            other = 0;
        }
        toast.reset();
        if (other >= 1) LogIfFailed(WriteSetting(kOsdKey, kShowCapsNumlkOsd, 1), kCapsLockOnCombinedFailed, __LINE__);
    }
    SetUserHistoryOn();
}

} // namespace

void ControlSendUiCapsLockOn()
{
    WriteLog(L"SVC_CTL_SEND_UI_CAPSLOCK_ON");
    LogIfFailed(WriteSetting(kOsdKey, kShowCapsNumlkOsd, 1), kCapsLockOnCombinedFailed, __LINE__);
    LogIfFailed(WriteSetting(kToastKey, kShowCapslkOsd, 1), kCapsLockOnCapsFailed, __LINE__);
    LogIfFailed(WriteSetting(kToastKey, kShowNumlkOsd, 1), kCapsLockOnNumFailed, __LINE__);
    SetUserHistoryOn();
}

void ControlSendUiCapsLockOff()
{
    WriteLog(L"SVC_CTL_SEND_UI_CAPSLOCK_OFF");
    LogIfFailed(WriteSetting(kOsdKey, kShowCapsNumlkOsd, 0), kCapsLockOffCombinedFailed, __LINE__);
    LogIfFailed(WriteSetting(kToastKey, kShowCapslkOsd, 0), kCapsLockOffCapsFailed, __LINE__);
    LogIfFailed(WriteSetting(kToastKey, kShowNumlkOsd, 0), kCapsLockOffNumFailed, __LINE__);
}

void ControlPexaroPopToastSuccess()
{
    WriteLog(L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS");
    LogIfFailed(IncrementToastCounter(kCountTimesPopToast), kPopToastSuccessFailed, __LINE__);
    LogIfFailed(WriteSetting(kToastKey, kNeverPopToast, 1), kNeverPopToastFailed, __LINE__);
}

void ControlPexaroNeverPopToast()
{
    WriteLog(L"SVC_CTL_PEXARO_NEVER_POP_TOAST");
    LogIfFailed(WriteSetting(kToastKey, kNeverPopToast, 1), kNeverPopToastFailed, __LINE__);
}

void ControlPexaroCapsLockOn()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON");
    LogIfFailed(WriteSetting(kToastKey, kShowCapslkOsd, 1), kPexaroCapsLockOnFailed, __LINE__);
    ApplyPairedIndicatorRule(kShowNumlkOsd);
}

void ControlPexaroCapsLockOff()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF");
    LogIfFailed(WriteSetting(kToastKey, kShowCapslkOsd, 0), kPexaroCapsLockOffFailed, __LINE__);
    LogIfFailed(WriteSetting(kOsdKey, kShowCapsNumlkOsd, 0), kCapsLockOffCombinedFailed, __LINE__);
}

void ControlPexaroNumLockOn()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON");
    LogIfFailed(WriteSetting(kToastKey, kShowNumlkOsd, 1), kPexaroNumLockOnFailed, __LINE__);
    ApplyPairedIndicatorRule(kShowCapslkOsd);
}

void ControlPexaroNumLockOff()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF");
    LogIfFailed(WriteSetting(kToastKey, kShowNumlkOsd, 0), kPexaroNumLockOffFailed, __LINE__);
    LogIfFailed(WriteSetting(kOsdKey, kShowCapsNumlkOsd, 0), kCapsLockOffCombinedFailed, __LINE__);
}

void ControlTriggerPexaroPopToast()
{
    WriteLog(L"SVC_CTL_TRIGER_PEXARO_POP_TOAST");
    LogIfFailed(IncrementToastCounter(kPopToast), kTriggerPopToastFailed, __LINE__);
}

void ControlOcrCapabilityPrc(DWORD control)
{
    const BOOL result = WriteOcrCapability(1);
    WriteLog(L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_PRC event !Line:%d  dwCtrl : %d result:[%d] ", __LINE__,
             control, result);
}

void ControlOcrCapabilityRow(DWORD control)
{
    const BOOL result = WriteOcrCapability(2);
    WriteLog(L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_ROW event !Line:%d  dwCtrl : %d result:[%d]", __LINE__,
             control, result);
}

BOOL IncrementToastCounter(const wchar_t* name)
{
    DWORD counter = 0;
    DWORD size = sizeof counter;
    // A counter that cannot be read is taken to have popped three times already.
    if (QueryToastRegValue(name, &counter, &size) != ERROR_SUCCESS) counter = 3;
    return WriteSetting(kToastKey, name, counter + 1);
}

BOOL WriteOcrCapability(DWORD data)
{
    return WriteSetting(kCapabilityKey, kOcrSnippingKey, data);
}

void SetUserHistoryOn()
{
    if (!WriteSetting(kCapabilityKey, kIsUserChangedCapsNumLk, 1)) {
        WriteLog(L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: %d",
                 __LINE__, ::GetLastError());
        return;
    }
    WriteLog(L"CUtilityService SetUserHistoryOn user has changed Status success. Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
}
