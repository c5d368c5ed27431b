// How soon the installed service marks the package's driver service for deletion after its
// hotkey device is removed, and what the watch costs while nothing happens. Prints figures;
// asserts nothing. Run in a prefix with the service installed:
//   device_watch_bench <fn_hotkey_device.exe> <package keyapp.exe> [rounds] [idle seconds]
#include "BenchClock.h"
#include "win/Owners.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool Run(const std::wstring& commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    std::wstring writable = commandLine;
    win::UniqueProcessInformation info;
    if (!::CreateProcessW(nullptr, &writable[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                          info.put())) {
        return false;
    }
    DWORD exitCode = 1;
    ::WaitForSingleObject(info.get().hProcess, 60000);
    ::GetExitCodeProcess(info.get().hProcess, &exitCode);
    return exitCode == 0;
}

// Gone from the manager's database, or marked for deletion.
bool PackageServiceGone(SC_HANDLE manager)
{
    win::UniqueServiceHandle package(::OpenServiceW(manager, L"OsmiraFnAndFunctionKeys", SERVICE_QUERY_STATUS));
    if (!package) return ::GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    SERVICE_STATUS status = {};
    return !::QueryServiceStatus(package.get(), &status) && ::GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        ConsolePrint(L"usage: device_watch_bench <fn_hotkey_device.exe> <keyapp.exe> [rounds] [idle seconds]\n");
        return 2;
    }
    const std::wstring tool = L"\"" + std::wstring(argv[1]) + L"\" ";
    const std::wstring keyapp = L"\"" + std::wstring(argv[2]) + L"\"";
    const int rounds = argc > 3 ? std::max(1, _wtoi(argv[3])) : 20;
    const int idleSeconds = argc > 4 ? std::max(1, _wtoi(argv[4])) : 60;
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), L"OsmiraUtilityService", SERVICE_ALL_ACCESS));
    if (!service) {
        ConsolePrint(L"the service is not installed (error %d)\n", static_cast<int>(::GetLastError()));
        return 1;
    }
    auto setUp = [&] {
        win::UniqueServiceHandle package(::CreateServiceW(manager.get(), L"OsmiraFnAndFunctionKeys", nullptr, SERVICE_ALL_ACCESS,
                                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                          SERVICE_ERROR_NORMAL, keyapp.c_str(), nullptr, nullptr,
                                                          nullptr, nullptr, nullptr));
        return package && Run(tool + L"create") && EnsureRunning(service.get());
    };
    auto tearDown = [&] { StopService(service.get()); };

    std::vector<double> delays;
    for (int i = 0; i < rounds; ++i) {
        if (!setUp()) {
            ConsolePrint(L"round %d could not be set up (error %d)\n", i + 1, static_cast<int>(::GetLastError()));
            tearDown();
            continue;
        }
        ::Sleep(1500); // the watch arms right after the control handler's registration
        if (Run(tool + L"remove")) {
            const double removed = Now();
            while (!PackageServiceGone(manager.get()) && Now() - removed < 30) ::Sleep(2);
            if (PackageServiceGone(manager.get())) delays.push_back(Now() - removed);
        }
        tearDown();
    }
    if (delays.empty()) {
        ConsolePrint(L"device removed to package service marked for deletion: never, in %d rounds\n", rounds);
    } else {
        ConsolePrint(L"device removed to package service marked for deletion: median %.1f ms, worst %.1f ms (%d rounds)\n",
                     Percentile(delays, 0.5) * 1000, Percentile(delays, 1.0) * 1000, static_cast<int>(delays.size()));
    }

    // The idle cost: the service with its device present, after the supervision window.
    if (!setUp()) return 1;
    ::Sleep(45000);
    CpuWindow window(ServiceProcessId(service.get()));
    window.SampleFor(idleSeconds);
    const double used = window.Seconds();
    ConsolePrint(L"service CPU time over %d s idle with the device present: %.3f s (%.3f%% of one core)\n", idleSeconds,
                 used, used * 100.0 / idleSeconds);
    Run(tool + L"remove");
    tearDown();
    return 0;
}
