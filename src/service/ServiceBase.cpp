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
    CUtilityLog::MaintainFolder(); // only the running service makes or adopts the log folder
    CServiceBase* service = g_serviceInstance;
    service->m_serviceStatusHandle =
        ::RegisterServiceCtrlHandlerExW(service->m_serviceName, &CServiceBase::ServiceCtrlHandlerEx, service);
    if (service->m_serviceStatusHandle == nullptr) {
        WriteLog(L"CServiceBase::ServiceMain m_serviceStatusHandle is NULL! error1: %d", ::GetLastError());
    }

    service->OnControlHandlerRegistered();
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

// The shape every state sequence shares: report the pending state, run the hook, report the
// final state; a hook that throws leaves the service in the sequence's fallback state.
struct CServiceBase::StateSequence {
    DWORD pendingState;          // 0: nothing reported before the hook
    DWORD doneState;
    DWORD failedState;           // 0: nothing reported when the hook throws
    bool failureCarriesError;    // the thrown code becomes the exit code of the report
    const wchar_t* operation;    // names the failure in the error event
    const wchar_t* failureEvent; // the event for anything thrown that is not a code
};

template <typename Hook>
void CServiceBase::RunStateSequence(const StateSequence& sequence, Hook&& hook)
{
    try {
        if (sequence.pendingState != 0) ReportStatus(sequence.pendingState, NO_ERROR);
        hook();
        ReportStatus(sequence.doneState, NO_ERROR);
    } catch (DWORD error) {
        WriteServiceError(sequence.operation, error);
        if (sequence.failedState != 0) {
            ReportStatus(sequence.failedState, sequence.failureCarriesError ? error : NO_ERROR);
        }
    } catch (...) {
        WriteServiceEvent(sequence.failureEvent, 2);
        if (sequence.failedState != 0) ReportStatus(sequence.failedState, NO_ERROR);
    }
}

void CServiceBase::Start(DWORD argc, LPWSTR* argv)
{
    WriteServiceEvent(L"Service trying to start.", 2);
    RunStateSequence({SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED, true, L"Service Start",
                      L"Service failed to start."},
                     [&] { OnStart(argc, argv); });
}

void CServiceBase::Stop()
{
    // A stop that fails leaves the service where it was.
    const DWORD originalState = StatusSnapshot().dwCurrentState;
    RunStateSequence({SERVICE_STOP_PENDING, SERVICE_STOPPED, originalState, false, L"Service Stop",
                      L"Service failed to stop."},
                     [this] { OnStop(); });
}

void CServiceBase::Pause()
{
    RunStateSequence({SERVICE_PAUSE_PENDING, SERVICE_PAUSED, SERVICE_RUNNING, false, L"Service Pause",
                      L"Service failed to pause."},
                     [this] { OnPause(); });
}

void CServiceBase::Continue()
{
    RunStateSequence({SERVICE_CONTINUE_PENDING, SERVICE_RUNNING, SERVICE_PAUSED, false, L"Service Continue",
                      L"Service failed to resume."},
                     [this] { OnContinue(); });
}

void CServiceBase::Shutdown()
{
    RunStateSequence({0, SERVICE_STOPPED, 0, false, L"Service Shutdown", L"Service failed to shut down."},
                     [this] { OnShutdown(); });
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

void CServiceBase::OnControlHandlerRegistered() {}
void CServiceBase::OnStart(DWORD, LPWSTR*) {}
void CServiceBase::OnStop() {}
void CServiceBase::OnPause() {}
void CServiceBase::OnContinue() {}
void CServiceBase::OnShutdown() {}
DWORD CServiceBase::OnServiceControlHandle(DWORD, DWORD, LPVOID, LPVOID) { return NO_ERROR; }
