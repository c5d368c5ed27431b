// What product the service runs on, read from the firmware at every start: whether it is a
// gaming product (whose lock indicators are off by default unless the user chose otherwise)
// and the firmware's version. Two detached threads; results only in the registry and the log.
#pragma once

#include <windows.h>

namespace MoniterProductInfoHelper {

void StartProductInfoMonitor();
void StartCheckProductVersionMonitor();

} // namespace MoniterProductInfoHelper

DWORD WINAPI _Thread_ProductInfoMonitor(LPVOID);
DWORD WINAPI _Thread_CheckProductVersion(LPVOID);

// The HKEY_CURRENT_USER key of the combined lock indicator (the system account's own hive).
constexpr wchar_t kUserOsdKey[] = L"SOFTWARE\\Osmira\\OsmiraUtility\\ControlShowOSD";
