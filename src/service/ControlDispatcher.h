// The service's control hook: every control the manager delivers passes through here, one at
// a time on the control-dispatch thread, before the framework's own handling of stop and
// shutdown.
#pragma once

#include <windows.h>

#include <atomic>

// Carries out one control: the stop's quit event and companion kills, the session events,
// the setting rows and the action codes. Every failure is logged and absorbed: the answer is
// NO_ERROR for every control.
DWORD DispatchServiceControl(DWORD control, DWORD eventType, LPVOID eventData);

// Admits the requests of one code that starts a thread or a process: none while the work of the
// previous one still runs and, with a spacing, none sooner than that after the previous admission.
// The rest are dropped, not stacked, so a storm of codes costs the service a bounded number of
// threads and processes. Enter is called on the control-dispatch thread only; Leave on whichever
// thread ends the work.
class RequestGate {
public:
    // DroppedFirst: the first drop since the last admission, the one worth a log line.
    enum Verdict { Admitted, Dropped, DroppedFirst };

    explicit constexpr RequestGate(ULONGLONG spacingMilliseconds = 0) : m_spacing(spacingMilliseconds) {}
    Verdict Enter(ULONGLONG nowMilliseconds);
    void Leave() { m_busy.store(false); }

private:
    const ULONGLONG m_spacing;
    std::atomic<bool> m_busy{false};
    bool m_admittedBefore = false;
    bool m_dropLogged = false;
    ULONGLONG m_lastAdmitted = 0;
};
