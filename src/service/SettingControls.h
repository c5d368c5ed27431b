// The control rows that store the indicator, pop-up and capability settings in the registry.
// They run on the control-dispatch thread, one control at a time, and log every failure.
#pragma once

#include <windows.h>

void ControlSendUiCapsLockOn();       // 141
void ControlSendUiCapsLockOff();      // 142
void ControlPexaroPopToastSuccess();  // 144
void ControlPexaroNeverPopToast();    // 145
void ControlPexaroCapsLockOn();       // 146
void ControlPexaroCapsLockOff();      // 147
void ControlPexaroNumLockOn();        // 148
void ControlPexaroNumLockOff();       // 149
void ControlTriggerPexaroPopToast();  // 150
void ControlOcrCapabilityPrc(DWORD control);  // 156
void ControlOcrCapabilityRow(DWORD control);  // 157

// Adds one to a PexaroToast counter; an unreadable counter counts as 3. TRUE when stored.
BOOL IncrementToastCounter(const wchar_t* name);
// Stores "OcrSnippingKey" (1 or 2) under Capbility; 1 when stored.
BOOL WriteOcrCapability(DWORD data);
// Records that the user has changed the lock indicators.
void SetUserHistoryOn();
