#include "service/ServiceWaits.h"

#include "log/UtilityLog.h"
#include "win/Owners.h"

#include <atomic>

namespace {

constexpr wchar_t kQuitEventName[] = L"_CreateForQuitSvericeEvent_";

HANDLE g_hQuitEvent = nullptr;
// Set by the stop control and by the end of the service object; trivially destructible, so
// a thread that wakes while the process exits still reads it.
std::atomic<bool> g_quitting{false};

} // namespace

DWORD ScaledWaitMilliseconds(DWORD milliseconds)
{
    if (milliseconds == INFINITE) return INFINITE;
    const DWORD divisor = ServiceWaitDivisor();
    return divisor > 1 ? milliseconds / divisor : milliseconds;
}

void ServiceSleep(DWORD milliseconds) { ::Sleep(ScaledWaitMilliseconds(milliseconds)); }

bool SleepUnlessQuit(DWORD milliseconds)
{
    // A missing quit event makes the wait fail at once, which counts as time run out. After the
    // stop every wait says quit, not only the one that consumed the set: a thread that wakes
    // late must not act for a service that has gone.
    const DWORD wait = g_quitting.load() ? WAIT_OBJECT_0
                                         : ::WaitForSingleObject(g_hQuitEvent, ScaledWaitMilliseconds(milliseconds));
    if (wait == WAIT_OBJECT_0 || g_quitting.load()) {
        WriteLog(L"Sleep But Svc Quit !!! ");
        return true;
    }
    WriteLog(L"Sleep When Svc Not Quit end! ");
    return false;
}

void SignalServiceQuit()
{
    g_quitting.store(true);
    ::SetEvent(g_hQuitEvent);
}

bool ServiceIsQuitting() { return g_quitting.load(); }

void BeginServiceWaits()
{
    // One quit event for the process, never closed (departs from closing it with the object):
    // a detached thread that wakes after the stop must still wait on a live quit event.
    if (g_hQuitEvent == nullptr) {
        DWORD fallbackError = ERROR_SUCCESS;
        g_hQuitEvent = CreateOwnEvent(kQuitEventName, &fallbackError);
        if (g_hQuitEvent == nullptr) {
            WriteLog(L"CUtilityService::CUtilityService CreateEvent quit event fail, error: %d", ::GetLastError());
        }
        LogOwnEventFallback(kQuitEventName, fallbackError);
    } else {
        ::ResetEvent(g_hQuitEvent);
    }
    g_quitting.store(false);
}

void EndServiceWaits() { g_quitting.store(true); }

HANDLE ServiceQuitEvent() { return g_hQuitEvent; }

HANDLE CreateOwnEvent(const wchar_t* name, DWORD* fallbackError)
{
    ::SetLastError(ERROR_SUCCESS);
    win::UniqueHandle named(::CreateEventW(nullptr, FALSE, FALSE, name));
    *fallbackError = ::GetLastError();
    if (!named && *fallbackError == ERROR_SUCCESS) *fallbackError = ERROR_INVALID_HANDLE;
    if (named && *fallbackError != ERROR_ALREADY_EXISTS) {
        *fallbackError = ERROR_SUCCESS;
        return named.release();
    }
    // Departs from the named event: whoever made it first could set it at will (cancel the
    // launches, spin the LED workers); nothing outside the process opens these events.
    named.reset();
    return ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void LogOwnEventFallback(const wchar_t* name, DWORD fallbackError)
{
    if (fallbackError == ERROR_SUCCESS) return;
    WriteLog(L"CUtilityService event \"%s\" is not the service's own, error: %d; an unnamed event takes its place",
             name, fallbackError);
}
