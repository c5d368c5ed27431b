// Creates, lists and removes the ACPI hotkey device record in a prefix, and touches a value
// below its Enum key, as a machine's plug and play would:
//   fn_hotkey_device create [--compatible]   a device with "*ZNT4082" as a hardware id, or only
//                                            among its compatible ids
//   fn_hotkey_device touch                   writes a value below the device's Enum key
//   fn_hotkey_device remove | list
// Exit code 0 when done, 1 when not.
#include "log/ConsolePrint.h"
#include "win/Owners.h"

#include <setupapi.h>

#include <cwchar>

namespace {

constexpr wchar_t kInstanceId[] = L"ACPI\\ZNT4082\\0";
constexpr wchar_t kIds[] = L"*ZNT4082\0ACPI\\ZNT4082\0";
// The hotkey id as a compatible id only.
constexpr wchar_t kOtherHardwareIds[] = L"ACPI\\OSMIRA0001\0";
constexpr wchar_t kCompatibleIds[] = L"*ZNT4082\0";
// {4D36E97D-E325-11CE-BFC1-08002BE10318}: the System class
constexpr GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

using UniqueDeviceList = win::UniqueDeviceInfoList;

bool SetIds(HDEVINFO devices, SP_DEVINFO_DATA& device, DWORD property, const wchar_t* ids, size_t chars)
{
    return ::SetupDiSetDeviceRegistryPropertyW(devices, &device, property, reinterpret_cast<const BYTE*>(ids),
                                               static_cast<DWORD>(chars * sizeof(wchar_t)));
}

int Create(bool compatibleOnly)
{
    const UniqueDeviceList devices(::SetupDiCreateDeviceInfoList(&kSystemClass, nullptr));
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (!::SetupDiCreateDeviceInfoW(devices.get(), kInstanceId, &kSystemClass, nullptr, nullptr, 0, &device)) {
        ConsolePrint(L"SetupDiCreateDeviceInfoW failed: %d\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    const bool named =
        compatibleOnly
            ? SetIds(devices.get(), device, SPDRP_HARDWAREID, kOtherHardwareIds, sizeof kOtherHardwareIds / 2) &&
                  SetIds(devices.get(), device, SPDRP_COMPATIBLEIDS, kCompatibleIds, sizeof kCompatibleIds / 2)
            : SetIds(devices.get(), device, SPDRP_HARDWAREID, kIds, sizeof kIds / 2);
    if (!named || !::SetupDiRegisterDeviceInfo(devices.get(), &device, 0, nullptr, nullptr, nullptr)) {
        ConsolePrint(L"the device could not be registered: %d\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    ConsolePrint(L"created %s\n", kInstanceId);
    return 0;
}

int Remove()
{
    const UniqueDeviceList devices(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    if (!::SetupDiOpenDeviceInfoW(devices.get(), kInstanceId, nullptr, 0, &device) ||
        !::SetupDiRemoveDevice(devices.get(), &device)) {
        ConsolePrint(L"the device could not be removed: %d\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    ConsolePrint(L"removed %s\n", kInstanceId);
    return 0;
}

int Touch()
{
    win::UniqueRegKey key;
    const DWORD value = ::GetTickCount();
    const LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Enum\\ACPI\\ZNT4082\\0", 0,
                                        KEY_SET_VALUE, key.put());
    if (status != ERROR_SUCCESS ||
        ::RegSetValueExW(key.get(), L"OsmiraTouched", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                         sizeof value) != ERROR_SUCCESS) {
        ConsolePrint(L"the device's key could not be written: %d\n", static_cast<int>(status));
        return 1;
    }
    return 0;
}

int List()
{
    const UniqueDeviceList devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(devices.get(), index, &device); ++index) {
        wchar_t id[260] = {};
        if (::SetupDiGetDeviceInstanceIdW(devices.get(), &device, id, 260, nullptr)) ConsolePrint(L"%s\n", id);
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* command = argc > 1 ? argv[1] : L"";
    if (_wcsicmp(command, L"create") == 0) return Create(argc > 2 && _wcsicmp(argv[2], L"--compatible") == 0);
    if (_wcsicmp(command, L"remove") == 0) return Remove();
    if (_wcsicmp(command, L"touch") == 0) return Touch();
    if (_wcsicmp(command, L"list") == 0) return List();
    ConsolePrint(L"usage: fn_hotkey_device create [--compatible] | touch | remove | list\n");
    return 1;
}
