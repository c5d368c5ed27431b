// The program starts that control codes ask for, carried out one at a time and in arrival order on the service's
// launcher thread. A start validates a file that any user may read and so may hold on Windows; only this thread
// ever waits on it, never the control thread, which hands a request over and returns at once.
#pragma once

#include <windows.h>

// One request's work; the context is the caller's and outlives the process's threads.
using LaunchJob = void (*)(DWORD control, const void* context);

// Queues the request. Per code, starts come at least 500 ms apart (one that comes sooner waits its turn) and at
// most two requests wait; a third is dropped, with one log line per run of drops. FALSE when dropped, when the
// service is stopping, or when the launcher thread cannot be started (logged).
BOOL QueueLaunch(DWORD control, LaunchJob job, const void* context);

// The stop: the waiting requests are dropped (logged); a start under way ends by itself.
void DropWaitingLaunches();
