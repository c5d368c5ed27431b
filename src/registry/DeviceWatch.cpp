#include "registry/DeviceWatch.h"

#include "log/UtilityLog.h"
#include "registry/InstallRegHelper.h"
#include "registry/Registry.h"
#include "win/Owners.h"

#include <cfgmgr32.h>
#include <setupapi.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <cwchar>

// Exported by the platform's setup library without a declaration in every SDK.
extern "C" DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout);

namespace {

constexpr wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum";
// The ids a device is compared with: a list of strings ending in an empty one.
constexpr wchar_t kHotkeyIds[] = L"*ZNT4082\0";

using UniqueDeviceList = win::UniqueDeviceInfoList;

bool ListHasHotkeyId(const wchar_t* list)
{
    for (const wchar_t* id = list; *id != L'\0'; id += wcslen(id) + 1) {
        for (const wchar_t* wanted = kHotkeyIds; *wanted != L'\0'; wanted += wcslen(wanted) + 1) {
            if (::lstrcmpiW(id, wanted) == 0) return true;
        }
    }
    return false;
}

bool PropertyHasHotkeyId(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property)
{
    DWORD size = 0;
    if (::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr, nullptr, 0, &size) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return false;
    }
    // Two more characters than asked for, so that a list without its final terminator ends.
    const win::UniqueLocalMemory buffer(::LocalAlloc(LPTR, size + 2 * sizeof(wchar_t)));
    if (!buffer || !::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                                        static_cast<BYTE*>(buffer.get()), size, nullptr)) {
        return false;
    }
    return ListHasHotkeyId(static_cast<const wchar_t*>(buffer.get()));
}

// Arms the one-shot notification of any value set below the device's Enum key.
bool ArmWatch(const wchar_t* keyPath, win::UniqueRegKey& key, HANDLE event)
{
    key.reset();
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.put()) == ERROR_SUCCESS &&
           ::RegNotifyChangeKeyValue(key.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE) == ERROR_SUCCESS;
}

// Deletes the two per-user keys as the console user when the thread can become that user,
// else under the service's own account. True when the deletions (and the revert) worked.
bool DeletePerUserKeys()
{
    win::UniqueWtsMemory userName;
    DWORD bytes = 0;
    const BOOL named = ::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName,
                                                     reinterpret_cast<LPWSTR*>(userName.put()), &bytes);
    win::UniqueToken token;
    win::UniqueEnvironmentBlock environment;
    // Impersonation that worked but left no environment block is reverted all the same: the
    // service control manager must be reached as the service itself.
    bool impersonated = false;
    bool impersonating = false;
    if (named && ::WTSQueryUserToken(::WTSGetActiveConsoleSessionId(), token.put())) {
        impersonated = ::ImpersonateLoggedOnUser(token.get()) != FALSE;
        impersonating = impersonated && ::CreateEnvironmentBlock(environment.put(), token.get(), TRUE);
    }
    DeleteRegKeyTree(HKEY_CURRENT_USER, L"Software\\Osmira\\Hotkey");
    bool deleted = DeleteRegKeyTree(HKEY_CURRENT_USER, L"Software\\Osmira\\OsmiraHotkeysService") != FALSE;
    if (impersonated) {
        const bool reverted = ::RevertToSelf() != FALSE;
        if (impersonating) deleted = deleted && reverted;
    }
    return deleted;
}

void RemovePackage()
{
    WriteLog(L" service will Uninstall ");
    InstallRegHelper::StartRemoveRegHelper();
    if (!DeletePerUserKeys()) {
        WriteLog(L"DeleteSymbolicLink  DeleteRegValue  fail GetLastError: %d", ::GetLastError());
    }
    // Only marks the registration: the removal is final once that service stops.
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return;
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), L"OsmiraFnAndFunctionKeys", DELETE));
    if (service) ::DeleteService(service.get());
}

// A registered device that is not plugged in still counts as present. A configuration
// manager that cannot answer at all (some platforms answer CR_FAILURE for every device) is not
// taken for the device's removal: removing the package on an error would leave the user
// without hotkeys, so the device list decides then.
bool DeviceGone(wchar_t* instanceId)
{
    DEVINST node = 0;
    const CONFIGRET located = ::CM_Locate_DevNodeW(&node, instanceId, CM_LOCATE_DEVNODE_PHANTOM);
    if (located == CR_SUCCESS) return false;
    if (located == CR_NO_SUCH_DEVNODE) return true;
    wchar_t listed[kDeviceInstanceIdChars] = {};
    return !FindHotkeyDevice(listed) || _wcsicmp(listed, instanceId) != 0;
}

// Watches until the device is gone: true then, false when the watch could not be set up.
bool WatchUntilGone()
{
    wchar_t instanceId[kDeviceInstanceIdChars] = {};
    if (!FindHotkeyDevice(instanceId)) return false;
    wchar_t keyPath[kDeviceInstanceIdChars] = {};
    const int length = _snwprintf(keyPath, kDeviceInstanceIdChars, L"%s\\%s", kEnumKey, instanceId);
    if (length < 0 || static_cast<size_t>(length) >= kDeviceInstanceIdChars) return false;

    win::UniqueRegKey key;
    const win::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event || !ArmWatch(keyPath, key, event.get())) return false;
    for (;;) {
        const HANDLE handles[] = {event.get()};
        if (::WaitForMultipleObjects(1, handles, FALSE, INFINITE) != WAIT_OBJECT_0) continue;
        const bool rearmed = ArmWatch(keyPath, key, event.get());
        CMP_WaitNoPendingInstallEvents(INFINITE);
        if (DeviceGone(instanceId)) return true;
        // Without a notification armed, the thread would otherwise spin on nothing.
        if (!rearmed) ::Sleep(1000);
    }
}

} // namespace

BOOL FindHotkeyDevice(wchar_t* instanceId)
{
    const UniqueDeviceList devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!devices) return FALSE;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        if (!PropertyHasHotkeyId(devices.get(), device, SPDRP_HARDWAREID) &&
            !PropertyHasHotkeyId(devices.get(), device, SPDRP_COMPATIBLEIDS)) {
            continue;
        }
        if (instanceId == nullptr) return TRUE;
        return ::SetupDiGetDeviceInstanceIdW(devices.get(), &device, instanceId, kDeviceInstanceIdChars, nullptr);
    }
    return FALSE;
}

DWORD WINAPI _Thread_HotkeyDeviceWatch(LPVOID)
{
    const bool gone = WatchUntilGone();
    WriteLog(L" service check:[%d]", gone ? 1 : 0);
    if (gone) RemovePackage();
    return 0;
}
