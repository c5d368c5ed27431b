#include "support/StandIns.h"

#include "win/Owners.h"

namespace testsupport {

namespace {

// The value of "Key=" in a record's text; empty when the record lacks it.
std::wstring Field(const std::wstring& text, const std::wstring& key)
{
    const size_t at = (L"\n" + text).find(L"\n" + key + L"=");
    const size_t start = at + key.size() + 1;
    return at == std::wstring::npos ? L"" : text.substr(start, text.find(L"\r\n", start) - start);
}

DWORD Number(const std::wstring& text, const wchar_t* key) { return wcstoul(Field(text, key).c_str(), nullptr, 10); }

} // namespace

StandInFolder::StandInFolder(const std::wstring& name) : m_folder(L"standins_" + name)
{
    for (const wchar_t* standIn : {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"}) CopyAs(standIn, standIn);
}

StandInFolder::~StandInFolder()
{
    for (const StandInRecord& record : Records()) {
        win::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                                                FALSE, record.processId));
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH;
        // Only a process whose image still is the recorded one: ids are reused.
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            _wcsicmp(image, record.image.c_str()) == 0 && ::TerminateProcess(process.get(), 1)) {
            ::WaitForSingleObject(process.get(), 10000);
        }
    }
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
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = ::FindNextFileW(find, &data)) {
        const std::wstring text = ReadUtf16File(m_folder.File(L"records\\" + std::wstring(data.cFileName)));
        const StandInRecord record{Number(text, L"ProcessId"), Number(text, L"SessionId"),
                                   Number(text, L"StartupFlags"), Number(text, L"ShowWindow"), Field(text, L"Image"),
                                   Field(text, L"CommandLine")};
        const std::wstring image = record.image.substr(record.image.rfind(L'\\') + 1);
        if (fileName.empty() || _wcsicmp(image.c_str(), fileName.c_str()) == 0) records.push_back(record);
    }
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);
    return records;
}

std::optional<StandInRecord> StandInFolder::WaitForRecord(DWORD processId) const
{
    std::optional<StandInRecord> found;
    WaitUntil([&] {
        for (const StandInRecord& record : Records()) found = record.processId == processId ? record : found;
        return found.has_value();
    }, 10000);
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
