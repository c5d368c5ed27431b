// The microphone-mute LED of external keyboards: the 3-byte output report {0x09, 0x74, state}
// written to the keyboard's vendor-defined collection (usage page 0xFFA0, usage 0x0001). Which
// keyboards get it is the caller's list; nothing is cached and nothing is locked.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class CHidKBLedInterface {
public:
    // Writes {0x09, 0x74, flag ? 0x01 : 0x02}, padded with zeros to the collection's output report
    // length, to the keyboard's LED collection within a second; 1 when written.
    static BOOL SetHidKBLedStatus(DWORD vendorId, DWORD productId, BOOL flag);
    // 1 and an open (overlapped) handle to the keyboard's LED collection, which the caller
    // closes, and the collection's output report length when asked; else 0.
    static BOOL FindHidDeviceHandle(DWORD vendorId, DWORD productId, HANDLE* handle, USHORT* outputLength = nullptr);
};

class CMicMuteStatusGuard {
public:
    // Writes the mute state to every keyboard of the list, each named as DeviceIdString2Number
    // reads it; 1 when at least one took it. One that fails never stops the others.
    static BOOL WriteStatusToHIDKeyboard(bool mute, const std::vector<std::wstring>& keyboards);
};

// The vendor and product ids of a keyboard subkey name: "VID_xxxx&PID_yyyy[...]", or the
// Bluetooth HID service prefix and "VID&xxxxxxxx_PID&yyyy[...]". 1 when both parsed; the
// outputs are written only then.
BOOL DeviceIdString2Number(const wchar_t* name, DWORD* vendorId, DWORD* productId);
