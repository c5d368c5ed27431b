// The generic service skeleton: service table, service main, extended control handler,
// the state sequences with their status reports, and an ETW event channel.
#pragma once

#include <windows.h>
#include <evntprov.h>
#include <mutex>

class CServiceBase {
public:
    explicit CServiceBase(const wchar_t* serviceName);
    virtual ~CServiceBase();

    CServiceBase(const CServiceBase&) = delete;
    CServiceBase& operator=(const CServiceBase&) = delete;

    // Hands the service table to the service control manager; returns when every service
    // of the process has stopped, or at once when the process was not started as a service.
    static BOOL Run(CServiceBase& service);

    static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
    static DWORD WINAPI ServiceCtrlHandlerEx(DWORD control, DWORD eventType, LPVOID eventData,
                                             LPVOID context);

    void Start(DWORD argc, LPWSTR* argv);
    void Stop();
    void Pause();
    void Continue();
    void Shutdown();

    const wchar_t* ServiceName() const { return m_serviceName; }
    SERVICE_STATUS StatusSnapshot() const;
    REGHANDLE EventRegistrationHandle() const { return m_eventRegHandle; }

protected:
    // Runs on the service-main thread once the control handler is registered and before Start,
    // whatever the start then does; it throws nothing.
    virtual void OnControlHandlerRegistered();
    // Hooks may throw a DWORD error code; each state sequence catches it.
    virtual void OnStart(DWORD argc, LPWSTR* argv);
    virtual void OnStop();
    virtual void OnPause();
    virtual void OnContinue();
    virtual void OnShutdown();
    virtual DWORD OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID eventData,
                                         LPVOID context);
    // Writes one ETW string event; returns what the platform answered.
    virtual ULONG WriteServiceEvent(const wchar_t* message, UCHAR level);

    void ReportStatus(DWORD currentState, DWORD win32ExitCode);
    void WriteServiceError(const wchar_t* function, DWORD error);

private:
    struct StateSequence;
    template <typename Hook>
    void RunStateSequence(const StateSequence& sequence, Hook&& hook);

    SERVICE_STATUS_HANDLE m_serviceStatusHandle = nullptr;
    const wchar_t* m_serviceName;
    SERVICE_STATUS m_serviceStatus;
    REGHANDLE m_eventRegHandle = ~static_cast<REGHANDLE>(0);
    // The dispatcher thread and the service-main thread both report.
    mutable std::mutex m_statusLock;
};

extern CServiceBase* g_serviceInstance;

// The provider of the service's ETW events.
extern const GUID kServiceEventProvider;
