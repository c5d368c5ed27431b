// The firmware's WMI provider as a stand-in: an in-process COM server registered as the
// server of CLSID_WbemLocator, serving the namespace ROOT\WMI with the classes
// OSMIRA_UTILITY_DATA (method SetFeature) and OSMIRA_TELRUNE_DATA (methods GetProductInfo and
// GetVersion). What it records and what sets its behaviour, shared by the stand-in, the tests
// and the demo. Everything lives in the prefix, so that every process of it (services
// included) and the tests see the same calls, states and behaviour.
#pragma once

#include <windows.h>

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
// featuretype="<text>" or featuretype=null (a null string, or the property never set).
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
//   kBehaviourKey\<class>             kInstances, kUnreadablePathInstance, kGetObjectFailures
//   kBehaviourKey\<class>\<method>    kData, kNoInputSignature, kExecMethodError, kHold
constexpr const wchar_t* kBehaviourKey = L"Software\\OsmiraFirmwareStandIn\\Behaviour";
// Number of instances the class enumerates (default 1; 0 = none). Instance n (0-based) has
// __RELPATH <class>.InstanceName="ACPI\\PNP0C14\\0_<n>" and __PATH \\<computer>\ROOT\WMI:<relpath>.
constexpr const wchar_t* kInstances = L"Instances";
// 1-based number of the instance whose __PATH and __RELPATH cannot be read (Get fails with
// WBEM_E_FAILED); 0 or absent = every path readable.
constexpr const wchar_t* kUnreadablePathInstance = L"UnreadablePathInstance";
// The next N IWbemServices::GetObject calls for the class fail with WBEM_E_FAILED; each
// failure counts the value down (so it is shared by every process of the prefix).
constexpr const wchar_t* kGetObjectFailures = L"GetObjectFailures";
constexpr HRESULT kGetObjectFailure = static_cast<HRESULT>(0x80041001);  // WBEM_E_FAILED
constexpr HRESULT kPathFailure = static_cast<HRESULT>(0x80041001);       // WBEM_E_FAILED
// The "Data" of the method's output parameters, a signed 32-bit value (default 0).
constexpr const wchar_t* kData = L"Data";
// 1: GetMethod reports no input signature for the method.
constexpr const wchar_t* kNoInputSignature = L"NoInputSignature";
// Non-zero: ExecMethod fails with this HRESULT (after recording the call and any hold).
constexpr const wchar_t* kExecMethodError = L"ExecMethodError";
// 1: ExecMethod, once recorded, waits until the auto-reset event kReleaseEvent is set (one
// SetEvent releases one held call) or kHoldDeadlineMs passes, and then goes on normally.
constexpr const wchar_t* kHold = L"Hold";
constexpr const wchar_t* kReleaseEvent = L"Global\\OsmiraFirmwareRelease";
constexpr DWORD kHoldDeadlineMs = 30000;

} // namespace firmware

// Registers the stand-in's class factory as CLSID_WbemLocator in the calling process
// (CoRegisterClassObject, in-process server, multiple use); CoRevokeClassObject(*cookie) ends it.
HRESULT RegisterFirmwareClassObject(DWORD* cookie);
