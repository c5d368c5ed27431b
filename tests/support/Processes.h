// Process walks of the kit: processes by file name, and the threads and handles of another process.
#pragma once

#include <windows.h>

#include <vector>

namespace testsupport {
// Ids of the processes of that file name (letter case ignored), in every session.
std::vector<DWORD> ProcessIds(const wchar_t* fileName);
// Both companions that the service keeps running: the agent and the lock indicator.
bool BothCompanionsRun();
std::vector<DWORD> ThreadIds(DWORD processId);
DWORD ThreadCount(DWORD processId);
DWORD HandleCount(DWORD processId);
} // namespace testsupport
