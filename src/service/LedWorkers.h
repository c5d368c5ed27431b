// The LED requests of the control dispatcher: each records the wanted state and wakes the
// long-lived worker of its path (speaker LED and mic-mute LED through the firmware, mic-mute
// LED of the external keyboards through HID), started by the first request of its kind.
// Requests that arrive before a worker gets to them collapse into the last one.
#pragma once

#include <windows.h>

// Logs, once a process, each wake event that is an unnamed stand-in for its named one.
void LogLedEventFallbacks();

// 1 = on, 0 = off.
void WriteSpeakerLedStatus(DWORD state);
// 1 = muted (LED on), 0 = not muted; also kept for the keyboard-connect replay.
void WriteMicMuteLedStatusForConnected(DWORD state);
// A keyboard has connected: the last mic-mute state goes to the built-in and the external keyboards on a thread of
// its own. A request while a replay runs makes one more replay after it, which reads the state when it starts.
void ReplayMicMuteForConnectedKeyboard(DWORD control);
// The replays; returns 0 when no request is left.
DWORD WINAPI ThreadBlueKeyBoardConnect(LPVOID);

// Writes the mute state to every keyboard registered under HIDKBMicMuteLED, read at every call;
// 1 when one took it.
BOOL WriteStatusToRegisteredKeyboards(bool mute);
// The firmware writers: one firmware conversation each; 1 in every case.
BOOL SyncStatusToKeyboard(DWORD muted);
BOOL WriteSpkVolStateToKeyboard(DWORD on);

// The workers; they run until the process ends.
DWORD WINAPI ThreadWriteSpeakerLedStatus(LPVOID);
DWORD WINAPI ThreadWriteMicmuteLedStatus(LPVOID);
DWORD WINAPI ___WriteHIDMicmuteLedStatus(LPVOID);
