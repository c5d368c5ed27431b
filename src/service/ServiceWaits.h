// Every wait of the service goes through here, so that unit tests can run the service's
// passes quickly (see TestHooks.h). The shipped service never changes the scale.
#pragma once

#include <windows.h>

DWORD ScaledWaitMilliseconds(DWORD milliseconds);

// The service's one plain sleep.
void ServiceSleep(DWORD milliseconds);
