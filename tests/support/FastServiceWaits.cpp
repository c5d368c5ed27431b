// Linked into a test program in place of the service's real-time wait scale.
#include "service/ServiceWaits.h"
#include "support/Seams.h"

#include <atomic>

namespace {
std::atomic<DWORD> g_waitDivisor{1};
}
DWORD ServiceWaitDivisor() { return g_waitDivisor.load(); }
void SetWaitDivisorForTesting(DWORD divisor) { g_waitDivisor.store(divisor == 0 ? 1 : divisor); }
