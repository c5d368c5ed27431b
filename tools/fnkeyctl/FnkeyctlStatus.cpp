#include "FnkeyctlStatus.h"

#include "hardware/HidKbLed.h"
#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"
#include "process/ProcessWalk.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "service/CompanionSupervision.h"
#include "win/Owners.h"

#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

// The product functions called here (the keyboard list, the HID search) log their failures.
// fnkeyctl never sets the log's path, so such a record has no file to go to and is dropped:
// status writes nothing, whether logging is on or off.

namespace fnkeyctl {

namespace {

constexpr DWORD kLogTailBytes = 64 * 1024; // more than 20 records of at most 780 code units
constexpr size_t kLabelWidth = 14;

std::wstring Pad(const std::wstring& text, size_t width)
{
    return text.size() >= width ? text + L" " : text + std::wstring(width - text.size(), L' ');
}

std::wstring Line(const std::wstring& label, const std::wstring& value)
{
    return L"  " + Pad(label, kLabelWidth) + value + L"\n";
}

std::wstring ErrorWithText(DWORD error)
{
    return L"error " + std::to_wstring(error) + L" (" + SystemErrorText(error) + L")";
}

std::wstring Hex4(DWORD value) { return Format(L"%04X", static_cast<unsigned>(value)); }

// ---- gathering ----

ServiceState ReadService(const std::wstring& name)
{
    ServiceState result;
    result.name = name;
    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return result.error = ::GetLastError(), result;
    win::UniqueServiceHandle service(
        ::OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | READ_CONTROL));
    if (!service) return result.error = ::GetLastError(), result;

    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed)) {
        return result.error = ::GetLastError(), result;
    }
    result.state = status.dwCurrentState;
    result.processId = status.dwProcessId;

    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(QUERY_SERVICE_CONFIGW)));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed)) {
        return result.error = ::GetLastError(), result;
    }
    result.startType = config->dwStartType;
    result.program = config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"";

    ::QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<BYTE> descriptor(std::max<DWORD>(needed, sizeof(SECURITY_DESCRIPTOR)));
    wchar_t* sddl = nullptr;
    if (::QueryServiceObjectSecurity(service.get(), DACL_SECURITY_INFORMATION, descriptor.data(),
                                     static_cast<DWORD>(descriptor.size()), &needed) &&
        ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                               DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        const win::UniqueLocalMemory held(sddl);
        result.accessList = sddl;
    }
    return result;
}

// The folder judged as the service judges it, with the running service's own token; when that cannot be read, as for
// LocalSystem, whose user and default owner (SYSTEM, Administrators) are trusted anyway. No folder: nothing to say.
std::wstring LogFolderRefusal(const std::wstring& folder, DWORD serviceProcessId)
{
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle handle(logtrust::OpenFolderNoFollow(folder, shareAll));
    if (!handle) return L"";
    const win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, serviceProcessId));
    win::UniqueToken token;
    if (process) ::OpenProcessToken(process.get(), TOKEN_QUERY, token.put());
    const logtrust::LogFolderDecision decision =
        logtrust::InspectLogFolder(handle.get(), folder, logtrust::ReadTokenIdentity(token.get()));
    // A folder to adopt is one the service will write into.
    return decision.verdict == logtrust::FolderVerdict::Refuse ? decision.refusal : L"";
}

// Reading the log needs an administrator: its folder grants nobody else anything.
bool RunsElevated()
{
    win::UniqueToken token;
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    return ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
           ::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
           elevation.TokenIsElevated != 0;
}

using NtQueryInformationProcessFunction = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

NtQueryInformationProcessFunction NtQueryFunction()
{
    static const auto function = reinterpret_cast<NtQueryInformationProcessFunction>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
    return function;
}

// The command line the process was given, as its own parameter block holds it: the query for it
// by name first (Windows 8.1 and later; Wine 8 refuses it), then the block read through the
// process's PEB, which works on both.
bool ReadCommandLine(DWORD processId, std::wstring& commandLine)
{
    const NtQueryInformationProcessFunction query = NtQueryFunction();
    if (query == nullptr) return false;
    win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    constexpr PROCESSINFOCLASS kProcessCommandLineInformation = static_cast<PROCESSINFOCLASS>(60);
    if (process) {
        std::vector<BYTE> buffer(4096);
        for (int attempt = 0; attempt < 2; ++attempt) {
            ULONG needed = 0;
            const NTSTATUS status = query(process.get(), kProcessCommandLineInformation, buffer.data(),
                                          static_cast<ULONG>(buffer.size()), &needed);
            if (status >= 0) {
                const auto* text = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
                commandLine.assign(text->Buffer, text->Length / sizeof(wchar_t));
                return true;
            }
            if (needed <= buffer.size()) break;
            buffer.resize(needed);
        }
    }

    process.reset(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (!process) return false;
    PROCESS_BASIC_INFORMATION basic = {};
    if (query(process.get(), ProcessBasicInformation, &basic, sizeof basic, nullptr) < 0 ||
        basic.PebBaseAddress == nullptr)
        return false;
    PEB peb = {};
    RTL_USER_PROCESS_PARAMETERS parameters = {};
    if (!::ReadProcessMemory(process.get(), basic.PebBaseAddress, &peb, sizeof peb, nullptr) ||
        peb.ProcessParameters == nullptr ||
        !::ReadProcessMemory(process.get(), peb.ProcessParameters, &parameters, sizeof parameters, nullptr)) {
        return false;
    }
    std::wstring text(parameters.CommandLine.Length / sizeof(wchar_t), L'\0');
    if (!text.empty() && !::ReadProcessMemory(process.get(), parameters.CommandLine.Buffer, &text[0],
                                              parameters.CommandLine.Length, nullptr)) {
        return false;
    }
    commandLine = std::move(text);
    return true;
}

std::vector<CompanionProcess> FindCompanions()
{
    std::vector<CompanionProcess> found;
    WalkProcesses([&](const PROCESSENTRY32W& entry) {
        for (const wchar_t* name : {kAgentName, kLockOsdName, kPackagedAppName}) {
            if (_wcsicmp(entry.szExeFile, name) != 0) continue;
            CompanionProcess companion;
            companion.name = entry.szExeFile;
            companion.processId = entry.th32ProcessID;
            companion.sessionKnown = ::ProcessIdToSessionId(entry.th32ProcessID, &companion.sessionId) != FALSE;
            companion.commandLineRead = ReadCommandLine(entry.th32ProcessID, companion.commandLine);
            found.push_back(std::move(companion));
        }
        return true;
    });
    return found;
}

std::vector<SettingValue> ReadSettings()
{
    struct Place { const wchar_t* key; const wchar_t* label; const wchar_t* name; };
    using namespace regkeys;
    static const Place places[] = {
        {kToastKey, L"PexaroToast", kShowCapslkOsd},          {kToastKey, L"PexaroToast", kShowNumlkOsd},
        {kOsdKey, L"ControlShowOSD", kShowCapsNumlkOsd},      {kToastKey, L"PexaroToast", kCountTimesPopToast},
        {kToastKey, L"PexaroToast", kPopToast},               {kToastKey, L"PexaroToast", kNeverPopToast},
        {kCapabilityKey, L"Capbility", kOcrSnippingKey},      {kCapabilityKey, L"Capbility", kIsUserChangedCapsNumLk},
        {kCapabilityKey, L"Capbility", kIsGameMachine},       {kCapabilityKey, L"Capbility", kGameMachineVersion},
    };
    std::vector<SettingValue> values;
    for (const Place& place : places) {
        SettingValue value;
        value.keyLabel = place.label;
        value.name = place.name;
        win::UniqueRegKey key;
        value.error = static_cast<DWORD>(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, place.key, 0, KEY_QUERY_VALUE, key.put()));
        DWORD size = 0;
        if (value.error == ERROR_SUCCESS)
            value.error =
                static_cast<DWORD>(::RegQueryValueExW(key.get(), place.name, nullptr, &value.type, nullptr, &size));
        if (value.error == ERROR_SUCCESS) {
            value.data.resize(size);
            value.error = static_cast<DWORD>(
                ::RegQueryValueExW(key.get(), place.name, nullptr, &value.type, value.data.data(), &size));
            value.data.resize(size);
        }
        values.push_back(std::move(value));
    }
    return values;
}

DWORD ReadKeyboards(std::vector<RegisteredKeyboard>& keyboards)
{
    win::UniqueRegKey key;
    const LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, regkeys::kKeyboardListKey, 0, KEY_READ, key.put());
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);
    for (const std::wstring& name : GetSubKeys(key.get())) {
        RegisteredKeyboard keyboard;
        keyboard.name = name;
        keyboard.parsed = DeviceIdString2Number(name.c_str(), &keyboard.vendorId, &keyboard.productId) != FALSE;
        HANDLE device = nullptr;
        // The same search as the service's LED write: the keyboard's LED collection, present now.
        if (keyboard.parsed &&
            CHidKBLedInterface::FindHidDeviceHandle(keyboard.vendorId, keyboard.productId, &device)) {
            keyboard.attached = true;
            win::UniqueHandle closed(device);
        }
        keyboards.push_back(std::move(keyboard));
    }
    return ERROR_SUCCESS;
}

// ---- formatting ----

std::wstring StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return L"STOPPED";
    case SERVICE_START_PENDING: return L"START_PENDING";
    case SERVICE_STOP_PENDING: return L"STOP_PENDING";
    case SERVICE_RUNNING: return L"RUNNING";
    case SERVICE_CONTINUE_PENDING: return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING: return L"PAUSE_PENDING";
    case SERVICE_PAUSED: return L"PAUSED";
    default: return L"state " + std::to_wstring(state);
    }
}

std::wstring StartTypeName(DWORD type)
{
    switch (type) {
    case SERVICE_BOOT_START: return L"boot";
    case SERVICE_SYSTEM_START: return L"system";
    case SERVICE_AUTO_START: return L"auto";
    case SERVICE_DEMAND_START: return L"demand";
    case SERVICE_DISABLED: return L"disabled";
    default: return L"type " + std::to_wstring(type);
    }
}

std::wstring FormatService(const ServiceState& service)
{
    std::wstring text = Pad(L"Service", kLabelWidth + 2) + service.name + L"\n";
    if (service.error == ERROR_SERVICE_DOES_NOT_EXIST) return text + Line(L"State", L"not installed");
    if (service.error != 0) return text + Line(L"State", L"unknown: " + ErrorWithText(service.error));
    std::wstring state = StateName(service.state);
    if (service.processId != 0) state += L", process " + std::to_wstring(service.processId);
    return text + Line(L"State", state) + Line(L"Start type", StartTypeName(service.startType)) +
           Line(L"Program", service.program) +
           Line(L"Access list", service.accessList.empty() ? L"(unreadable)" : service.accessList);
}

std::wstring FormatLog(const LogState& log)
{
    std::wstring text = Pad(L"Logging", kLabelWidth + 2) + (log.switchOn ? L"on" : L"off") + L"\n";
    text +=
        Line(L"Switch key", std::wstring(L"HKLM\\") + CUtilityLog::kSwitchKey + (log.switchOn ? L"" : L" (absent)"));
    text += Line(L"Log file", log.path);
    if (!log.folderRefusal.empty()) text += L"  log folder not trusted: " + log.folderRefusal + L"\n";
    text += L"\nLast log records\n";
    if (log.needsAdministrator) return text + L"  reading the log needs an administrator\n";
    if (log.readError == ERROR_FILE_NOT_FOUND || log.readError == ERROR_PATH_NOT_FOUND)
        return text + L"  no log file\n";
    if (log.readError != 0) return text + L"  unreadable: " + ErrorWithText(log.readError) + L"\n";
    if (log.lastRecords.empty()) return text + L"  (empty)\n";
    for (const std::wstring& record : log.lastRecords) text += L"  " + record + L"\n";
    return text;
}

std::wstring FormatCompanions(const std::vector<CompanionProcess>& companions)
{
    std::wstring text = L"Companions\n";
    if (companions.empty())
        return text + L"  none running (" + kAgentName + L", " + kLockOsdName + L", " + kPackagedAppName + L")\n";
    text += L"  " + Pad(L"Name", 18) + Pad(L"Process", 9) + Pad(L"Session", 9) + L"Command line\n";
    for (const CompanionProcess& c : companions) {
        text += L"  " + Pad(c.name, 18) + Pad(std::to_wstring(c.processId), 9) +
                Pad(c.sessionKnown ? std::to_wstring(c.sessionId) : L"?", 9) +
                (c.commandLineRead ? c.commandLine : L"(unreadable)") + L"\n";
    }
    return text;
}

std::wstring ValueText(const SettingValue& value)
{
    if (value.error == ERROR_FILE_NOT_FOUND) return L"(not set)";
    if (value.error != 0) return L"(unreadable: " + ErrorWithText(value.error) + L")";
    if (value.type == REG_DWORD && value.data.size() == sizeof(DWORD)) {
        DWORD number = 0;
        std::memcpy(&number, value.data.data(), sizeof number);
        return std::to_wstring(number);
    }
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && value.data.size() >= sizeof(wchar_t)) {
        std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
        text.resize(std::wcslen(text.c_str()));
        return L"\"" + text + L"\"";
    }
    std::wstring text = L"type " + std::to_wstring(value.type) + L":";
    for (BYTE b : value.data) text += Format(L" %02X", b);
    return text;
}

std::wstring FormatSettings(const std::vector<SettingValue>& settings)
{
    std::wstring text = L"Settings (HKLM\\" + std::wstring(regkeys::kServiceKey) + L")\n";
    for (const SettingValue& value : settings)
        text += L"  " + Pad(value.keyLabel, 16) + Pad(value.name, 32) + ValueText(value) + L"\n";
    return text;
}

std::wstring FormatKeyboards(DWORD listError, const std::vector<RegisteredKeyboard>& keyboards)
{
    std::wstring text = L"Registered keyboards (HKLM\\" + std::wstring(regkeys::kKeyboardListKey) + L")\n";
    if (listError == ERROR_FILE_NOT_FOUND) return text + L"  none: the key does not exist\n";
    if (listError != 0) return text + L"  unreadable: " + ErrorWithText(listError) + L"\n";
    if (keyboards.empty()) return text + L"  none\n";
    for (const RegisteredKeyboard& k : keyboards) {
        text += L"  " + Pad(k.name, 28) +
                (k.parsed ? L"VID " + Hex4(k.vendorId & 0xFFFF) + L"  PID " + Hex4(k.productId) + L"  " +
                                (k.attached ? L"attached" : L"not attached")
                          : std::wstring(L"(no vendor and product id in the name)")) +
                L"\n";
    }
    return text;
}

} // namespace

std::vector<std::wstring> LastLogRecords(const std::wstring& text, size_t count, bool fromFileStart)
{
    std::vector<std::wstring> records;
    size_t start = 0;
    if (!fromFileStart) {
        const size_t firstEnd = text.find(L"\r\n");
        start = firstEnd == std::wstring::npos ? text.size() : firstEnd + 2;
    }
    while (start < text.size()) {
        size_t end = text.find(L"\r\n", start);
        const size_t next = end == std::wstring::npos ? text.size() : end + 2;
        if (end == std::wstring::npos) end = text.size();
        std::wstring record = text.substr(start, end - start);
        // A message may carry its own line breaks; on the screen a record stays one line.
        std::replace_if(record.begin(), record.end(), [](wchar_t c) { return c == L'\r' || c == L'\n'; }, L' ');
        while (!record.empty() && record.back() == L' ') record.pop_back();
        records.push_back(std::move(record));
        start = next;
    }
    if (records.size() > count) records.erase(records.begin(), records.end() - static_cast<std::ptrdiff_t>(count));
    return records;
}

LogState ReadLog(const std::wstring& folder, DWORD serviceProcessId, bool administrator)
{
    LogState result;
    win::UniqueRegKey key;
    result.switchOn =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, CUtilityLog::kSwitchKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    result.path = logformat::LogFileInDirectory(folder);
    if (!administrator) return result.needsAdministrator = true, result;
    result.folderRefusal = LogFolderRefusal(folder, serviceProcessId);
    // Shared every way: the service opens, writes and renames the file while it is read.
    win::UniqueHandle file(::CreateFileW(result.path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size)) return result.readError = ::GetLastError(), result;
    // Only the tail is read, from an even offset so that the UTF-16 units stay whole.
    const LONGLONG start = size.QuadPart > kLogTailBytes ? (size.QuadPart - kLogTailBytes) & ~1LL : 0;
    LARGE_INTEGER offset = {};
    offset.QuadPart = start;
    std::vector<BYTE> bytes(static_cast<size_t>(size.QuadPart - start));
    DWORD read = 0;
    if (!::SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return result.readError = ::GetLastError(), result;
    }
    size_t skip = start == 0 && read >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE ? 2 : 0;
    std::wstring text((read - skip) / sizeof(wchar_t), L'\0');
    if (!text.empty()) std::memcpy(&text[0], bytes.data() + skip, text.size() * sizeof(wchar_t));
    result.lastRecords = LastLogRecords(text, kLastLogRecords, start == 0);
    return result;
}

StatusReport GatherStatus(const std::wstring& serviceName)
{
    StatusReport report;
    report.service = ReadService(serviceName);
    wchar_t temp[MAX_PATH] = {};
    const std::wstring folder = logformat::LogDirectoryForTempPath(::GetTempPathW(MAX_PATH, temp) != 0 ? temp : L"");
    report.log = ReadLog(folder, report.service.processId, RunsElevated());
    report.companions = FindCompanions();
    report.settings = ReadSettings();
    report.keyboardListError = ReadKeyboards(report.keyboards);
    return report;
}

std::wstring FormatStatus(const StatusReport& report)
{
    return FormatService(report.service) + L"\n" + FormatLog(report.log) + L"\n" + FormatCompanions(report.companions) +
           L"\n" + FormatSettings(report.settings) + L"\n" +
           FormatKeyboards(report.keyboardListError, report.keyboards);
}

std::wstring SystemErrorText(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    const win::UniqueLocalMemory owner(buffer);
    std::wstring text = length != 0 && buffer != nullptr ? std::wstring(buffer, length) : L"(no description)";
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
}

} // namespace fnkeyctl
