// In a unit of its own, so that another definition can take its place at link time.
#include "service/ServiceWaits.h"

DWORD ServiceWaitDivisor() { return 1; }
