// Seams that only tests use, each in its own process. No product source includes this file:
// the shipped service never changes its timing or its process creation call.
#pragma once

#include <windows.h>

// Divides every wait of the service (SleepUnlessQuit, ServiceSleep) by the divisor, so that
// a test runs the service's passes quickly; 0 and 1 restore real time.
void SetWaitDivisorForTesting(DWORD divisor);

// The one process creation call of both launch ways.
using CreateProcessAsUserFunction = BOOL(WINAPI*)(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                                                  LPSECURITY_ATTRIBUTES processAttributes,
                                                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                                  DWORD creationFlags, LPVOID environment,
                                                  LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                                  LPPROCESS_INFORMATION processInformation);

// Puts an observer in front of the platform's CreateProcessAsUserW and returns the one it
// replaces; null restores the platform's call.
CreateProcessAsUserFunction SetCreateProcessAsUserForTesting(CreateProcessAsUserFunction function);

// Called by the validation library's loader after the library file has passed its checks and
// before it is loaded, with the file's full path; returns the hook it replaces.
using ValidationLibraryCheckedHook = void (*)(const wchar_t* libraryPath);
ValidationLibraryCheckedHook SetValidationLibraryCheckedHookForTesting(ValidationLibraryCheckedHook hook);
