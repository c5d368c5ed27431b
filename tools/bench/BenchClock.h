// What the service benchmarks share: a monotonic clock in seconds and a wait for a service state.
#pragma once

#include <windows.h>

inline double Now()
{
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Polls for up to ten seconds.
inline bool WaitForState(SC_HANDLE service, DWORD state)
{
    for (int i = 0; i < 1000; ++i) {
        SERVICE_STATUS status = {};
        if (::QueryServiceStatus(service, &status) && status.dwCurrentState == state) return true;
        ::Sleep(10);
    }
    return false;
}
