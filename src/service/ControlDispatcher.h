// The service's control hook: every control the manager delivers passes through here, one at
// a time on the control-dispatch thread, before the framework's own handling of stop and
// shutdown.
#pragma once

#include <windows.h>

// Carries out one control: the stop's quit event and companion kills, the session events,
// the setting rows and the action codes. Every failure is logged and absorbed: the answer is
// NO_ERROR for every control.
DWORD DispatchServiceControl(DWORD control, DWORD eventType, LPVOID eventData);
