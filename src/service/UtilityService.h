// The one concrete service: what its start sets going, the deferred first launch of the
// companions, and the process-wide events its threads share.
#pragma once

#include "service/ServiceBase.h"
#include "win/Owners.h"

extern const wchar_t* const kServiceName;

// Set only by the stop control; auto-reset, so one set releases one waiter. Made by the first
// service object and never closed: a detached thread may still wait on it after the stop.
extern HANDLE g_hQuitEvent;
// Wake-ups of the LED writers; created before the entry runs, never closed.
extern HANDLE g_hSpeakerLedEvent;
extern HANDLE g_hMicMuteLedEvent;
extern HANDLE g_hHidMicMuteLedEvent;

extern const wchar_t* const kQuitEventName;
extern const wchar_t* const kSpeakerLedEventName;
extern const wchar_t* const kMicMuteLedEventName;
extern const wchar_t* const kHidMicMuteLedEventName;

// Waits on the quit event in one wait; true when the service is quitting.
bool SleepUnlessQuit(DWORD milliseconds);
// The stop control's signal: sets the quit event, and from then on every quit-aware wait says quit.
void SignalServiceQuit();

// One of the service's own events under its name, auto-reset and not set. When the name cannot be
// made or is taken already, an unnamed event of the same kind, with *fallbackError saying why
// (ERROR_SUCCESS when the named event is the service's own).
HANDLE CreateOwnEvent(const wchar_t* name, DWORD* fallbackError);

class CUtilityService : public CServiceBase {
public:
    CUtilityService();
    ~CUtilityService() override;

    static void CALLBACK ServiceWorkerThread(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_WORK work);

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override;
    void OnStop() override;
    DWORD OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID eventData,
                                 LPVOID context) override;
    ULONG WriteServiceEvent(const wchar_t* message, UCHAR level) override;

private:
    win::UniqueThreadpoolWork m_work;
};
