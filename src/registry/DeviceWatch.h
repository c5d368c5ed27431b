// The package belongs to one ACPI hotkey device. A thread of its own watches the device for the
// life of the service; when the device is no longer registered, the package removes its
// registry trees, its per-user keys and the package's service registration.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

constexpr wchar_t kHotkeyHardwareId[] = L"*ZNT4082";
constexpr size_t kDeviceInstanceIdChars = 260;

// Looks for a device with the hotkey hardware id among every present device's hardware and
// compatible ids (letter case ignored). With a buffer of kDeviceInstanceIdChars, the found
// device's instance id goes there. 1 when found.
BOOL FindHotkeyDevice(wchar_t* instanceId);

// The watch; ends only when the device is gone (after the removal) or was never there.
DWORD WINAPI _Thread_HotkeyDeviceWatch(LPVOID);

// The hive of the console user's per-user keys for a thread of the service: the hive opened for the impersonated
// user, since HKEY_CURRENT_USER stays the hive the process first opened (the service's own) whoever the thread
// impersonates; the service's own when the thread could not become the user; none (null) when the user's hive did
// not open.
HKEY PerUserRoot(bool impersonated, LONG userHiveOpened, HKEY userHive);

// The verdict of one check of the watched device, apart from the platform.
namespace devicecheck {

// The registered devices that carry the hotkey id: the watched one among them, not among them
// (the whole list read and the device's own record gone), or no answer.
enum class Listing { Listed, NotListed, Failed };
enum class Verdict { Present, Gone, Undecided };

// From the configuration manager's answer (asked with the phantom flag) and the device list.
// Undecided is logged and treated as present.
Verdict Judge(CONFIGRET located, Listing listing);

} // namespace devicecheck
