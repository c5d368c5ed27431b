// The package's registry defaults, written on every start of the service, and the removal of
// the package's key trees once the hotkey device is gone.
#pragma once

#include <windows.h>

class InstallRegHelper {
public:
    // Start the writer or the remover on a thread of its own and return at once.
    static void StartAddRegHelper();
    static void StartRemoveRegHelper();

    // Thread procedure of the remover: 1 when the service key tree is gone.
    static DWORD WINAPI RemoveReg(LPVOID parameter);
};

// Thread procedure of the writer: 1 when the keyboard list was written.
DWORD WINAPI AddReg(LPVOID parameter);

// Makes sure a key exists; with writeFailureActions, stores the failure-actions record in it.
BOOL InitInfReg(const wchar_t* subKey, const wchar_t* valueName, BOOL writeFailureActions);
// Writes a numeric default into the PexaroToast key unless the value is there already.
BOOL InitInfRegDword(const wchar_t* name, DWORD defaultValue);
// Creates the three keyboard keys and writes their eleven records.
BOOL g_InitMicmuteKDB();

// The service control manager's failure-actions layout: restart after 5 s, again after 20 s,
// then nothing; the failure count resets after 100 hours.
extern const BYTE kFailureActionsRecord[44];

struct KeyboardRecord {
    const wchar_t* name;
    BYTE bytes[6];
};
extern const wchar_t* const kMicMuteKeyboards[3];
extern const KeyboardRecord kKeyboardRecords[11];
