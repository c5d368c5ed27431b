// fnkeyctl status: what the service and its companions are doing, gathered from the service
// control manager, the registry, the log file, the process list and the HID devices, and
// printed for a reader. The gathering only reads: no key, folder, file or log record is made.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace fnkeyctl {

struct ServiceState {
    std::wstring name;
    DWORD error = 0; // why it could not be read; ERROR_SERVICE_DOES_NOT_EXIST: not installed
    DWORD state = 0, processId = 0, startType = 0;
    std::wstring program;
    std::wstring accessList; // who may do what with the service, in SDDL; empty when it cannot be read
};

struct LogState {
    bool switchOn = false;
    std::wstring path;
    bool needsAdministrator = false; // not read: the log folder grants nobody else anything
    DWORD readError = 0; // 0: read; ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND: no log file
    std::wstring folderRefusal; // why the service would write nothing into the log folder; empty: it would
    std::vector<std::wstring> lastRecords;
};

struct CompanionProcess {
    std::wstring name;
    DWORD processId = 0;
    DWORD sessionId = 0;
    bool sessionKnown = false;
    bool commandLineRead = false;
    std::wstring commandLine;
};

struct SettingValue {
    const wchar_t* keyLabel = L""; // the last part of the key's path
    const wchar_t* name = L"";
    DWORD error = 0; // 0: read; ERROR_FILE_NOT_FOUND: not set
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegisteredKeyboard {
    std::wstring name;
    bool parsed = false; // the name carries a vendor and a product id
    DWORD vendorId = 0, productId = 0;
    bool attached = false;
};

struct StatusReport {
    ServiceState service;
    LogState log;
    std::vector<CompanionProcess> companions;
    std::vector<SettingValue> settings;
    DWORD keyboardListError = 0; // 0: the keyboard list key was read
    std::vector<RegisteredKeyboard> keyboards;
};

inline constexpr size_t kLastLogRecords = 20;

StatusReport GatherStatus(const std::wstring& serviceName);
// The log of a log folder; read and judged only for an administrator.
LogState ReadLog(const std::wstring& folder, DWORD serviceProcessId, bool administrator);
std::wstring FormatStatus(const StatusReport& report);

// The last records of a log's text (after its byte-order mark), each without its closing CR LF.
// A first record cut by the start of the text is left out when the text is only the file's tail.
std::vector<std::wstring> LastLogRecords(const std::wstring& text, size_t count, bool fromFileStart);

// The system's text of an error, without its closing line break.
std::wstring SystemErrorText(DWORD error);

} // namespace fnkeyctl
