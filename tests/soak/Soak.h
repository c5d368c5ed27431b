// The soak runs: the service and its parts under load and faults, each property checked while it runs.
// A run prints its figures and reports every broken property through Violation; the program exits 1
// when any was reported.
#pragma once

#include <windows.h>

#include <cstdint>

namespace soak {

// Prints "VIOLATION: <text>" (the first 100 of them) and counts it.
void Violation(const wchar_t* format, ...);

// Random codes and session events through the dispatcher in-process, or codes through the manager
// to the installed service; the settings and LEDs against a model of the codes.
void Storm(DWORD codes, DWORD seed, bool throughManager);
// Start/stop cycles of the installed service, every so many staying until both companions run.
void Cycles(DWORD cycles, DWORD stayEvery, DWORD seed);
// The agent killed over and over while the supervision window of the installed service is open.
void Chaos(DWORD killEveryMs);
// Mutated signed executables through the PE digest, under a guarded heap.
void Digest(uint64_t count, uint64_t seed);
// Concurrent writers of self-checking records while the log switch comes and goes.
void Log(DWORD seconds, DWORD writers);
// Libraries and companions that must not run, offered to the launch ways.
void Trust(DWORD runs);

} // namespace soak
