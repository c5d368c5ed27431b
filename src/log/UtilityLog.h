// The service's log: one UTF-16LE record per call, written only while the switch key
// HKLM\Software\Osmira\OsmiraUtility\log exists, rotated into five backup slots.
#pragma once

#include "win/Owners.h"

#include <windows.h>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The log call of the whole program. The format follows the Microsoft CRT rules:
// %s and %ls take a wide string. Never fails towards the caller.
void WriteLog(const wchar_t* format, ...);

class CUtilityLog {
public:
    // Under HKEY_LOCAL_MACHINE; records are written only while this key exists.
    static constexpr const wchar_t* kSwitchKey = L"Software\\Osmira\\OsmiraUtility\\log";
    static constexpr size_t kMessageLimit = 512;      // formatted message, with terminator
    static constexpr size_t kLineLimit = 576;         // message + CR LF, with terminator
    static constexpr size_t kRecordLimit = 780;       // code units written per record
    static constexpr DWORD kRotateAboveBytes = 0x200000;
    static constexpr int kBackupSlots = 5;

    // Log directory on the drive of the temporary folder. Makes nothing: see MaintainFolder.
    static void InitLogFilePath();
    // The same for a given directory; InitLogFilePath settles the directory, then calls this. An empty one: no log.
    static void InitLogFilePathAt(const std::wstring& directory);
    // Called once when the service's run begins: from then on the log makes its folder when it is missing and adopts
    // one of SYSTEM or Administrators with another access list. Without it records go only into a trusted folder.
    static void MaintainFolder();

    // Replaces the version text with the running executable's file version.
    static void LoadModuleVersion();
    static std::wstring VersionText();

    static void WriteStringToLogFile(const wchar_t* text);
    static void AppendToLogFile(const wchar_t* text);
    static std::wstring GetBackupLogFileName();

    static const std::wstring& LogDirectory();
    static const std::wstring& CurrentLogFilePath();
};

// The parts of the log that do not touch the platform.
namespace logformat {

// "1.2.3.4" from the two 32-bit halves of a fixed file version.
std::wstring VersionText(DWORD fileVersionMS, DWORD fileVersionLS);

// "[<version> MM-DD hh:mm:ss] <text>"
std::wstring Record(const std::wstring& version, const SYSTEMTIME& localTime, const wchar_t* text);

// Index (0-based) of the backup slot to use, given each slot's last-write time as a
// FILETIME value, or nothing when the slot cannot be opened or its time not read.
// The first unusable slot wins; otherwise the oldest, the lowest index on equal times.
size_t ChooseBackupSlot(const std::optional<uint64_t> (&lastWrite)[CUtilityLog::kBackupSlots]);

// The log folder on the drive of a temporary folder path, "%c:\Windows\Temp\_OsmiraUtility_";
// on drive C when the path is empty (the temporary folder is unknown).
std::wstring LogDirectoryForTempPath(const std::wstring& tempPath);
// The current log file of a log folder.
std::wstring LogFileInDirectory(const std::wstring& directory);

} // namespace logformat

// Who may hold the log folder. The service runs as LocalSystem, so a folder that anybody else controls would let them
// aim its writes, renames and deletes at files of their choice.
namespace logtrust {

// Besides SYSTEM and Administrators, the user and the default owner of the token the service runs with.
struct ServiceIdentity {
    std::vector<BYTE> user, owner; // SIDs; empty when unknown
};
ServiceIdentity ReadTokenIdentity(HANDLE token);

// The access list of the log folder and, inherited, of its files: SYSTEM and Administrators full control, nobody
// else anything, protected. A user who could read a log file could hold the service's open of it or refuse sharing.
inline constexpr const wchar_t* kFolderSecurity = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

enum class FolderVerdict { Use, Adopt, Refuse };
struct LogFolderDecision {
    FolderVerdict verdict;
    // Why the folder, as it is, may not hold the log: not a real folder, owned by an untrusted SID, or an access list
    // granting write, delete or permission rights to others than the trusted. Empty for Use; for Adopt, may be empty.
    std::wstring refusal;
};
// A real folder owned by SYSTEM or Administrators whose access list is not kFolderSecurity's is adopted (its list
// replaced); any other folder is used when the refusal is empty and refused otherwise.
LogFolderDecision DecideLogFolder(DWORD attributes, PSECURITY_DESCRIPTOR descriptor, const ServiceIdentity& service);
// The same for a folder opened with FILE_READ_ATTRIBUTES and READ_CONTROL, its attributes also read by its path.
LogFolderDecision InspectLogFolder(HANDLE folder, const std::wstring& path, const ServiceIdentity& service);
// A handle on a folder (or what is there by that name) that does not follow a link where the platform allows.
win::UniqueHandle OpenFolderNoFollow(const std::wstring& path, DWORD share, DWORD moreAccess = 0);
// Gives a folder opened with WRITE_DAC the access list kFolderSecurity; a Win32 error code.
DWORD ProtectLogFolder(HANDLE folder);

} // namespace logtrust

// The version text of a file's VERSIONINFO resource, "0.0.0.0" when it has none.
std::wstring ReadFileVersionText(const wchar_t* path);
