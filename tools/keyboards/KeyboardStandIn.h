// The external-keyboard stand-in: a HID minidriver (FnKbdStandIn.sys) installed in a prefix as
// a kernel-driver service, and one root device per top-level collection of each keyboard it
// plays (ROOT\VID_xxxx&PID_yyyy&COL01\0000 the keyboard, ...&COL02\0000 the vendor collection
// 0xFFA0/1). Every output report that reaches the driver is recorded under
// HKLM\SYSTEM\CurrentControlSet\Services\FnKbdStandIn\Reports\VID_xxxx&PID_yyyy (upper-case hex):
// one REG_BINARY value per report, its bytes as written (report id first), named by arrival:
// 0001, 0002, ...
// Fault: a REG_DWORD HoldWrites = 1 under ...\FnKbdStandIn\Faults\VID_xxxx&PID_yyyy makes that
// keyboard leave every output-report write pending (never recorded, never completed) until the
// write is cancelled or the keyboard detached; read at each write.
#pragma once

#define FN_KBD_SERVICE L"FnKbdStandIn"
#define FN_KBD_DRIVER_FILE L"FnKbdStandIn.sys"
#define FN_KBD_REPORTS_SUBKEY L"Reports"
#define FN_KBD_FAULTS_SUBKEY L"Faults"
#define FN_KBD_HOLD_WRITES L"HoldWrites"
#define FN_KBD_NAME_CHARS 18  // VID_xxxx&PID_yyyy and its terminator
// A keyboard of this vendor takes output reports of this many bytes (report id first), the others 3:
// a writer that pads to the collection's length shows it in the records.
#define FN_KBD_LONG_REPORT_VENDOR 0x7B7B
#define FN_KBD_LONG_REPORT_BYTES 8

#ifdef __cplusplus
#include <windows.h>
#include <string>
#include <vector>

namespace kbdstandin {

// "VID_7A7A&PID_0101": the keyboard's name, its record key's name and its devices' stem.
std::wstring KeyboardName(unsigned vendor, unsigned product);
// HKLM subkey of the keyboard's recorded output reports.
std::wstring ReportsKey(unsigned vendor, unsigned product);
// The recorded output reports, oldest first; none when the key is missing.
std::vector<std::vector<unsigned char>> ReadReports(unsigned vendor, unsigned product);
// The device interface paths of every HID collection of the prefix.
std::vector<std::wstring> HidInterfaces();
// The device interface paths of the HID collections whose path names the keyboard.
std::vector<std::wstring> KeyboardInterfaces(unsigned vendor, unsigned product);

// Installs the driver service (copying driverFile to system32\drivers; a driver of another build
// is replaced only while no keyboard is attached, else ERROR_DEVICE_IN_USE), clears the keyboard's
// records, creates its two root devices and has the driver enumerate them; returns once both
// collections are listed as HID interfaces (ERROR_TIMEOUT after 20 s), or a Win32 error code.
// An attached keyboard stays attached across restarts of the prefix: Wine loads the driver at
// boot for its root devices.
DWORD AttachKeyboard(unsigned vendor, unsigned product, const std::wstring& driverFile);
// Sets or clears the keyboard's HoldWrites fault; a Win32 error code. Writes already held stay
// held until the keyboard is detached.
DWORD HoldWrites(unsigned vendor, unsigned product, bool hold);
// Removes the keyboard's root devices and returns once no HID interface names it any more.
// Its records stay until it is attached again.
DWORD DetachKeyboard(unsigned vendor, unsigned product);

}  // namespace kbdstandin
#endif
