// What the companion stand-ins leave behind, shared by the stand-ins and the tests that read
// them. Every started stand-in writes one record file
//     <folder of the executable>\records\<executable file name>.<process id>.txt
// in UTF-16LE with a byte-order mark, one "Key=Value" line per field, each ended by CR LF.
// The file appears whole (it is written under a temporary name and then renamed), so a
// reader that finds it can read every field at once.
#pragma once

namespace standin {

constexpr const wchar_t* kRecordFolder = L"records";
constexpr const wchar_t* kRecordExtension = L".txt";

// Fields, in the order they are written.
constexpr const wchar_t* kProcessId = L"ProcessId";        // decimal
constexpr const wchar_t* kImage = L"Image";                // full path of the executable
constexpr const wchar_t* kCommandLine = L"CommandLine";    // GetCommandLineW, exactly as received
constexpr const wchar_t* kSessionId = L"SessionId";        // decimal
constexpr const wchar_t* kStartTime = L"StartTime";        // creation time, FILETIME as a decimal 64-bit number
constexpr const wchar_t* kStartupFlags = L"StartupFlags";  // STARTUPINFO dwFlags, decimal
constexpr const wchar_t* kShowWindow = L"ShowWindow";      // STARTUPINFO wShowWindow, decimal
constexpr const wchar_t* kActionSwitch = L"ActionSwitch";  // 1 when the command line carries a switch (" -...")
// The variables that decide what loads into the program: PATH and every one whose name begins with COR_ or
// CORECLR_, as "NAME=value" entries in the order of the environment, each ended by "|".
constexpr const wchar_t* kLoaderVariables = L"LoaderVariables";

// A stand-in that carries out action switches (the OSD stand-in) ends with this exit code
// once it has recorded a switch; every stand-in otherwise runs until it is terminated.
constexpr unsigned kExitAfterSwitch = 0;

// A file named <executable file name><kEndsAtOnceSuffix> beside a stand-in makes every later
// start of it end right after writing its record, with this exit code.
constexpr const wchar_t* kEndsAtOnceSuffix = L".ends-at-once";
constexpr unsigned kExitAtOnce = 3;

} // namespace standin
