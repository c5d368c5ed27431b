// Linked into a test program in place of the service's real-time wait scale: every wait that the service begins
// asks here first.
#include "service/ServiceWaits.h"
#include "support/Seams.h"

#include <atomic>

namespace {
std::atomic<DWORD> g_waitDivisor{1};
std::atomic<WaitObserver> g_waitObserver{nullptr};
}
DWORD ServiceWaitDivisor()
{
    if (const WaitObserver observer = g_waitObserver.load()) observer();
    return g_waitDivisor.load();
}
void SetWaitDivisorForTesting(DWORD divisor) { g_waitDivisor.store(divisor == 0 ? 1 : divisor); }
void SetWaitObserverForTesting(WaitObserver observer) { g_waitObserver.store(observer); }
