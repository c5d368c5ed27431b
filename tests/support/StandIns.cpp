#include "support/StandIns.h"

#include "support/TestSupport.h"
#include "win/Owners.h"

#include <cwchar>

namespace testsupport {

namespace {

const wchar_t* const kStandIns[] = {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"};

std::wstring FullPath(const std::wstring& path)
{
    wchar_t full[MAX_PATH] = {};
    const DWORD length = ::GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full) : path;
}

unsigned long long ParseNumber(const std::wstring& text)
{
    unsigned long long value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') break;
        value = value * 10 + static_cast<unsigned>(c - L'0');
    }
    return value;
}

} // namespace

std::optional<StandInRecord> ReadStandInRecord(const std::wstring& path)
{
    if (!FileExists(path)) return std::nullopt;
    const std::wstring text = ReadUtf16File(path);
    StandInRecord record;
    bool sawId = false;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L"\r\n", pos);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(pos, end - pos);
        pos = end + 2;
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) continue;
        const std::wstring key = line.substr(0, equals);
        const std::wstring value = line.substr(equals + 1);
        if (key == L"ProcessId") {
            record.processId = static_cast<DWORD>(ParseNumber(value));
            sawId = true;
        } else if (key == L"Image") {
            record.image = value;
        } else if (key == L"CommandLine") {
            record.commandLine = value;
        } else if (key == L"SessionId") {
            record.sessionId = static_cast<DWORD>(ParseNumber(value));
        } else if (key == L"StartTime") {
            record.startTime = ParseNumber(value);
        } else if (key == L"StartupFlags") {
            record.startupFlags = static_cast<DWORD>(ParseNumber(value));
        } else if (key == L"ShowWindow") {
            record.showWindow = static_cast<DWORD>(ParseNumber(value));
        } else if (key == L"ActionSwitch") {
            record.actionSwitch = value == L"1";
        }
    }
    if (!sawId) return std::nullopt;
    return record;
}

std::wstring StagedStandIn(const std::wstring& fileName)
{
    return FullPath(ModuleFolder() + L"\\..\\package\\" + fileName);
}

bool ProcessAlive(DWORD processId)
{
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

StandInFolder::StandInFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    wchar_t suffix[32] = {};
    _snwprintf(suffix, 31, L"_%lu", ::GetCurrentProcessId());
    m_path = std::wstring(temp) + L"fnkey_standins_" + name + suffix;
    RemoveFolderTree(m_path);
    ::CreateDirectoryW(m_path.c_str(), nullptr);
    for (const wchar_t* standIn : kStandIns) {
        ::CopyFileW(StagedStandIn(standIn).c_str(), Program(standIn).c_str(), FALSE);
    }
}

StandInFolder::~StandInFolder()
{
    TerminateAll();
    RemoveFolderTree(m_path);
}

bool StandInFolder::CopyAs(const std::wstring& standIn, const std::wstring& newName) const
{
    return ::CopyFileW(StagedStandIn(standIn).c_str(), Program(newName).c_str(), FALSE) != FALSE;
}

DWORD StandInFolder::Start(const std::wstring& fileName, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + Program(fileName) + L"\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!::CreateProcessW(Program(fileName).c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return 0;
    }
    ::CloseHandle(info.hThread);
    m_started.push_back(info.hProcess);
    const DWORD processId = info.dwProcessId;
    const bool recorded = WaitUntil(
        [&] {
            for (const StandInRecord& record : Records(fileName)) {
                if (record.processId == processId) return true;
            }
            return false;
        },
        10000);
    return recorded ? processId : 0;
}

std::vector<StandInRecord> StandInFolder::Records(const std::wstring& fileName) const
{
    std::vector<StandInRecord> records;
    const std::wstring folder = m_path + L"\\records";
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*.txt").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return records;
    do {
        const std::wstring name = data.cFileName;
        // "<file name>.<pid>.txt"
        const size_t lastDot = name.rfind(L'.');
        const size_t pidDot = lastDot == std::wstring::npos || lastDot == 0 ? std::wstring::npos
                                                                             : name.rfind(L'.', lastDot - 1);
        if (pidDot == std::wstring::npos || _wcsicmp(name.substr(0, pidDot).c_str(), fileName.c_str()) != 0) continue;
        if (std::optional<StandInRecord> record = ReadStandInRecord(folder + L"\\" + name)) {
            records.push_back(*record);
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return records;
}

std::optional<StandInRecord> StandInFolder::WaitForRecord(const std::wstring& fileName, DWORD timeoutMs,
                                                          bool (*accept)(const StandInRecord&)) const
{
    std::optional<StandInRecord> found;
    WaitUntil(
        [&] {
            for (const StandInRecord& record : Records(fileName)) {
                if (accept == nullptr || accept(record)) {
                    found = record;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

void StandInFolder::TerminateAll()
{
    std::vector<HANDLE> processes;
    processes.swap(m_started);
    // Whatever recorded itself from this folder, whoever started it.
    const std::wstring folder = m_path + L"\\records";
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*.txt").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::optional<StandInRecord> record = ReadStandInRecord(folder + L"\\" + data.cFileName);
            if (!record) continue;
            HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                           record->processId);
            if (process == nullptr) continue;
            // Only a process whose image still is the recorded one: ids are reused.
            wchar_t image[MAX_PATH] = {};
            DWORD size = MAX_PATH;
            if (::QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, record->image.c_str()) == 0) {
                processes.push_back(process);
            } else {
                ::CloseHandle(process);
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    for (HANDLE process : processes) ::TerminateProcess(process, 1);
    for (HANDLE process : processes) {
        ::WaitForSingleObject(process, 10000);
        ::CloseHandle(process);
    }
}

bool LogRecordMatches(const std::wstring& message, const std::wstring& pattern)
{
    static const std::wstring kLine = L"{line}";
    size_t m = 0, p = 0;
    while (p < pattern.size()) {
        if (pattern.compare(p, kLine.size(), kLine) == 0) {
            const size_t digits = m;
            while (m < message.size() && message[m] >= L'0' && message[m] <= L'9') ++m;
            if (m == digits) return false;
            p += kLine.size();
            continue;
        }
        if (m >= message.size() || message[m] != pattern[p]) return false;
        ++m;
        ++p;
    }
    return m == message.size();
}

std::vector<std::wstring> MatchingRecords(const std::vector<std::wstring>& messages, const std::wstring& pattern)
{
    std::vector<std::wstring> matching;
    for (const std::wstring& message : messages) {
        if (LogRecordMatches(message, pattern)) matching.push_back(message);
    }
    return matching;
}

} // namespace testsupport
