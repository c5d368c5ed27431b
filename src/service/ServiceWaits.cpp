#include "service/ServiceWaits.h"
#include "TestHooks.h"

#include <atomic>

namespace {
std::atomic<DWORD> g_waitDivisor{1};
}

DWORD ScaledWaitMilliseconds(DWORD milliseconds)
{
    if (milliseconds == INFINITE) return INFINITE;
    return milliseconds / g_waitDivisor.load();
}

void SetWaitDivisorForTesting(DWORD divisor) { g_waitDivisor.store(divisor == 0 ? 1 : divisor); }

void ServiceSleep(DWORD milliseconds) { ::Sleep(ScaledWaitMilliseconds(milliseconds)); }
