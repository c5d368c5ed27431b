#include "E2eSupport.h"

#include "win/Owners.h"

#include <algorithm>
#include <cstdlib>

namespace e2e {

namespace {

constexpr const wchar_t* kServiceName = L"OsmiraUtilityService";

win::UniqueServiceHandle OpenManager()
{
    return win::UniqueServiceHandle(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

win::UniqueServiceHandle OpenTheService(DWORD access)
{
    win::UniqueServiceHandle manager = OpenManager();
    if (!manager) return win::UniqueServiceHandle();
    return win::UniqueServiceHandle(::OpenServiceW(manager.get(), kServiceName, access));
}

bool WaitForProcessEnd(DWORD processId, DWORD timeoutMs)
{
    if (processId == 0) return true;
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process) return true;
    return ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

} // namespace

std::wstring InstallFolder()
{
    const wchar_t* folder = _wgetenv(L"FNKEY_INSTALL_DIR");
    return folder != nullptr && *folder ? folder : L"C:\\Program Files\\Osmira\\FnKey";
}

std::wstring ServiceExePath() { return InstallFolder() + L"\\OsmiraUtilityService.exe"; }

testsupport::ProcessResult RunServiceExe(const std::wstring& arguments)
{
    return RunTool(L"OsmiraUtilityService.exe", arguments);
}

testsupport::ProcessResult RunTool(const std::wstring& exeName, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + InstallFolder() + L"\\" + exeName + L"\"";
    if (!arguments.empty()) commandLine += L" " + arguments;
    return testsupport::RunAndCapture(commandLine);
}

bool InstallService()
{
    const testsupport::ProcessResult result = RunServiceExe(L"-install");
    return result.output == "OsmiraUtilityService is installed.\n";
}

bool IsServiceInstalled() { return static_cast<bool>(OpenTheService(SERVICE_QUERY_STATUS)); }

SERVICE_STATUS_PROCESS QueryStatus()
{
    SERVICE_STATUS_PROCESS status = {};
    win::UniqueServiceHandle service = OpenTheService(SERVICE_QUERY_STATUS);
    DWORD needed = 0;
    if (service) {
        ::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                               sizeof status, &needed);
    }
    return status;
}

bool WaitForState(DWORD state, DWORD timeoutMs)
{
    return testsupport::WaitUntil([&] { return QueryStatus().dwCurrentState == state; }, timeoutMs);
}

bool StartService(DWORD timeoutMs)
{
    win::UniqueServiceHandle service = OpenTheService(SERVICE_START | SERVICE_QUERY_STATUS);
    if (!service || !::StartServiceW(service.get(), 0, nullptr)) return false;
    return WaitForState(SERVICE_RUNNING, timeoutMs);
}

bool StopService(DWORD timeoutMs)
{
    const DWORD processId = QueryStatus().dwProcessId;
    if (SendControl(SERVICE_CONTROL_STOP) != 0) return false;
    return WaitForState(SERVICE_STOPPED, timeoutMs) && WaitForProcessEnd(processId, timeoutMs);
}

void RemoveService()
{
    win::UniqueServiceHandle service = OpenTheService(SERVICE_ALL_ACCESS);
    if (!service) return;
    SERVICE_STATUS_PROCESS status = QueryStatus();
    if (status.dwCurrentState != SERVICE_STOPPED && status.dwCurrentState != 0) {
        SERVICE_STATUS ignored = {};
        ::ControlService(service.get(), SERVICE_CONTROL_STOP, &ignored);
        WaitForState(SERVICE_STOPPED, 30000);
        WaitForProcessEnd(status.dwProcessId, 30000);
    }
    ::DeleteService(service.get());
    service.reset();
    testsupport::WaitUntil([] { return !IsServiceInstalled(); }, 10000);
}

DWORD SendControl(DWORD code)
{
    win::UniqueServiceHandle service =
        OpenTheService(SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_USER_DEFINED_CONTROL);
    if (!service) return ::GetLastError();
    SERVICE_STATUS status = {};
    return ::ControlService(service.get(), code, &status) ? 0 : ::GetLastError();
}

std::wstring ServiceLogPath() { return L"C:\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility.log"; }

void ResetServiceLog()
{
    ::DeleteFileW(ServiceLogPath().c_str());
    for (int slot = 1; slot <= 5; ++slot) {
        ::DeleteFileW((L"C:\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility_" + std::to_wstring(slot) + L".log").c_str());
    }
}

std::vector<std::wstring> ServiceLogMessages() { return testsupport::ReadLogMessages(ServiceLogPath()); }

size_t CountLogMessages(const std::wstring& message)
{
    const std::vector<std::wstring> messages = ServiceLogMessages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

bool WaitForLogMessage(const std::wstring& message, DWORD timeoutMs)
{
    return testsupport::WaitUntil([&] { return CountLogMessages(message) > 0; }, timeoutMs, 50);
}

void ServiceTest::SetUp()
{
    RemoveService();
    testsupport::SetLogSwitch(true);
    ResetServiceLog();
}

void ServiceTest::TearDown() { RemoveService(); }

} // namespace e2e
