// The service soak's three runs; each prints its figures and returns the number of violated
// properties, every one of which it has printed as a "VIOLATION" line.
#pragma once

#include "BenchClock.h"

#include <windows.h>

// In-process (from a folder laid out like the package), or through the manager to the
// installed service; the firmware registered either way.
int RunStorm(DWORD codes, DWORD seed, bool throughManager);
// Against the installed service.
int RunCycles(DWORD cycles, DWORD stayEvery, DWORD seed);
int RunChaos(DWORD killEveryMilliseconds);
// Starts the installed service afresh and returns once its supervision window has ended: from then
// on its handles and threads hold steady unless something leaks.
bool StartSettled(SC_HANDLE service);
