// The service soak's three runs; each prints its figures and returns the number of violated
// properties, every one of which it has printed as a "VIOLATION" line.
#pragma once

#include "BenchClock.h"

#include <windows.h>

// In-process (from a folder laid out like the package), or through the manager to the
// installed service; the firmware registered either way.
int RunStorm(DWORD codes, DWORD seed, bool throughManager);
// Against the installed service.
int RunCycles(DWORD cycles, DWORD dwellMilliseconds, DWORD dwellEvery, DWORD seed);
int RunChaos(DWORD killEveryMilliseconds);
