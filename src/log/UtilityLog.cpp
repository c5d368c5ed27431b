#include "log/UtilityLog.h"

#include "log/ConsolePrint.h"
#include "win/Owners.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr const wchar_t* kSwitchKey = CUtilityLog::kSwitchKey;
constexpr const wchar_t* kBaseName = L"_FnHotkeySvcUtility";
constexpr const wchar_t* kUnknownVersion = L"0.0.0.0";
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ULL;

std::wstring g_logDirectory;
std::wstring g_baseName;
std::wstring g_currentLogPath;

// Records come from many threads; the version may be replaced while they read it, so it
// is published as an immutable string.
std::shared_ptr<const std::wstring> g_version = std::make_shared<const std::wstring>(kUnknownVersion);

// A slim lock: std::mutex of this runtime waits on a kernel event, under Wine a trip to its server for every writer
// that has to wait.
class LogLock {
public:
    void lock() { ::AcquireSRWLockExclusive(&m_lock); }
    void unlock() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK m_lock = SRWLOCK_INIT;
};
LogLock g_logLock;

// Others read and write the current log as before; delete sharing lets the writer reopen it with the right to rename.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Under the log lock: the log folder, held open since it was judged trusted; whether it stays in place while held;
// whether this process makes and adopts the folder; whether the adoption has been recorded.
win::UniqueHandle g_folder;
bool g_heldFolderStays = false;
bool g_maintainFolder = false;
bool g_adoptionRecorded = false;

const logtrust::ServiceIdentity& OwnIdentity()
{
    static const logtrust::ServiceIdentity identity = [] {
        win::UniqueToken token;
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put());
        return logtrust::ReadTokenIdentity(token.get());
    }();
    return identity;
}

// The folder's security as the log makes it; held for the life of the process.
PSECURITY_DESCRIPTOR FolderSecurity()
{
    static const win::UniqueLocalMemory descriptor([] {
        PSECURITY_DESCRIPTOR made = nullptr;
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(logtrust::kFolderSecurity, SDDL_REVISION_1, &made,
                                                               nullptr);
        return made;
    }());
    return descriptor.get();
}

void MakeMissingFolder(const std::wstring& path)
{
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES || ::GetLastError() != ERROR_FILE_NOT_FOUND) {
        return;
    }
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, FolderSecurity(), FALSE};
    if (attributes.lpSecurityDescriptor != nullptr) ::CreateDirectoryW(path.c_str(), &attributes);
}

bool NameShowsAFolder(const std::wstring& path)
{
    const DWORD byName = ::GetFileAttributesW(path.c_str());
    const DWORD kind = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return byName != INVALID_FILE_ATTRIBUTES && (byName & kind) == FILE_ATTRIBUTE_DIRECTORY;
}

// A held folder stays in place where the platform refuses a second open that asks to delete it.
bool HeldFolderStays(const std::wstring& path)
{
    const win::UniqueHandle second(::CreateFileW(path.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !second && ::GetLastError() == ERROR_SHARING_VIOLATION;
}

// Judged once per open of the folder, which then stays open without delete sharing: nobody can remove or rename it
// while it is held, so a clean-up cannot hand its name to somebody else between records. Where the platform lets a
// held folder go, each record checks that the name still shows a folder and no link, and judges it anew when it does
// not. Only the service makes a missing folder (at once, before anybody else can) and adopts one of SYSTEM or
// Administrators: whoever else ran the program would own the folder. adoption: the record of an adoption, once.
bool HoldTrustedFolder(std::wstring& adoption)
{
    if (g_logDirectory.empty()) return false;
    if (g_folder && !g_heldFolderStays && !NameShowsAFolder(g_logDirectory)) g_folder.reset();
    if (g_folder) return true;
    if (g_maintainFolder) MakeMissingFolder(g_logDirectory);
    // The listing right makes the open count for sharing: opened for its attributes alone, the folder could go.
    const DWORD access = FILE_LIST_DIRECTORY | (g_maintainFolder ? WRITE_DAC : 0);
    win::UniqueHandle folder = logtrust::OpenFolderNoFollow(g_logDirectory, FILE_SHARE_READ | FILE_SHARE_WRITE, access);
    if (!folder) return false;
    logtrust::LogFolderDecision decision = logtrust::InspectLogFolder(folder.get(), g_logDirectory, OwnIdentity());
    DWORD adoptionError = ERROR_SUCCESS;
    const bool adopting = g_maintainFolder && decision.verdict == logtrust::FolderVerdict::Adopt;
    if (adopting) {
        // Hardening: a folder left by an earlier version is taken over rather than refused or left readable by users.
        adoptionError = logtrust::ProtectLogFolder(folder.get());
        decision = logtrust::InspectLogFolder(folder.get(), g_logDirectory, OwnIdentity());
    }
    if (!decision.refusal.empty()) return false;
    g_folder = std::move(folder);
    g_heldFolderStays = HeldFolderStays(g_logDirectory);
    if (adopting && !g_adoptionRecorded) {
        g_adoptionRecorded = true;
        adoption = L"CUtilityLog log folder adopted: access list of SYSTEM and Administrators only applied, error: " +
                   std::to_wstring(adoptionError);
    }
    return true;
}

// The file work runs as the service itself: a thread that impersonates a user would meet a folder that only SYSTEM
// and Administrators may write, or leave a log file that the user owns.
class AsTheService {
public:
    AsTheService()
    {
        if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, m_impersonation.put())) ::RevertToSelf();
    }
    ~AsTheService()
    {
        if (m_impersonation) ::SetThreadToken(nullptr, m_impersonation.get());
    }

private:
    win::UniqueToken m_impersonation;
};

// A log file opened without following a link. A link, or a file that also has a name elsewhere, is refused, so that
// no record, rename or delete reaches a file outside the log folder. Two cheap queries rather than the one that gives
// all three answers: that one asks for the volume too, a hundred times dearer under Wine.
win::UniqueHandle OpenLogFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                              FILE_STANDARD_INFO& info)
{
    win::UniqueHandle file(
        ::CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO basic = {};
    if (!file || !::GetFileInformationByHandleEx(file.get(), FileBasicInfo, &basic, sizeof basic) ||
        !::GetFileInformationByHandleEx(file.get(), FileStandardInfo, &info, sizeof info)) {
        return {};
    }
    if ((basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.NumberOfLinks != 1) return {};
    return file;
}

void DeleteThroughHandle(const std::wstring& path)
{
    FILE_STANDARD_INFO info = {};
    const win::UniqueHandle file = OpenLogFile(path, GENERIC_READ | DELETE, FILE_SHARE_READ, OPEN_EXISTING, info);
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (file) ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

// The new name goes as an NT path, which Windows and Wine both take. The zeroed buffer leaves ReplaceIfExists
// false: like the move it replaces, a rename never overwrites an existing backup.
void RenameThroughHandle(HANDLE file, const std::wstring& path)
{
    const std::wstring ntPath = L"\\??\\" + path;
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + ntPath.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->FileNameLength = static_cast<DWORD>(ntPath.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, ntPath.c_str(), rename->FileNameLength);
    ::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size()));
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    if (sid == nullptr || !::ConvertSidToStringSidW(sid, &text)) return L"(no readable SID)";
    const win::UniqueLocalMemory held(text);
    return text;
}

bool TrustedSid(PSID sid, const logtrust::ServiceIdentity& service)
{
    const auto is = [sid](const std::vector<BYTE>& other) {
        return !other.empty() && ::EqualSid(sid, const_cast<BYTE*>(other.data()));
    };
    return ::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
           is(service.user) || is(service.owner);
}

// The switch key stays open while it exists: asking the held key whether it is still there is one trip to the
// registry where opening and closing it by name are two. A key deleted since answers ERROR_KEY_DELETED, and then the
// name is tried again, so the switch is still checked anew on every call. Used under the shared side of the lock,
// replaced under the exclusive side, so no call asks a key that another has closed.
SRWLOCK g_switchLock = SRWLOCK_INIT;
win::UniqueRegKey g_switchKey;

bool LoggingSwitchedOn()
{
    ::AcquireSRWLockShared(&g_switchLock);
    const HKEY held = g_switchKey.get();
    const bool on = held != nullptr && ::RegQueryInfoKeyW(held, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                                          nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    ::ReleaseSRWLockShared(&g_switchLock);
    if (on) return true;
    win::UniqueRegKey key;
    const bool opened = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    if (held != nullptr || opened) {
        ::AcquireSRWLockExclusive(&g_switchLock);
        // The held key gone, the one just opened (or none) takes its place; the gone one is closed with key.
        if (g_switchKey.get() == held) std::swap(g_switchKey, key);
        ::ReleaseSRWLockExclusive(&g_switchLock);
    }
    return opened;
}

win::UniqueHandle OpenForReading(const std::wstring& path)
{
    return win::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

std::wstring BackupPath(int slot)
{
    return g_logDirectory + L"\\" + g_baseName + L"_" + std::to_wstring(slot) + L".log";
}

bool IsSystemOrAdministrators(PSID sid)
{
    return sid != nullptr && ::IsValidSid(sid) &&
           (::IsWellKnownSid(sid, WinLocalSystemSid) || ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid));
}

// Protected, and SYSTEM then Administrators with full control over everything below, nothing else: as it is made.
bool HasTheLogsAccessList(PSECURITY_DESCRIPTOR descriptor, const ACL* dacl)
{
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!::GetSecurityDescriptorControl(descriptor, &control, &revision) || (control & SE_DACL_PROTECTED) == 0 ||
        dacl == nullptr || dacl->AceCount != 2) {
        return false;
    }
    const WELL_KNOWN_SID_TYPE grantees[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid};
    for (WORD i = 0; i < 2; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) return false;
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            allowed->Header.AceFlags != (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE) ||
            allowed->Mask != FILE_ALL_ACCESS ||
            !::IsWellKnownSid(const_cast<DWORD*>(&allowed->SidStart), grantees[i])) {
            return false;
        }
    }
    return true;
}

} // namespace

namespace logformat {

std::wstring VersionText(DWORD ms, DWORD ls)
{
    return std::to_wstring(HIWORD(ms)) + L"." + std::to_wstring(LOWORD(ms)) + L"." +
           std::to_wstring(HIWORD(ls)) + L"." + std::to_wstring(LOWORD(ls));
}

std::wstring Record(const std::wstring& version, const SYSTEMTIME& t, const wchar_t* text)
{
    wchar_t stamp[100] = {};
    _snwprintf(stamp, 99, L"%02d-%02d %02d:%02d:%02d", t.wMonth, t.wDay, t.wHour, t.wMinute,
               t.wSecond);
    std::wstring record;
    record.reserve(version.size() + 20 + wcslen(text));
    record += L"[";
    record += version;
    record += L" ";
    record += stamp;
    record += L"] ";
    record += text;
    return record;
}

size_t ChooseBackupSlot(const std::optional<uint64_t> (&lastWrite)[CUtilityLog::kBackupSlots])
{
    size_t chosen = 0;
    uint64_t oldest = UINT64_MAX;
    for (size_t i = 0; i < CUtilityLog::kBackupSlots; ++i) {
        if (!lastWrite[i]) return i;
        // Unsigned on purpose: a time before 1970 wraps to a large value, as the
        // original arithmetic does, so such a slot counts as recent.
        const uint64_t sinceEpoch = *lastWrite[i] - kUnixEpochAsFileTime;
        if (sinceEpoch < oldest) {
            oldest = sinceEpoch;
            chosen = i;
        }
    }
    return chosen;
}

std::wstring LogDirectoryForTempPath(const std::wstring& tempPath)
{
    if (tempPath.empty()) return L"C:\\Windows\\Temp\\_OsmiraUtility_";
    wchar_t formatted[MAX_PATH] = {};
    _snwprintf(formatted, MAX_PATH - 1, L"%c:\\Windows\\Temp\\_OsmiraUtility_", tempPath[0]);
    return formatted;
}

std::wstring LogFileInDirectory(const std::wstring& directory)
{
    return directory + L"\\" + kBaseName + L".log";
}

} // namespace logformat

namespace logtrust {

ServiceIdentity ReadTokenIdentity(HANDLE token)
{
    ServiceIdentity identity;
    const auto read = [token](TOKEN_INFORMATION_CLASS kind, std::vector<BYTE>& sid) {
        alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
        DWORD size = 0;
        if (token == nullptr || !::GetTokenInformation(token, kind, buffer, sizeof buffer, &size)) return;
        // TOKEN_USER and TOKEN_OWNER both begin with the SID's address.
        auto* found = static_cast<BYTE*>(kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                                           : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner);
        sid.assign(found, found + ::GetLengthSid(found));
    };
    read(TokenUser, identity.user);
    read(TokenOwner, identity.owner);
    return identity;
}

// Why a folder may not hold the log, or empty when it may: it must be a real folder (not a link), owned by a trusted
// SID, whose access list grants write, delete or permission rights to trusted SIDs alone.
std::wstring LogFolderRefusal(DWORD attributes, PSID owner, const ACL* dacl, const ServiceIdentity& service)
{
    // The generic rights count too: an inheritable entry may carry them.
    constexpr ACCESS_MASK kControlRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD |
                                           FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                           GENERIC_ALL;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return L"a link to another place (reparse point)";
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return L"not a folder";
    if (owner == nullptr || !::IsValidSid(owner) || !TrustedSid(owner, service)) return L"owned by " + SidText(owner);
    if (dacl == nullptr) return L"no access list: everyone has full control";
    for (WORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!::GetAce(const_cast<ACL*>(dacl), i, &entry)) return L"an unreadable access entry";
        const BYTE type = static_cast<const ACE_HEADER*>(entry)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE) continue;
        if (type != ACCESS_ALLOWED_ACE_TYPE) return L"an access entry of type " + std::to_wstring(type);
        const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
        PSID grantee = const_cast<DWORD*>(&allowed->SidStart);
        // CREATOR OWNER stands for whoever makes a child, and here only the trusted can.
        if ((allowed->Mask & kControlRights) != 0 && !TrustedSid(grantee, service) &&
            !::IsWellKnownSid(grantee, WinCreatorOwnerSid)) {
            return L"grants write, delete or permission rights to " + SidText(grantee);
        }
    }
    return L"";
}

LogFolderDecision DecideLogFolder(DWORD attributes, PSECURITY_DESCRIPTOR descriptor, const ServiceIdentity& service)
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    if (!::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) dacl = nullptr;
    std::wstring refusal = LogFolderRefusal(attributes, owner, dacl, service);
    const DWORD kind = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((attributes & kind) == FILE_ATTRIBUTE_DIRECTORY && IsSystemOrAdministrators(owner) &&
        !HasTheLogsAccessList(descriptor, dacl)) {
        return {FolderVerdict::Adopt, std::move(refusal)};
    }
    const FolderVerdict verdict = refusal.empty() ? FolderVerdict::Use : FolderVerdict::Refuse;
    return {verdict, std::move(refusal)};
}

LogFolderDecision InspectLogFolder(HANDLE folder, const std::wstring& path, const ServiceIdentity& service)
{
    FILE_BASIC_INFO info = {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const DWORD error =
        ::GetFileInformationByHandleEx(folder, FileBasicInfo, &info, sizeof info)
            ? ::GetSecurityInfo(folder, SE_FILE_OBJECT, wanted, nullptr, nullptr, nullptr, nullptr, &descriptor)
            : ::GetLastError();
    const win::UniqueLocalMemory held(descriptor);
    if (error != ERROR_SUCCESS) {
        return {FolderVerdict::Refuse, L"its owner and access list cannot be read: error " + std::to_wstring(error)};
    }
    // Some platforms follow a folder link even when told not to; the link then shows by its name only.
    const DWORD byName = ::GetFileAttributesW(path.c_str());
    const DWORD link = byName != INVALID_FILE_ATTRIBUTES ? byName & FILE_ATTRIBUTE_REPARSE_POINT : 0;
    return DecideLogFolder(info.FileAttributes | link, descriptor, service);
}

win::UniqueHandle OpenFolderNoFollow(const std::wstring& path, DWORD share, DWORD moreAccess)
{
    return win::UniqueHandle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL | moreAccess, share,
                                           nullptr, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

DWORD ProtectLogFolder(HANDLE folder)
{
    PACL dacl = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    if (FolderSecurity() == nullptr || !::GetSecurityDescriptorDacl(FolderSecurity(), &present, &dacl, &defaulted)) {
        return ::GetLastError();
    }
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION;
    return ::SetSecurityInfo(folder, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
}

} // namespace logtrust

std::wstring ReadFileVersionText(const wchar_t* path)
{
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0) return kUnknownVersion;
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(path, 0, size, data.data())) return kUnknownVersion;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) ||
        info == nullptr || infoSize < sizeof(VS_FIXEDFILEINFO)) {
        return kUnknownVersion;
    }
    return logformat::VersionText(info->dwFileVersionMS, info->dwFileVersionLS);
}

void CUtilityLog::InitLogFilePath()
{
    wchar_t temp[MAX_PATH] = {};
    InitLogFilePathAt(logformat::LogDirectoryForTempPath(::GetTempPathW(MAX_PATH, temp) != 0 ? temp : L""));
}

void CUtilityLog::InitLogFilePathAt(const std::wstring& directory)
{
    // Hardening: the folder is made by the running service alone (MaintainFolder), not by every run of the program.
    const std::lock_guard<LogLock> lock(g_logLock);
    g_logDirectory = directory;
    g_folder.reset();
    g_baseName = kBaseName;
    g_currentLogPath = directory.empty() ? L"" : logformat::LogFileInDirectory(g_logDirectory);
}

void CUtilityLog::MaintainFolder()
{
    const std::lock_guard<LogLock> lock(g_logLock);
    g_maintainFolder = true;
    if (!g_logDirectory.empty()) MakeMissingFolder(g_logDirectory);
}

const std::wstring& CUtilityLog::LogDirectory() { return g_logDirectory; }
const std::wstring& CUtilityLog::CurrentLogFilePath() { return g_currentLogPath; }

void CUtilityLog::LoadModuleVersion()
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    std::wstring version = kUnknownVersion;
    if (::QueryFullProcessImageNameW(::GetCurrentProcess(), 0, path, &length)) {
        version = ReadFileVersionText(path);
    }
    std::atomic_store(&g_version, std::make_shared<const std::wstring>(std::move(version)));
}

std::wstring CUtilityLog::VersionText() { return *std::atomic_load(&g_version); }

std::wstring CUtilityLog::GetBackupLogFileName()
{
    std::optional<uint64_t> lastWrite[kBackupSlots];
    for (int slot = 1; slot <= kBackupSlots; ++slot) {
        win::UniqueHandle file = OpenForReading(BackupPath(slot));
        FILETIME creation = {}, access = {}, write = {};
        if (!file || !::GetFileTime(file.get(), &creation, &access, &write)) {
            // The first slot that cannot be looked at is taken as it is.
            return BackupPath(slot);
        }
        lastWrite[slot - 1] = (static_cast<uint64_t>(write.dwHighDateTime) << 32) | write.dwLowDateTime;
    }
    return BackupPath(static_cast<int>(logformat::ChooseBackupSlot(lastWrite)) + 1);
}

void CUtilityLog::AppendToLogFile(const wchar_t* text)
{
    if (text == nullptr) return;
    std::wstring adoption;
    try {
        const AsTheService asTheService;
        // Declared before the lock, so closed after it: the record is written by then, and other writers need not
        // wait for the close.
        win::UniqueHandle file;
        const std::lock_guard<LogLock> lock(g_logLock);
        // An untrusted folder drops the record without touching a file.
        if (!HoldTrustedFolder(adoption)) return;

        FILE_STANDARD_INFO info = {};
        // Opened to append, every write lands at the end without a seek; emptying the file needs the right to write.
        const DWORD append = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        file = OpenLogFile(g_currentLogPath, append, kShareAll, OPEN_EXISTING, info);
        bool needsByteOrderMark = false;
        if (file) {
            if (info.EndOfFile.LowPart == 0) {
                needsByteOrderMark = true;
            } else if (info.EndOfFile.LowPart > kRotateAboveBytes) {
                const std::wstring backup = GetBackupLogFileName();
                DeleteThroughHandle(backup);
                // A reader without delete sharing makes this fail, as it makes a move by name fail.
                const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT;
                const win::UniqueHandle renaming(::ReOpenFile(file.get(), DELETE, kShareAll, flags));
                file.reset();
                if (renaming) RenameThroughHandle(renaming.get(), backup);
            }
        }
        if (!file) {
            // Opened as it is and then emptied, so that nothing is emptied before it has passed the checks; this also
            // empties a file whose rename into the backup slot failed.
            file = OpenLogFile(g_currentLogPath, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS, info);
            if (!file) return;
            ::SetEndOfFile(file.get());
            needsByteOrderMark = true;
        }

        DWORD written = 0;
        if (needsByteOrderMark) {
            static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
            ::WriteFile(file.get(), kByteOrderMark, sizeof kByteOrderMark, &written, nullptr);
        }
        const size_t units = std::min(wcslen(text), kRecordLimit);
        ::WriteFile(file.get(), text, static_cast<DWORD>(units * sizeof(wchar_t)), &written, nullptr);
    } catch (const std::exception&) {
        // The record is lost; the lock has been released by the unwinding.
    }
    // Recorded after the lock is let go: nothing inside it logs.
    if (!adoption.empty()) WriteLog(L"%s", adoption.c_str());
}

void CUtilityLog::WriteStringToLogFile(const wchar_t* text)
{
    try {
        const std::wstring copy(text);
        std::shared_ptr<const std::wstring> version = std::atomic_load(&g_version);
        if (version->size() < 2 || *version == kUnknownVersion) {
            LoadModuleVersion();
            version = std::atomic_load(&g_version);
        }
        SYSTEMTIME now = {};
        ::GetLocalTime(&now);
        AppendToLogFile(logformat::Record(*version, now, copy.c_str()).c_str());
    } catch (const std::exception&) {
        wchar_t fallback[64] = {};
        _snwprintf(fallback, 63, L"CUtilityLog WriteStringToLogFile Error:%u", ::GetLastError());
        AppendToLogFile(fallback);
    }
}

void WriteLog(const wchar_t* format, ...)
{
    // A caller logs a failure and then reads its last error again, for the next line or its own use: the log's own
    // calls must not change it.
    struct LastErrorKept {
        const DWORD saved = ::GetLastError();
        ~LastErrorKept() { ::SetLastError(saved); }
    } kept;
    if (format == nullptr || !LoggingSwitchedOn()) return;

    // A message longer than 511 characters is cut at 511: keeping its beginning tells the
    // reader more than dropping it, and the record still ends with its line break.
    wchar_t message[CUtilityLog::kMessageLimit] = {};
    va_list args;
    va_start(args, format);
    FormatInto(message, CUtilityLog::kMessageLimit, format, args);
    va_end(args);

    wchar_t line[CUtilityLog::kLineLimit] = {};
    _snwprintf(line, CUtilityLog::kLineLimit - 1, L"%s\r\n", message);
    CUtilityLog::WriteStringToLogFile(line);
}
