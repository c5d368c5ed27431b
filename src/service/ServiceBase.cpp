#include "service/ServiceBase.h"

#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"

#include <cstdio>

CServiceBase* g_serviceInstance = nullptr;

// {C0570FC0-24C2-49EF-97EA-6D514F6EE5E3}
const GUID kServiceEventProvider = {0xC0570FC0, 0x24C2, 0x49EF,
                                    {0x97, 0xEA, 0x6D, 0x51, 0x4F, 0x6E, 0xE5, 0xE3}};

namespace {

constexpr DWORD kControlsAccepted =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_SESSIONCHANGE;

// Pending and paused reports number themselves across every sequence of the process.
DWORD g_checkPoint = 1;

bool TakesCheckPoint(DWORD state)
{
    return state != SERVICE_RUNNING && state != SERVICE_STOPPED;
}

} // namespace

CServiceBase::CServiceBase(const wchar_t* serviceName) : m_serviceName(serviceName)
{
    m_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_serviceStatus.dwCurrentState = SERVICE_START_PENDING;
    m_serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    m_serviceStatus.dwWin32ExitCode = NO_ERROR;
    m_serviceStatus.dwServiceSpecificExitCode = 0;
    m_serviceStatus.dwCheckPoint = 0;
    m_serviceStatus.dwWaitHint = 0;

    const ULONG result = ::EventRegister(&kServiceEventProvider, nullptr, nullptr, &m_eventRegHandle);
    if (result != ERROR_SUCCESS) {
        ConsolePrint(L"Provider not registered. EventRegister failed with %d\n", result);
    }
}

CServiceBase::~CServiceBase()
{
    if (m_eventRegHandle != 0) ::EventUnregister(m_eventRegHandle);
}

BOOL CServiceBase::Run(CServiceBase& service)
{
    g_serviceInstance = &service;
    SERVICE_TABLE_ENTRYW table[] = {
        {const_cast<LPWSTR>(service.m_serviceName), &CServiceBase::ServiceMain},
        {nullptr, nullptr},
    };
    return ::StartServiceCtrlDispatcherW(table);
}

void WINAPI CServiceBase::ServiceMain(DWORD argc, LPWSTR* argv)
{
    CServiceBase* service = g_serviceInstance;
    service->m_serviceStatusHandle =
        ::RegisterServiceCtrlHandlerExW(service->m_serviceName, &CServiceBase::ServiceCtrlHandlerEx, service);
    if (service->m_serviceStatusHandle == nullptr) {
        WriteLog(L"CServiceBase::ServiceMain m_serviceStatusHandle is NULL! error1: %d", ::GetLastError());
    }

    // The hotkey device watch thread is started here once the device watch exists.

    service->Start(argc, argv);
}

DWORD WINAPI CServiceBase::ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                                LPVOID context)
{
    CServiceBase* service = static_cast<CServiceBase*>(context);
    if (service == nullptr) {
        WriteLog(L"CServiceBase:: ServiceCtrlHandlerEx  is NULL! error: %d", ::GetLastError());
        return NO_ERROR;
    }

    service->OnServiceControlHandle(control, eventType, eventData, context);

    switch (control) {
    case SERVICE_CONTROL_STOP:
        service->Stop();
        break;
    case SERVICE_CONTROL_PAUSE:
        service->Pause();
        break;
    case SERVICE_CONTROL_CONTINUE:
        service->Continue();
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        service->Shutdown();
        break;
    default:
        break;
    }
    return NO_ERROR;
}

void CServiceBase::Start(DWORD argc, LPWSTR* argv)
{
    try {
        WriteServiceEvent(L"Service trying to start.", 2);
        ReportStatus(SERVICE_START_PENDING, NO_ERROR);
        OnStart(argc, argv);
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    } catch (DWORD error) {
        WriteServiceError(L"Service Start", error);
        ReportStatus(SERVICE_STOPPED, error);
    } catch (...) {
        WriteServiceEvent(L"Service failed to start.", 2);
        ReportStatus(SERVICE_STOPPED, NO_ERROR);
    }
}

void CServiceBase::Stop()
{
    const DWORD originalState = StatusSnapshot().dwCurrentState;
    try {
        ReportStatus(SERVICE_STOP_PENDING, NO_ERROR);
        OnStop();
        ReportStatus(SERVICE_STOPPED, NO_ERROR);
    } catch (DWORD error) {
        WriteServiceError(L"Service Stop", error);
        ReportStatus(originalState, NO_ERROR);
    } catch (...) {
        WriteServiceEvent(L"Service failed to stop.", 2);
        ReportStatus(originalState, NO_ERROR);
    }
}

void CServiceBase::Pause()
{
    try {
        ReportStatus(SERVICE_PAUSE_PENDING, NO_ERROR);
        OnPause();
        ReportStatus(SERVICE_PAUSED, NO_ERROR);
    } catch (DWORD error) {
        WriteServiceError(L"Service Pause", error);
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    } catch (...) {
        WriteServiceEvent(L"Service failed to pause.", 2);
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    }
}

void CServiceBase::Continue()
{
    try {
        ReportStatus(SERVICE_CONTINUE_PENDING, NO_ERROR);
        OnContinue();
        ReportStatus(SERVICE_RUNNING, NO_ERROR);
    } catch (DWORD error) {
        WriteServiceError(L"Service Continue", error);
        ReportStatus(SERVICE_PAUSED, NO_ERROR);
    } catch (...) {
        WriteServiceEvent(L"Service failed to resume.", 2);
        ReportStatus(SERVICE_PAUSED, NO_ERROR);
    }
}

void CServiceBase::Shutdown()
{
    try {
        OnShutdown();
        ReportStatus(SERVICE_STOPPED, NO_ERROR);
    } catch (DWORD error) {
        WriteServiceError(L"Service Shutdown", error);
    } catch (...) {
        WriteServiceEvent(L"Service failed to shut down.", 2);
    }
}

SERVICE_STATUS CServiceBase::StatusSnapshot() const
{
    std::lock_guard<std::mutex> lock(m_statusLock);
    return m_serviceStatus;
}

void CServiceBase::ReportStatus(DWORD currentState, DWORD win32ExitCode)
{
    std::lock_guard<std::mutex> lock(m_statusLock);
    m_serviceStatus.dwCurrentState = currentState;
    m_serviceStatus.dwWin32ExitCode = win32ExitCode;
    m_serviceStatus.dwWaitHint = 0;
    m_serviceStatus.dwControlsAccepted = kControlsAccepted;
    m_serviceStatus.dwCheckPoint = TakesCheckPoint(currentState) ? g_checkPoint++ : 0;
    if (m_serviceStatusHandle != nullptr) ::SetServiceStatus(m_serviceStatusHandle, &m_serviceStatus);
}

void CServiceBase::WriteServiceError(const wchar_t* function, DWORD error)
{
    wchar_t message[260] = {};
    _snwprintf(message, 259, L"%s failed w/err 0x%08lx", function, error);
    WriteServiceEvent(message, 2);
}

ULONG CServiceBase::WriteServiceEvent(const wchar_t* message, UCHAR level)
{
    if (m_eventRegHandle == 0) return ERROR_INVALID_HANDLE;
    return ::EventWriteString(m_eventRegHandle, level, 0, message);
}

void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
DWORD CServiceBase::OnServiceControlHandle(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }
