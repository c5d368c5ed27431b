// Every wait of the service goes through here, so that unit tests can run the service's
// passes quickly. The shipped service never changes the scale: nothing but a test, in its
// own process, calls SetWaitDivisorForTesting.
#pragma once

#include <windows.h>

DWORD ScaledWaitMilliseconds(DWORD milliseconds);
void SetWaitDivisorForTesting(DWORD divisor);

// The service's one plain sleep.
void ServiceSleep(DWORD milliseconds);
