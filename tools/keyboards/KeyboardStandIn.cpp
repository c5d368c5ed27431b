// Attaches and detaches the stand-in keyboards in the running prefix and reads their records.
#include "KeyboardStandIn.h"

#include <win/Owners.h>
#include <initguid.h>
#include <devguid.h>
#include <setupapi.h>
#include <hidclass.h>
#include <memory>

namespace kbdstandin {
namespace {

struct DevInfoDeleter {
    void operator()(void* set) const { ::SetupDiDestroyDeviceInfoList(set); }
};
using DevInfoList = std::unique_ptr<void, DevInfoDeleter>;

// Wine's private service control: the driver's host re-enumerates its root devices.
constexpr DWORD kReenumerateRootDevices = 128;
const wchar_t* const kCollections[] = {L"&COL01", L"&COL02"};

// The root device of one collection: ROOT\VID_xxxx&PID_yyyy&COLnn\0000.
std::wstring InstanceId(const std::wstring& deviceName)
{
    return L"ROOT\\" + deviceName + L"\\0000";
}

std::wstring Lower(std::wstring text)
{
    for (auto& c : text) c = static_cast<wchar_t>(towlower(c));
    return text;
}

// CopyFileW keeps the source's time of last write: equal size and time mean the same build.
bool SameFile(const std::wstring& one, const std::wstring& other)
{
    WIN32_FILE_ATTRIBUTE_DATA a, b;
    return ::GetFileAttributesExW(one.c_str(), GetFileExInfoStandard, &a) &&
           ::GetFileAttributesExW(other.c_str(), GetFileExInfoStandard, &b) && a.nFileSizeLow == b.nFileSizeLow &&
           ::CompareFileTime(&a.ftLastWriteTime, &b.ftLastWriteTime) == 0;
}

// Whether a root device names the driver as its service. A driver with devices must not be
// stopped: Wine then reports it stopped but keeps it loaded, and no longer re-enumerates.
bool DriverHasDevices()
{
    DevInfoList set(::SetupDiGetClassDevsW(&GUID_DEVCLASS_HIDCLASS, L"ROOT", nullptr, 0));
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    for (DWORD i = 0; set.get() != INVALID_HANDLE_VALUE && ::SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
        wchar_t service[64] = {};
        if (::SetupDiGetDeviceRegistryPropertyW(set.get(), &device, SPDRP_SERVICE, nullptr,
                                                reinterpret_cast<BYTE*>(service), sizeof(service) - sizeof(wchar_t),
                                                nullptr) &&
            !_wcsicmp(service, FN_KBD_SERVICE))
            return true;
    }
    return false;
}

// Installs the driver service, or brings an installed one up to this build's driver: the
// old one is stopped first, which needs every keyboard detached.
DWORD InstallDriver(const std::wstring& driverFile)
{
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return ::GetLastError();
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring installed = std::wstring(system) + L"\\drivers\\" FN_KBD_DRIVER_FILE;
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), FN_KBD_SERVICE, SERVICE_ALL_ACCESS));
    if (service && SameFile(driverFile, installed)) return ERROR_SUCCESS;
    if (service) {
        if (DriverHasDevices()) return ERROR_DEVICE_IN_USE;
        SERVICE_STATUS status = {};
        if (!::ControlService(service.get(), SERVICE_CONTROL_STOP, &status) &&
            ::GetLastError() != ERROR_SERVICE_NOT_ACTIVE)
            return ::GetLastError();
        for (DWORD start = ::GetTickCount(); ::QueryServiceStatus(service.get(), &status) &&
             status.dwCurrentState != SERVICE_STOPPED && ::GetTickCount() - start < 5000;)
            ::Sleep(50);
    }
    if (!::CopyFileW(driverFile.c_str(), installed.c_str(), FALSE)) return ::GetLastError();
    if (service) return ERROR_SUCCESS;
    service.reset(::CreateServiceW(manager.get(), FN_KBD_SERVICE, FN_KBD_SERVICE, SERVICE_ALL_ACCESS,
                                   SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   installed.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    return service ? ERROR_SUCCESS : ::GetLastError();
}

// Starts the driver, or has the running driver's host look at the root devices again.
DWORD Reenumerate()
{
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    win::UniqueServiceHandle service(
        manager ? ::OpenServiceW(manager.get(), FN_KBD_SERVICE, SERVICE_START | SERVICE_USER_DEFINED_CONTROL)
                : nullptr);
    if (!service) return ::GetLastError();
    if (::StartServiceW(service.get(), 0, nullptr)) return ERROR_SUCCESS;
    if (::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return ::GetLastError();
    SERVICE_STATUS status;
    return ::ControlService(service.get(), kReenumerateRootDevices, &status) ? ERROR_SUCCESS : ::GetLastError();
}

DWORD CreateRootDevice(const std::wstring& deviceName)
{
    const std::wstring instanceId = InstanceId(deviceName);
    DevInfoList set(::SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_HIDCLASS, nullptr));
    if (set.get() == INVALID_HANDLE_VALUE) return ::GetLastError();
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!::SetupDiCreateDeviceInfoW(set.get(), instanceId.c_str(), &GUID_DEVCLASS_HIDCLASS, nullptr, nullptr, 0,
                                    &device))
        return ::GetLastError() == ERROR_DEVINST_ALREADY_EXISTS ? ERROR_SUCCESS : ::GetLastError();
    const std::wstring hardwareId = FN_KBD_SERVICE L"\\" + deviceName + L'\0';  // a list of one
    const std::wstring service = FN_KBD_SERVICE;
    auto set_property = [&](DWORD property, const std::wstring& value) {
        return ::SetupDiSetDeviceRegistryPropertyW(set.get(), &device, property,
                                                   reinterpret_cast<const BYTE*>(value.c_str()),
                                                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    if (!set_property(SPDRP_HARDWAREID, hardwareId) || !set_property(SPDRP_SERVICE, service) ||
        !::SetupDiRegisterDeviceInfo(set.get(), &device, 0, nullptr, nullptr, nullptr))
        return ::GetLastError();
    return ERROR_SUCCESS;
}

DWORD RemoveRootDevice(const std::wstring& deviceName)
{
    DevInfoList set(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (set.get() == INVALID_HANDLE_VALUE) return ::GetLastError();
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    if (!::SetupDiOpenDeviceInfoW(set.get(), InstanceId(deviceName).c_str(), nullptr, 0, &device))
        return ::GetLastError() == ERROR_NO_SUCH_DEVINST ? ERROR_SUCCESS : ::GetLastError();
    return ::SetupDiRemoveDevice(set.get(), &device) ? ERROR_SUCCESS : ::GetLastError();
}

// Polls (deadline 20 s) until the keyboard has the given number of HID interfaces.
DWORD WaitForInterfaces(unsigned vendor, unsigned product, size_t count)
{
    const DWORD start = ::GetTickCount();
    while (KeyboardInterfaces(vendor, product).size() != count) {
        if (::GetTickCount() - start > 20000) return ERROR_TIMEOUT;
        ::Sleep(50);
    }
    return ERROR_SUCCESS;
}

}  // namespace

std::wstring KeyboardName(unsigned vendor, unsigned product)
{
    wchar_t name[FN_KBD_NAME_CHARS + 8];
    _snwprintf(name, FN_KBD_NAME_CHARS + 8, L"VID_%04X&PID_%04X", vendor & 0xFFFF, product & 0xFFFF);
    return name;
}

std::wstring ReportsKey(unsigned vendor, unsigned product)
{
    return L"SYSTEM\\CurrentControlSet\\Services\\" FN_KBD_SERVICE L"\\" FN_KBD_REPORTS_SUBKEY L"\\" +
           KeyboardName(vendor, product);
}

DWORD HoldWrites(unsigned vendor, unsigned product, bool hold)
{
    const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\" FN_KBD_SERVICE L"\\" FN_KBD_FAULTS_SUBKEY L"\\" +
                             KeyboardName(vendor, product);
    const DWORD one = 1;
    if (hold) {
        return static_cast<DWORD>(
            ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), FN_KBD_HOLD_WRITES, REG_DWORD, &one, sizeof one));
    }
    const LONG status = ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), FN_KBD_HOLD_WRITES);
    return status == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : static_cast<DWORD>(status);
}

std::vector<std::vector<unsigned char>> ReadReports(unsigned vendor, unsigned product)
{
    std::vector<std::vector<unsigned char>> reports;
    win::UniqueRegKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, ReportsKey(vendor, product).c_str(), 0, KEY_READ, key.put()) !=
        ERROR_SUCCESS)
        return reports;
    for (unsigned number = 1;; ++number) {
        wchar_t name[8];
        _snwprintf(name, 8, L"%04u", number);
        unsigned char bytes[256];
        DWORD size = sizeof(bytes);
        if (::RegQueryValueExW(key.get(), name, nullptr, nullptr, bytes, &size) != ERROR_SUCCESS) break;
        reports.emplace_back(bytes, bytes + size);
    }
    return reports;
}

std::vector<std::wstring> HidInterfaces()
{
    std::vector<std::wstring> paths;
    DevInfoList set(
        ::SetupDiGetClassDevsW(&GUID_DEVINTERFACE_HID, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; ::SetupDiEnumDeviceInterfaces(set.get(), nullptr, &GUID_DEVINTERFACE_HID, i, &data); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            wchar_t space[600];
        } buffer;
        buffer.detail.cbSize = sizeof(buffer.detail);
        if (::SetupDiGetDeviceInterfaceDetailW(set.get(), &data, &buffer.detail, sizeof(buffer), nullptr, nullptr))
            paths.push_back(buffer.detail.DevicePath);
    }
    return paths;
}

std::vector<std::wstring> KeyboardInterfaces(unsigned vendor, unsigned product)
{
    std::vector<std::wstring> paths;
    const std::wstring stem = Lower(KeyboardName(vendor, product)) + L"&col";
    for (const std::wstring& path : HidInterfaces())
        if (Lower(path).find(stem) != std::wstring::npos) paths.push_back(path);
    return paths;
}

DWORD AttachKeyboard(unsigned vendor, unsigned product, const std::wstring& driverFile)
{
    DWORD error = InstallDriver(driverFile);
    if (error) return error;
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ReportsKey(vendor, product).c_str());
    for (const wchar_t* collection : kCollections)
        if ((error = CreateRootDevice(KeyboardName(vendor, product) + collection))) return error;
    if ((error = Reenumerate())) return error;
    return WaitForInterfaces(vendor, product, 2);
}

DWORD DetachKeyboard(unsigned vendor, unsigned product)
{
    DWORD error = ERROR_SUCCESS;
    for (const wchar_t* collection : kCollections)
        if ((error = RemoveRootDevice(KeyboardName(vendor, product) + collection))) return error;
    if ((error = Reenumerate())) return error;
    return WaitForInterfaces(vendor, product, 0);
}

}  // namespace kbdstandin
