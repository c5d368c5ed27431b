#include "service/ServiceInstaller.h"

#include "log/ConsolePrint.h"
#include "service/ServiceName.h"
#include "win/Owners.h"

#include <sddl.h>

#include <string>

namespace {
constexpr const wchar_t* kDisplayName = L"Osmira Utility Service";
}

void InstallService()
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!::QueryFullProcessImageNameW(::GetCurrentProcess(), 0, path, &length)) {
        ConsolePrint(L"QueryFullProcessImageName failed w/err 0x%08lx\n", ::GetLastError());
        return;
    }
    // Quoted: unquoted, a path with a space would let the manager start C:\Program.exe instead.
    const std::wstring binaryPath = L"\"" + std::wstring(path, length) + L"\"";

    win::UniqueServiceHandle manager(
        ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
        return;
    }

    // No account: the service runs as LocalSystem. Dependencies: an empty list.
    const DWORD access = SERVICE_QUERY_STATUS | WRITE_DAC | DELETE;
    win::UniqueServiceHandle service(::CreateServiceW(
        manager.get(), kServiceName, kDisplayName, access, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, binaryPath.c_str(), nullptr, nullptr, L"\0", nullptr, nullptr));
    if (!service) {
        ConsolePrint(L"CreateService failed w/err 0x%08lx\n", ::GetLastError());
        return;
    }
    // Departs from the default access list: it lets every service account send the codes that start programs in
    // the console user's session.
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const BOOL secured = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kServiceSecurity, SDDL_REVISION_1,
                                                                                &descriptor, nullptr) &&
                         ::SetServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, descriptor);
    const DWORD error = ::GetLastError();
    const win::UniqueLocalMemory held(descriptor);
    if (!secured) {
        // A service that anyone may drive is not installed at all.
        ConsolePrint(L"SetServiceObjectSecurity failed w/err 0x%08lx\n", error);
        ::DeleteService(service.get());
        return;
    }
    ConsolePrint(L"%s is installed.\n", kServiceName);
    manager.reset(); // the manager first, then the service
}

void UninstallService()
{
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        ConsolePrint(L"OpenSCManager failed w/err 0x%08lx\n", ::GetLastError());
        return;
    }

    win::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        ConsolePrint(L"OpenService failed w/err 0x%08lx\n", ::GetLastError());
        return;
    }

    SERVICE_STATUS status = {};
    // A refused stop (typically: not running) is passed over in silence.
    if (::ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        ConsolePrint(L"Stopping %s.", kServiceName);
        ::Sleep(1000);
        // No upper bound: the removal waits as long as the service says it is stopping.
        while (::QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOP_PENDING) {
            ConsolePrint(L".");
            ::Sleep(1000);
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            ConsolePrint(L"\n%s is stopped.\n", kServiceName);
        } else {
            ConsolePrint(L"\n%s failed to stop.\n", kServiceName);
        }
    }

    if (::DeleteService(service.get())) {
        ConsolePrint(L"%s is removed.\n", kServiceName);
    } else {
        ConsolePrint(L"DeleteService failed w/err 0x%08lx\n", ::GetLastError());
    }
    manager.reset(); // the manager first, then the service
}
