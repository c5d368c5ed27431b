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
using devicecheck::Listing;
using devicecheck::Verdict;

// A removal is final, so a "gone" must still hold after this pause (a device being installed
// again is briefly absent).
constexpr DWORD kSecondCheckPause = 3000;
// Looks a second apart that follow an undecided one, at most.
constexpr unsigned kUndecidedLooks = 5;

enum class IdMatch { Carries, Lacks, Unreadable };

bool ListHasHotkeyId(const wchar_t* list)
{
    for (const wchar_t* id = list; *id != L'\0'; id += wcslen(id) + 1) {
        for (const wchar_t* wanted = kHotkeyIds; *wanted != L'\0'; wanted += wcslen(wanted) + 1) {
            if (::lstrcmpiW(id, wanted) == 0) return true;
        }
    }
    return false;
}

IdMatch PropertyHasHotkeyId(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property)
{
    DWORD size = 0;
    if (::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr, nullptr, 0, &size)) {
        return IdMatch::Lacks;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_INVALID_DATA || error == ERROR_FILE_NOT_FOUND) return IdMatch::Lacks; // no such property
    if (error != ERROR_INSUFFICIENT_BUFFER) return IdMatch::Unreadable;
    // Two more characters than asked for, so that a list without its final terminator ends.
    const win::UniqueLocalMemory buffer(::LocalAlloc(LPTR, size + 2 * sizeof(wchar_t)));
    if (!buffer || !::SetupDiGetDeviceRegistryPropertyW(devices, &device, property, nullptr,
                                                        static_cast<BYTE*>(buffer.get()), size, nullptr)) {
        return IdMatch::Unreadable;
    }
    return ListHasHotkeyId(static_cast<const wchar_t*>(buffer.get())) ? IdMatch::Carries : IdMatch::Lacks;
}

IdMatch DeviceHasHotkeyId(HDEVINFO devices, SP_DEVINFO_DATA& device)
{
    const IdMatch hardware = PropertyHasHotkeyId(devices, device, SPDRP_HARDWAREID);
    if (hardware == IdMatch::Carries) return hardware;
    const IdMatch compatible = PropertyHasHotkeyId(devices, device, SPDRP_COMPATIBLEIDS);
    if (compatible == IdMatch::Carries) return compatible;
    return hardware == IdMatch::Unreadable ? hardware : compatible;
}

// Calls visit for each device of the list until it returns false. False when the list could not
// be read to its end.
template <typename Visit>
bool WalkDevices(HDEVINFO devices, Visit&& visit)
{
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        if (!visit(device, DeviceHasHotkeyId(devices, device))) return true;
    }
    return ::GetLastError() == ERROR_NO_MORE_ITEMS;
}

// Whether the watched device is among the registered devices, present or not, that carry the
// hotkey id. "Not listed" needs a list read to its end, every device's ids read, and the
// device's own record gone rather than unreadable.
Listing ListWatchedDevice(const wchar_t* instanceId, const wchar_t* keyPath)
{
    const UniqueDeviceList devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!devices) return Listing::Failed;
    bool listed = false;
    bool unreadable = false;
    const bool walked = WalkDevices(devices.get(), [&](SP_DEVINFO_DATA& device, IdMatch match) {
        wchar_t id[kDeviceInstanceIdChars] = {};
        if (match == IdMatch::Carries &&
            !::SetupDiGetDeviceInstanceIdW(devices.get(), &device, id, kDeviceInstanceIdChars, nullptr)) {
            match = IdMatch::Unreadable;
        }
        unreadable = unreadable || match == IdMatch::Unreadable;
        listed = match == IdMatch::Carries && _wcsicmp(id, instanceId) == 0;
        return !listed;
    });
    if (listed) return Listing::Listed;
    win::UniqueRegKey record;
    const LONG opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, record.put());
    return walked && !unreadable && opened == ERROR_FILE_NOT_FOUND ? Listing::NotListed : Listing::Failed;
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
    win::UniqueRegKey userHive;
    const LONG hiveOpened = impersonated ? ::RegOpenCurrentUser(KEY_READ, userHive.put()) : ERROR_SUCCESS;
    const HKEY root = PerUserRoot(impersonated, hiveOpened, userHive.get());
    bool deleted = root != nullptr;
    if (deleted) {
        DeleteRegKeyTree(root, L"Software\\Osmira\\Hotkey");
        deleted = DeleteRegKeyTree(root, L"Software\\Osmira\\OsmiraHotkeysService") != FALSE;
    } else {
        ::SetLastError(static_cast<DWORD>(hiveOpened));
    }
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

// One check: the configuration manager's answer, with the device list for when it cannot answer.
Verdict CheckDevice(const wchar_t* instanceId, const wchar_t* keyPath)
{
    DEVINST node = 0;
    const CONFIGRET located =
        ::CM_Locate_DevNodeW(&node, const_cast<wchar_t*>(instanceId), CM_LOCATE_DEVNODE_PHANTOM);
    const Verdict verdict = devicecheck::Judge(located, ListWatchedDevice(instanceId, keyPath));
    if (verdict == Verdict::Undecided) {
        WriteLog(L"_Thread_HotkeyDeviceWatch check undecided, CM_Locate_DevNodeW: %d; the device counts as present",
                 static_cast<int>(located));
    }
    return verdict;
}

// What the looks at the device found: there at once, no answer, missing and back on the second look, or gone on both.
enum class Looks { Present, Undecided, Back, Gone };

Looks LookTwice(const wchar_t* instanceId, const wchar_t* keyPath)
{
    const Verdict first = CheckDevice(instanceId, keyPath);
    if (first != Verdict::Gone) return first == Verdict::Undecided ? Looks::Undecided : Looks::Present;
    WriteLog(L"_Thread_HotkeyDeviceWatch device missing, looking again in %d ms", static_cast<int>(kSecondCheckPause));
    ::Sleep(kSecondCheckPause);
    if (CheckDevice(instanceId, keyPath) == Verdict::Gone) return Looks::Gone;
    WriteLog(L"_Thread_HotkeyDeviceWatch device back on the second look; the package stays");
    return Looks::Back;
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
    win::UniqueHandle event(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!event || !ArmWatch(keyPath, key, event.get())) return false;
    unsigned undecided = 0;
    for (;;) {
        if (::WaitForSingleObject(event.get(), INFINITE) != WAIT_OBJECT_0) continue;
        bool armed = ArmWatch(keyPath, key, event.get());
        CMP_WaitNoPendingInstallEvents(INFINITE);
        const Looks looks = LookTwice(instanceId, keyPath);
        if (looks == Looks::Gone) return true;
        // A device registered again has a new key, which a notification armed on the old one never reports, even
        // when armed while the old key was still being taken apart: the watch moves to the new key, with an event of
        // its own, since closing the old key may still signal the old event. Until the new key can be watched, a look
        // each second stands in for it.
        if (looks == Looks::Back) {
            event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
            if (!event) return false;
            armed = false;
        }
        // A look while the device is being taken apart may decide nothing, and the removal of the watched key itself
        // reports nothing more: a few more looks follow it.
        undecided = looks == Looks::Undecided ? undecided + 1 : 0;
        const bool unwatched = !armed && !ArmWatch(keyPath, key, event.get());
        if (unwatched || (undecided > 0 && undecided <= kUndecidedLooks)) {
            ::Sleep(1000);
            ::SetEvent(event.get());
        }
    }
}

} // namespace

namespace devicecheck {

// Only a clear "no such device", or a device list read whole without it, starts the removal;
// any error keeps the package: a check that fails must never delete anything.
Verdict Judge(CONFIGRET located, Listing listing)
{
    if (located == CR_SUCCESS || listing == Listing::Listed) return Verdict::Present;
    if (located == CR_NO_SUCH_DEVNODE) return Verdict::Gone;
    // Some configuration managers answer CR_FAILURE for every device: the list decides then.
    return located == CR_FAILURE && listing == Listing::NotListed ? Verdict::Gone : Verdict::Undecided;
}

} // namespace devicecheck

HKEY PerUserRoot(bool impersonated, LONG userHiveOpened, HKEY userHive)
{
    if (!impersonated) return HKEY_CURRENT_USER;
    return userHiveOpened == ERROR_SUCCESS ? userHive : nullptr;
}

BOOL FindHotkeyDevice(wchar_t* instanceId)
{
    const UniqueDeviceList devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!devices) return FALSE;
    BOOL found = FALSE;
    WalkDevices(devices.get(), [&](SP_DEVINFO_DATA& device, IdMatch match) {
        if (match != IdMatch::Carries) return true;
        found = instanceId == nullptr ||
                ::SetupDiGetDeviceInstanceIdW(devices.get(), &device, instanceId, kDeviceInstanceIdChars, nullptr);
        return false;
    });
    return found;
}

DWORD WINAPI _Thread_HotkeyDeviceWatch(LPVOID)
{
    const bool gone = WatchUntilGone();
    WriteLog(L" service check:[%d]", gone ? 1 : 0);
    if (gone) RemovePackage();
    return 0;
}
