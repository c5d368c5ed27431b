#include "service/SettingControls.h"

#include "log/UtilityLog.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "win/Owners.h"

using namespace regkeys;

namespace {

BOOL WriteSetting(const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    return TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, subKey, name, value);
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
        if (other >= 1 && !WriteSetting(kOsdKey, kShowCapsNumlkOsd, 1)) {
            WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON  writetoReg fail!Line:%d  "
                     L"GetLastError : %d ",
                     __LINE__, ::GetLastError());
        }
    }
    SetUserHistoryOn();
}

} // namespace

void ControlSendUiCapsLockOn()
{
    WriteLog(L"SVC_CTL_SEND_UI_CAPSLOCK_ON");
    if (!WriteSetting(kOsdKey, kShowCapsNumlkOsd, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON  writetoReg fail!Line:%d  "
                 L"GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kToastKey, kShowCapslkOsd, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON REG_SHOW_CAPS_LK_OSD "
                 L"writetoReg fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kToastKey, kShowNumlkOsd, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON REG_SHOW_NUM_LK_OSD "
                 L"writetoReg fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    SetUserHistoryOn();
}

void ControlSendUiCapsLockOff()
{
    WriteLog(L"SVC_CTL_SEND_UI_CAPSLOCK_OFF");
    if (!WriteSetting(kOsdKey, kShowCapsNumlkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF  writetoReg fail!Line:%d  "
                 L"GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kToastKey, kShowCapslkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF REG_SHOW_CAPS_LK_OSD "
                 L"writetoReg fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kToastKey, kShowNumlkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF REG_SHOW_NUM_LK_OSD "
                 L"writetoReg fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
}

void ControlPexaroPopToastSuccess()
{
    WriteLog(L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS");
    if (!IncrementToastCounter(kCountTimesPopToast)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_POP_TOAST_SUCCESS writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kToastKey, kNeverPopToast, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_NEVER_POP_TOAST writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
}

void ControlPexaroNeverPopToast()
{
    WriteLog(L"SVC_CTL_PEXARO_NEVER_POP_TOAST");
    if (!WriteSetting(kToastKey, kNeverPopToast, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_NEVER_POP_TOAST writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
}

void ControlPexaroCapsLockOn()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON");
    if (!WriteSetting(kToastKey, kShowCapslkOsd, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    ApplyPairedIndicatorRule(kShowNumlkOsd);
}

void ControlPexaroCapsLockOff()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF");
    if (!WriteSetting(kToastKey, kShowCapslkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kOsdKey, kShowCapsNumlkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF  writetoReg fail!Line:%d  "
                 L"GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
}

void ControlPexaroNumLockOn()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON");
    if (!WriteSetting(kToastKey, kShowNumlkOsd, 1)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    ApplyPairedIndicatorRule(kShowCapslkOsd);
}

void ControlPexaroNumLockOff()
{
    WriteLog(L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF");
    if (!WriteSetting(kToastKey, kShowNumlkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
    if (!WriteSetting(kOsdKey, kShowCapsNumlkOsd, 0)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_OFF  writetoReg fail!Line:%d  "
                 L"GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
}

void ControlTriggerPexaroPopToast()
{
    WriteLog(L"SVC_CTL_TRIGER_PEXARO_POP_TOAST");
    if (!IncrementToastCounter(kPopToast)) {
        WriteLog(L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_TRIGER_PEXARO_POP_TOAST writetoReg "
                 L"fail!Line:%d  GetLastError : %d ",
                 __LINE__, ::GetLastError());
    }
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
