// The seams of the service's units, set by the test programs that run those units in-process.
#pragma once

#include "process/ProcessToolkit.h"
#include "process/SessionLaunch.h"
#include "trust/ValidationLibrary.h"

// Divides every wait of the service (SleepUnlessQuit, ServiceSleep) by the divisor, so that the
// service's passes run quickly; 0 and 1 restore real time. Only in a program that links
// support/FastServiceWaits.cpp, which takes the place of the service's real-time scale.
void SetWaitDivisorForTesting(DWORD divisor);
// Called on the thread of every wait that the service begins, before the wait; null: none. Same programs.
using WaitObserver = void (*)();
void SetWaitObserverForTesting(WaitObserver observer);
// Puts an observer in front of the platform's CreateProcessAsUserW and returns the call it
// replaces; null restores the platform's call.
inline CreateProcessAsUserFunction SetCreateProcessAsUserForTesting(CreateProcessAsUserFunction function)
{
    return g_createProcessAsUser.exchange(function != nullptr ? function : &::CreateProcessAsUserW);
}
// Puts the token calls of the launch ways in place; null restores the platform's.
inline void SetTokenCallsForTesting(DuplicateTokenExFunction duplicate, GetTokenInformationFunction information)
{
    g_duplicateTokenEx.store(duplicate != nullptr ? duplicate : &::DuplicateTokenEx);
    g_getTokenInformation.store(information != nullptr ? information : &::GetTokenInformation);
}
// Called between the validation library's check and its load; returns the hook it replaces.
inline ValidationLibraryCheckedHook SetValidationLibraryCheckedHookForTesting(ValidationLibraryCheckedHook hook)
{
    return g_validationLibraryChecked.exchange(hook);
}
// Puts a call in front of the one open of a process that a kill may end; null restores the platform's call.
inline OpenProcessFunction SetOpenProcessToEndForTesting(OpenProcessFunction function)
{
    return g_openProcessToEnd.exchange(function != nullptr ? function : &::OpenProcess);
}
