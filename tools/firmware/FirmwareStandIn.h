// The firmware's WMI provider as a stand-in: an in-process COM server registered as the
// server of CLSID_WbemLocator, serving the namespace ROOT\WMI with the classes
// OSMIRA_UTILITY_DATA (method SetFeature) and OSMIRA_TELRUNE_DATA (methods GetProductInfo and
// GetVersion). What it records and what sets its behaviour, shared by the stand-in, the tests
// and the demo. Everything lives in the prefix, so that every process of it (services
// included) and the tests see the same calls, states and behaviour.
#pragma once

#include "win/Owners.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

namespace firmware {

constexpr const wchar_t* kDllName = L"OsmiraFirmwareStandIn.dll";
constexpr const wchar_t* kNamespace = L"ROOT\\WMI";
constexpr const wchar_t* kUtilityClass = L"OSMIRA_UTILITY_DATA";  // method SetFeature
constexpr const wchar_t* kTelruneClass = L"OSMIRA_TELRUNE_DATA";  // methods GetProductInfo, GetVersion

// The record of method calls: %windir%\temp\osmira-firmware\calls.log, UTF-16LE with a
// byte-order mark, one line per IWbemServices::ExecMethod that named an existing instance
// and method, written when the call arrives (before any hold or configured failure):
//     <local time YYYY-MM-DD hh:mm:ss.mmm>\t<process id>\t<class>\t<method>\t<object path as passed>\t<input>\r\n
// <input> is "-" when no input parameters were passed, otherwise
// featuretype="<text>" or featuretype=null (a null string, or the property never set); empty
// when parameters came for a method that takes none.
// Writers append under the mutex kRecordMutex, opening and closing the file per line.
constexpr const wchar_t* kRecordFolder = L"temp\\osmira-firmware";  // under the Windows folder
constexpr const wchar_t* kRecordFile = L"calls.log";
constexpr const wchar_t* kRecordMutex = L"Global\\OsmiraFirmwareStandIn";

// The LED states that SetFeature sets, REG_DWORD values under HKLM\kStateKey: 1 = on, 0 = off,
// absent = never set in this prefix. featuretype "1"/"2" switch the mic-mute LED on/off,
// "4"/"5" the speaker LED; other values and failed calls change nothing.
constexpr const wchar_t* kStateKey = L"Software\\OsmiraFirmwareStandIn\\State";
constexpr const wchar_t* kMicMuteLed = L"MicMuteLed";
constexpr const wchar_t* kSpeakerLed = L"SpeakerLed";

// Behaviour, read at every call from REG_DWORD values under HKLM:
//   kBehaviourKey\<class>             kInstances, kUnreadablePathInstance, kGetObjectFailures, kHold
//   kBehaviourKey\<class>\<method>    kData, kNoData, kNoInputSignature, kExecMethodError, kHold,
//                                     kCallMilliseconds
constexpr const wchar_t* kBehaviourKey = L"Software\\OsmiraFirmwareStandIn\\Behaviour";
// Number of instances the class enumerates (default 1; 0 = none); their paths: InstanceRelativePath.
constexpr const wchar_t* kInstances = L"Instances";
// 1-based number of the instance whose __PATH and __RELPATH cannot be read (Get fails with
// WBEM_E_FAILED); 0 or absent = every path readable.
constexpr const wchar_t* kUnreadablePathInstance = L"UnreadablePathInstance";
// The next N IWbemServices::GetObject calls for the class fail with WBEM_E_FAILED; each
// failure counts the value down (so it is shared by every process of the prefix).
constexpr const wchar_t* kGetObjectFailures = L"GetObjectFailures";
constexpr HRESULT kGetObjectFailure = static_cast<HRESULT>(0x80041001);  // WBEM_E_FAILED, also of an unreadable path
// The "Data" of the method's output parameters, a signed 32-bit value (default 0).
constexpr const wchar_t* kData = L"Data";
// 1: the output parameters carry the value as "ReturnValue" and have no "Data"; 2: their "Data" is
// null, a value that is no 32-bit integer.
constexpr const wchar_t* kNoData = L"NoData";
// 1: GetMethod reports no input signature for the method.
constexpr const wchar_t* kNoInputSignature = L"NoInputSignature";
// Non-zero: ExecMethod fails with this HRESULT (after recording the call and any hold).
constexpr const wchar_t* kExecMethodError = L"ExecMethodError";
// 1: ExecMethod, once recorded, waits until the auto-reset event kReleaseEvent is set (one
// SetEvent releases one held call) or kHoldDeadlineMs passes, and then goes on normally.
// kHoldForever: the same without a deadline; only the event or the end of the process ends it.
// Under the class's key, every IEnumWbemClassObject::Next waits the same way, and answers
// WBEM_S_TIMEDOUT with no object when the caller's time-out ends first.
constexpr const wchar_t* kHold = L"Hold";
constexpr const wchar_t* kReleaseEvent = L"Global\\OsmiraFirmwareRelease";
constexpr DWORD kHoldDeadlineMs = 30000;
constexpr DWORD kHoldForever = 2;
// Milliseconds that ExecMethod, once recorded (and released when held), takes before answering; 0 or absent: none.
constexpr const wchar_t* kCallMilliseconds = L"CallMilliseconds";

// The paths of instance n of a class: its __RELPATH and its __PATH.
inline std::wstring InstanceRelativePath(const std::wstring& className, int instance)
{
    return className + L".InstanceName=\"ACPI\\\\PNP0C14\\\\0_" + std::to_wstring(instance) + L"\"";
}
inline std::wstring ObjectPath(const std::wstring& relativePath)
{
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ::GetComputerNameW(computer, &size);
    return std::wstring(L"\\\\") + computer + L"\\" + kNamespace + L":" + relativePath;
}

// Reading what the stand-in leaves behind, for tests and the demo.
struct CallRecord {
    std::wstring time;
    DWORD processId;
    std::wstring className, method, path, input;
};

inline std::wstring RecordFilePath()
{
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\" + kRecordFolder + L"\\" + kRecordFile;
}

// The records of a record file's text, a line each: every complete line (one that ends in CR LF) of
// six fields, in order; a byte-order mark first is skipped.
inline std::vector<CallRecord> ParseCallRecords(const std::wstring& text)
{
    std::vector<CallRecord> records;
    for (size_t at = text.compare(0, 1, L"\xFEFF") == 0 ? 1 : 0, end;
         (end = text.find(L"\r\n", at)) != std::wstring::npos; at = end + 2) {
        std::vector<std::wstring> fields;
        for (size_t from = at, tab; fields.size() < 6; from = tab + 1) {
            tab = std::min(text.find(L'\t', from), end);
            fields.push_back(text.substr(from, tab - from));
            if (tab == end) break;
        }
        if (fields.size() == 6)
            records.push_back(
                {fields[0], std::wcstoul(fields[1].c_str(), nullptr, 10), fields[2], fields[3], fields[4], fields[5]});
    }
    return records;
}

// Every complete line of the record file, in order; none when the file does not exist.
inline std::vector<CallRecord> ReadCallRecords()
{
    const win::UniqueHandle file(::CreateFileW(RecordFilePath().c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    if (!file) return {};
    LARGE_INTEGER size = {};
    std::wstring text(::GetFileSizeEx(file.get(), &size) ? static_cast<size_t>(size.QuadPart) / sizeof(wchar_t) + 1 : 1,
                      L'\0');
    DWORD read = 0;
    ::ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    text.resize(read / sizeof(wchar_t));
    return ParseCallRecords(text);
}

// The state of one LED (kMicMuteLed, kSpeakerLed): 1 on, 0 off, kLedNeverSet when never set.
constexpr DWORD kLedNeverSet = 0xFFFFFFFF;
inline DWORD ReadLedState(const wchar_t* led)
{
    DWORD state = 0, size = sizeof state;
    const LONG status = ::RegGetValueW(HKEY_LOCAL_MACHINE, kStateKey, led, RRF_RT_REG_DWORD, nullptr, &state, &size);
    return status == ERROR_SUCCESS ? state : kLedNeverSet;
}

} // namespace firmware

// Registers the stand-in's class factory as CLSID_WbemLocator in the calling process
// (CoRegisterClassObject, in-process server, multiple use); CoRevokeClassObject(*cookie) ends it.
HRESULT RegisterFirmwareClassObject(DWORD* cookie);
