#include "log/UtilityLog.h"

#include "win/Owners.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
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

std::mutex g_logLock;

bool LoggingSwitchedOn()
{
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

win::UniqueHandle OpenForReading(const std::wstring& path)
{
    return win::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::wstring BackupPath(int slot)
{
    return g_logDirectory + L"\\" + g_baseName + L"_" + std::to_wstring(slot) + L".log";
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
    g_logDirectory = directory;
    ::CreateDirectoryW(g_logDirectory.c_str(), nullptr);
    g_baseName = kBaseName;
    g_currentLogPath = logformat::LogFileInDirectory(g_logDirectory);
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
    try {
        std::lock_guard<std::mutex> lock(g_logLock);

        win::UniqueHandle file(::CreateFileW(g_currentLogPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        bool needsByteOrderMark = false;
        if (file) {
            const DWORD size = ::GetFileSize(file.get(), nullptr);
            if (size == 0) {
                needsByteOrderMark = true;
            } else if (size > kRotateAboveBytes) {
                const std::wstring backup = GetBackupLogFileName();
                if (OpenForReading(backup)) ::DeleteFileW(backup.c_str());
                file.reset();
                ::MoveFileW(g_currentLogPath.c_str(), backup.c_str());
            }
        }
        if (!file) {
            // Also empties a file whose move into the backup slot failed.
            file.reset(::CreateFileW(g_currentLogPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS, 0,
                                     nullptr));
            if (!file) return;
            needsByteOrderMark = true;
        }

        DWORD written = 0;
        if (needsByteOrderMark) {
            static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
            ::WriteFile(file.get(), kByteOrderMark, sizeof kByteOrderMark, &written, nullptr);
        }
        ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
        const size_t units = std::min(wcslen(text), kRecordLimit);
        ::WriteFile(file.get(), text, static_cast<DWORD>(units * sizeof(wchar_t)), &written, nullptr);
    } catch (const std::exception&) {
        // The record is lost; the lock has been released by the unwinding.
    }
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
    if (format == nullptr || !LoggingSwitchedOn()) return;

    // A message longer than 511 characters is cut at 511: keeping its beginning tells the
    // reader more than dropping it, and the record still ends with its line break.
    wchar_t message[CUtilityLog::kMessageLimit] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(message, CUtilityLog::kMessageLimit - 1, format, args);
    va_end(args);
    message[CUtilityLog::kMessageLimit - 1] = L'\0';

    wchar_t line[CUtilityLog::kLineLimit] = {};
    _snwprintf(line, CUtilityLog::kLineLimit - 1, L"%s\r\n", message);
    CUtilityLog::WriteStringToLogFile(line);
}
