// What the firmware tells of the product becomes settings at every start: whether it is a gaming
// product (whose lock indicators are off by default unless the user chose otherwise) and the
// firmware's version. Two detached threads; results only in the registry and the log.
#pragma once

#include <windows.h>

namespace MoniterProductInfoHelper {

void StartProductInfoMonitor();
void StartCheckProductVersionMonitor();

} // namespace MoniterProductInfoHelper

// Each reads its value from the firmware and records it; 0.
DWORD WINAPI _Thread_ProductInfoMonitor(LPVOID);
DWORD WINAPI _Thread_CheckProductVersion(LPVOID);

// "IsGameMachine" for the product type (100 to 102 are gaming products) and, on a gaming
// product whose user never changed the lock indicators, the indicators off.
void RecordProductType(LONG type);

// The HKEY_CURRENT_USER key of the combined lock indicator (the system account's own hive).
constexpr wchar_t kUserOsdKey[] = L"SOFTWARE\\Osmira\\OsmiraUtility\\ControlShowOSD";
