#include "registry/InstallRegHelper.h"

#include "log/UtilityLog.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "win/Owners.h"

#include <shlwapi.h>

const BYTE kFailureActionsRecord[44] = {
    0x40, 0x7E, 0x05, 0x00, // reset period: 360000 s
    0x00, 0x00, 0x00, 0x00, // no reboot message
    0x00, 0x00, 0x00, 0x00, // no command
    0x03, 0x00, 0x00, 0x00, // three actions
    0x14, 0x00, 0x00, 0x00, // the actions start at offset 20
    0x01, 0x00, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00, // restart after 5000 ms
    0x01, 0x00, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00, // restart after 20000 ms
    0x00, 0x00, 0x00, 0x00, 0x20, 0x4E, 0x00, 0x00, // nothing, 20000 ms
};

const wchar_t* const kMicMuteKeyboards[3] = {
    L"SOFTWARE\\Osmira\\OsmiraFnHotkey\\HIDKBMicMuteLED\\VID_7A7A&PID_0101",
    L"SOFTWARE\\Osmira\\OsmiraFnHotkey\\HIDKBMicMuteLED\\VID_7A7A&PID_0102",
    L"SOFTWARE\\Osmira\\OsmiraFnHotkey\\HIDKBMicMuteLED\\VID_7B7B&PID_0201",
};

const KeyboardRecord kKeyboardRecords[11] = {
    {L"05", {0x0C, 0x01, 0x03, 0x00, 0x40, 0x00}},    {L"Ex_1A", {0x0C, 0x01, 0x03, 0x00, 0x02, 0x00}},
    {L"Ex_1B", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x18}}, {L"Ex_20", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x01}},
    {L"Ex_25", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x10}}, {L"Ex_27", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x12}},
    {L"Ex_31", {0x0C, 0x01, 0x03, 0x00, 0x01, 0x00}}, {L"Ex_91", {0x0C, 0x01, 0x03, 0x08, 0x00, 0x00}},
    {L"Ex_99", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x2D}}, {L"Ex_9A", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x2E}},
    {L"Ex_9B", {0x0C, 0x01, 0x03, 0x10, 0x00, 0x32}},
};

namespace {

bool KeyExists(const wchar_t* subKey)
{
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void StartDetached(LPTHREAD_START_ROUTINE procedure, const wchar_t* doneMessage)
{
    win::UniqueHandle thread(::CreateThread(nullptr, 0, procedure, nullptr, 0, nullptr));
    if (thread) WriteLog(doneMessage);
}

} // namespace

void InstallRegHelper::StartAddRegHelper()
{
    StartDetached(&AddReg, L"InstallRegHelper StartAddRegHelper done.");
}

void InstallRegHelper::StartRemoveRegHelper()
{
    StartDetached(&InstallRegHelper::RemoveReg, L"InstallRegHelper StartRemoveRegHelper done.");
}

BOOL InitInfReg(const wchar_t* subKey, const wchar_t* valueName, BOOL writeFailureActions)
{
    ZRegistry holder;
    const bool existed = KeyExists(subKey);
    if (!existed && !holder.CreateKey(subKey)) {
        WriteLog(L"InitInfReg %ls create Key failed: %d", subKey, ::GetLastError());
        return FALSE;
    }
    if (!writeFailureActions) {
        WriteLog(L"InitInfReg %ls SET val success: %d", subKey, ::GetLastError());
        return TRUE;
    }
    // The record is written into a key that existed before as well. The setting keys below
    // the service key are made first, so the service key is always there by now; writing only
    // into a key made here would never store the record. The record is fixed, so rewriting it
    // on every start only restores it.
    if (existed && !holder.CreateKey(subKey)) {
        WriteLog(L"InitInfReg %ls SET val failed: %d", subKey, ::GetLastError());
        return FALSE;
    }
    const LONG status = ::RegSetValueExW(holder.Key(), valueName, 0, REG_BINARY, kFailureActionsRecord,
                                         sizeof kFailureActionsRecord);
    if (status != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(status));
        WriteLog(L"InitInfReg %ls SET val failed: %d", subKey, ::GetLastError());
        return FALSE;
    }
    ::RegFlushKey(holder.Key());
    WriteLog(L"InitInfReg %ls SET val success: %d", subKey, ::GetLastError());
    return TRUE;
}

BOOL InitInfRegDword(const wchar_t* name, DWORD defaultValue)
{
    const wchar_t* toastKey = regkeys::kToastKey;
    // Check and write under the settings lock: a control that stores this value between the
    // check and the write must not be overwritten by the default.
    std::unique_lock<std::mutex> guard(SettingsWriteLock());
    DWORD existing = 0;
    if (ReadRegDwordValue(toastKey, name, &existing)) {
        guard.unlock();
        WriteLog(L"InitInfReg %ls has old val: %d", toastKey, ::GetLastError());
        WriteLog(L"InitInfReg %ls WriteRegDWord success: %d", toastKey, ::GetLastError());
        return TRUE;
    }
    if (!KeyExists(toastKey) && !OpenOrCreateRegKey(HKEY_LOCAL_MACHINE, toastKey)) {
        guard.unlock();
        WriteLog(L"InitInfReg %ls create key fail: %d", toastKey, ::GetLastError());
        return FALSE;
    }
    const LSTATUS status =
        ::SHSetValueW(HKEY_LOCAL_MACHINE, toastKey, name, REG_DWORD, &defaultValue, sizeof defaultValue);
    guard.unlock();
    if (status != ERROR_SUCCESS) {
        ::SetLastError(static_cast<DWORD>(status));
        WriteLog(L"InitInfReg %ls WriteRegDWord fail: %d", toastKey, ::GetLastError());
        return FALSE;
    }
    WriteLog(L"InitInfReg %ls WriteRegDWord success: %d", toastKey, ::GetLastError());
    return TRUE;
}

BOOL g_InitMicmuteKDB()
{
    constexpr size_t kKeyboards = sizeof kMicMuteKeyboards / sizeof kMicMuteKeyboards[0];
    ZRegistry holders[kKeyboards];
    for (size_t i = 0; i < kKeyboards; ++i) {
        if (!holders[i].CreateKey(kMicMuteKeyboards[i])) {
            WriteLog(L"Utility::hidbase::g_InitMicmuteKDB CreateKey failed=%d Line:%d Erorr:%d", 0, __LINE__,
                     ::GetLastError());
            return FALSE;
        }
    }
    for (const ZRegistry& holder : holders) {
        if (holder.Key() == nullptr) continue;
        for (const KeyboardRecord& record : kKeyboardRecords) {
            if (::RegSetValueExW(holder.Key(), record.name, 0, REG_BINARY, record.bytes, sizeof record.bytes) ==
                ERROR_SUCCESS) {
                ::RegFlushKey(holder.Key());
            }
        }
    }
    WriteLog(L"Utility::hidbase::g_InitMicmuteKDB registry success!!!! Line:%d Erorr:%d", __LINE__, ::GetLastError());
    return TRUE;
}

DWORD WINAPI AddReg(LPVOID)
{
    InitInfReg(regkeys::kToastKey, nullptr, FALSE);
    InitInfReg(regkeys::kOsdKey, nullptr, FALSE);
    InitInfReg(regkeys::kCapabilityKey, nullptr, FALSE);
    InitInfReg(regkeys::kServiceKey, regkeys::kFailureActions, TRUE);
    InitInfRegDword(regkeys::kShowCapslkOsd, 1);
    InitInfRegDword(regkeys::kShowNumlkOsd, 1);
    InitInfRegDword(regkeys::kCountTimesPopToast, 0);
    InitInfRegDword(regkeys::kNeverPopToast, 0);
    InitInfRegDword(regkeys::kPopToast, 0);
    return g_InitMicmuteKDB();
}

DWORD WINAPI InstallRegHelper::RemoveReg(LPVOID)
{
    WriteLog(L"InstallRegHelper::RemoveReg  Start ErrorCode: %d", ::GetLastError());
    if (!DeleteRegKeyTree(HKEY_LOCAL_MACHINE, regkeys::kHotkeyKey)) {
        WriteLog(L"InstallRegHelper::RemoveReg  OsmiraFnHotkey ErrorCode: %d", ::GetLastError());
    }
    const BOOL removed = DeleteRegKeyTree(HKEY_LOCAL_MACHINE, regkeys::kServiceKey);
    if (!removed) {
        WriteLog(L"InstallRegHelper::RemoveReg  OsmiraFnAndFunctionKeys ErrorCode: %d", ::GetLastError());
    }
    WriteLog(L"InstallRegHelper::RemoveReg  end ErrorCode: %d", ::GetLastError());
    return removed;
}
