#include "support/StandIns.h"

#include "support/TestSupport.h"
#include "win/Owners.h"

#include <cwchar>

namespace testsupport {

namespace {

// The value of "Key=" in a record's text; empty when the record lacks it.
std::wstring Field(const std::wstring& text, const std::wstring& key)
{
    const size_t at = (L"\n" + text).find(L"\n" + key + L"=");
    if (at == std::wstring::npos) return L"";
    const size_t start = at + key.size() + 1;
    return text.substr(start, text.find(L"\r\n", start) - start);
}

DWORD Number(const std::wstring& text, const wchar_t* key)
{
    return static_cast<DWORD>(wcstoul(Field(text, key).c_str(), nullptr, 10));
}

} // namespace

StandInFolder::StandInFolder(const std::wstring& name) : m_folder(L"standins_" + name)
{
    for (const wchar_t* standIn : {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"}) CopyAs(standIn, standIn);
}

StandInFolder::~StandInFolder()
{
    std::vector<win::UniqueHandle> processes;
    for (const StandInRecord& record : Records()) {
        win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                FALSE, record.processId));
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        // Only a process whose image still is the recorded one: ids are reused.
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            _wcsicmp(image, record.image.c_str()) == 0 && ::TerminateProcess(process.get(), 1)) {
            processes.push_back(std::move(process));
        }
    }
    for (const win::UniqueHandle& process : processes) ::WaitForSingleObject(process.get(), 10000);
}

bool StandInFolder::CopyAs(const std::wstring& standIn, const std::wstring& newName) const
{
    const std::wstring staged = ModuleFolder() + L"\\..\\package\\" + standIn;
    return ::CopyFileW(staged.c_str(), Program(newName).c_str(), FALSE) != FALSE;
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
    win::UniqueHandle process(info.hProcess), thread(info.hThread);
    if (WaitForRecord(info.dwProcessId)) return info.dwProcessId;
    ::TerminateProcess(process.get(), 1);
    return 0;
}

std::vector<StandInRecord> StandInFolder::Records(const std::wstring& fileName) const
{
    std::vector<StandInRecord> records;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(m_folder.File(L"records\\*.txt").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return records;
    do {
        const std::wstring text = ReadUtf16File(m_folder.File(L"records\\" + std::wstring(data.cFileName)));
        StandInRecord record{Number(text, L"ProcessId"), Number(text, L"SessionId"), Number(text, L"StartupFlags"),
                             Number(text, L"ShowWindow"), wcstoull(Field(text, L"StartTime").c_str(), nullptr, 10),
                             Field(text, L"Image"), Field(text, L"CommandLine")};
        const std::wstring image = record.image.substr(record.image.rfind(L'\\') + 1);
        if (fileName.empty() || _wcsicmp(image.c_str(), fileName.c_str()) == 0) records.push_back(record);
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return records;
}

std::optional<StandInRecord> StandInFolder::WaitForRecord(DWORD processId) const
{
    std::optional<StandInRecord> found;
    WaitUntil(
        [&] {
            for (const StandInRecord& record : Records()) {
                if (record.processId == processId) found = record;
            }
            return found.has_value();
        },
        10000);
    return found;
}

bool ProcessAlive(DWORD processId)
{
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

bool LogRecordMatches(const std::wstring& message, const std::wstring& pattern)
{
    static const std::wstring kLine = L"{line}";
    size_t m = 0;
    for (size_t p = 0; p < pattern.size();) {
        if (pattern.compare(p, kLine.size(), kLine) == 0) {
            const size_t digits = m;
            while (m < message.size() && iswdigit(message[m])) ++m;
            if (m == digits) return false;
            p += kLine.size();
        } else if (m >= message.size() || message[m++] != pattern[p++]) {
            return false;
        }
    }
    return m == message.size();
}

} // namespace testsupport
