// The soak runs: the service and its parts under load and faults, each property checked while it runs.
#pragma once

#include <windows.h>

#include <cstdint>

namespace soak {

// Prints "VIOLATION: <text>" (the first 100 of them) and counts it: the program then exits 1.
void Violation(const wchar_t* format, ...);

void Storm(DWORD codes, DWORD seed);
void Chaos(DWORD killEveryMs);
void Digest(uint64_t count, uint64_t seed);
void Log(DWORD seconds, DWORD writers);

} // namespace soak
