// The service's waits and its quit signal. Every wait of the service goes through here, so that
// a program linking its own ServiceWaitDivisor runs the service's passes faster; the shipped
// service links the real-time one.
#pragma once

#include <windows.h>

// How many times shorter than asked every wait is; 1 in the service (ServiceWaitScale.cpp).
DWORD ServiceWaitDivisor();
DWORD ScaledWaitMilliseconds(DWORD milliseconds);

// The service's one plain sleep.
void ServiceSleep(DWORD milliseconds);

// Waits on the quit event in one wait; true when the service is quitting.
bool SleepUnlessQuit(DWORD milliseconds);
// The stop control's signal: sets the quit event, and from then on every quit-aware wait says quit.
void SignalServiceQuit();
// True from the stop (or the end of the service object) until the next service object begins.
bool ServiceIsQuitting();
// A service object begins: the quit event is made on the first call (and never closed: a detached
// thread may still wait on it after the stop), reset on later ones, and the service is not quitting.
void BeginServiceWaits();
// The service object has gone: whatever wakes from now on ends.
void EndServiceWaits();
// The quit event ("_CreateForQuitSvericeEvent_", auto-reset); null before the first service object.
HANDLE ServiceQuitEvent();

// One of the service's own events under its name, auto-reset and not set. When the name cannot be
// made or is taken already, an unnamed event of the same kind, with *fallbackError saying why
// (ERROR_SUCCESS when the named event is the service's own).
HANDLE CreateOwnEvent(const wchar_t* name, DWORD* fallbackError);
// Logs that an own event is an unnamed stand-in; nothing when fallbackError is ERROR_SUCCESS.
void LogOwnEventFallback(const wchar_t* name, DWORD fallbackError);
