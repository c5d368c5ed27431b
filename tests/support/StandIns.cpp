#include "support/StandIns.h"

#include "win/Owners.h"

namespace testsupport {

// The value of "Key=" in a record's text; empty when the record lacks it.
static std::wstring Field(const std::wstring& text, const std::wstring& key)
{
    const size_t at = (L"\n" + text).find(L"\n" + key + L"=");
    const size_t start = at + key.size() + 1;
    return at == std::wstring::npos ? L"" : text.substr(start, text.find(L"\r\n", start) - start);
}

static DWORD Number(const std::wstring& text, const wchar_t* key)
{
    return wcstoul(Field(text, key).c_str(), nullptr, 10);
}

StandInFolder::StandInFolder(const std::wstring& name) : m_folder(L"standins_" + name)
{
    for (const wchar_t* standIn : {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"}) CopyAs(standIn, standIn);
}

StandInFolder::~StandInFolder()
{
    for (const StandInRecord& record : Records()) {
        const DWORD access = PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
        win::UniqueHandle process(::OpenProcess(access, FALSE, record.processId));
        wchar_t image[MAX_PATH] = {};
        DWORD size = MAX_PATH; // only a process whose image still is the recorded one: ids are reused
        if (process && ::QueryFullProcessImageNameW(process.get(), 0, image, &size) &&
            _wcsicmp(image, record.image.c_str()) == 0 && ::TerminateProcess(process.get(), 1)) {
            ::WaitForSingleObject(process.get(), 10000);
        }
    }
}

bool StandInFolder::CopyAs(const std::wstring& standIn, const std::wstring& newName) const
{
    const std::wstring packaged = ModuleFolder() + L"\\..\\package\\" + standIn;
    return ::CopyFileW(packaged.c_str(), Program(newName).c_str(), FALSE) != FALSE;
}

DWORD StandInFolder::Start(const std::wstring& fileName)
{
    std::wstring commandLine = L"\"" + Program(fileName) + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    win::UniqueProcessInformation info;
    const BOOL created = ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                          &startup, info.put());
    if (!created) return 0;
    if (WaitForRecord(info.get().dwProcessId)) return info.get().dwProcessId;
    ::TerminateProcess(info.get().hProcess, 1);
    return 0;
}

std::vector<StandInRecord> StandInFolder::Records() const { return StandInRecordsIn(m_folder.Path()); }

std::vector<StandInRecord> StandInRecordsIn(const std::wstring& folder, const std::wstring& fileName)
{
    std::vector<StandInRecord> records;
    WIN32_FIND_DATAW data;
    const std::wstring pattern = folder + L"\\records\\" + (fileName.empty() ? L"" : fileName + L".") + L"*.txt";
    win::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    for (bool more = bool(find); more; more = ::FindNextFileW(find.get(), &data)) {
        const std::wstring text = ReadUtf16File(folder + L"\\records\\" + data.cFileName);
        records.push_back({Number(text, L"ProcessId"), Number(text, L"SessionId"), Number(text, L"StartupFlags"),
                           Number(text, L"ShowWindow"), Field(text, L"Image"), Field(text, L"CommandLine")});
    }
    return records;
}

std::optional<StandInRecord> StandInFolder::WaitForRecord(DWORD processId) const
{
    std::optional<StandInRecord> found;
    WaitUntil([&] {
        for (const StandInRecord& record : Records()) {
            if (record.processId == processId) found = record;
        }
        return found.has_value();
    }, 10000);
    return found;
}

bool ProcessAlive(DWORD processId)
{
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

void FirmwareCallTail::Skip()
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const bool exists = ::GetFileAttributesExW(firmware::RecordFilePath().c_str(), GetFileExInfoStandard, &data);
    m_offset = exists ? (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
}

std::vector<firmware::CallRecord> FirmwareCallTail::Read()
{
    std::vector<firmware::CallRecord> records;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle file(::CreateFileW(firmware::RecordFilePath().c_str(), GENERIC_READ, share, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= m_offset) return records;
    LARGE_INTEGER at = {};
    at.QuadPart = m_offset;
    std::wstring text(size_t(size.QuadPart - m_offset) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), &text[0], DWORD(text.size() * sizeof(wchar_t)), &read, nullptr)) {
        return records;
    }
    text.resize(read / sizeof(wchar_t));
    const size_t end = text.rfind(L"\r\n");
    if (end == std::wstring::npos) return records;
    m_offset += LONGLONG((end + 2) * sizeof(wchar_t));
    size_t lineStart = text.compare(0, 1, L"\xFEFF") == 0 ? 1 : 0;
    while (lineStart < end) {
        const size_t lineEnd = text.find(L"\r\n", lineStart);
        std::vector<std::wstring> fields;
        for (size_t field = lineStart; field <= lineEnd;) {
            const size_t tab = std::min(text.find(L'\t', field), lineEnd);
            fields.push_back(text.substr(field, tab - field));
            field = tab + 1;
        }
        if (fields.size() == 6) {
            const DWORD processId = wcstoul(fields[1].c_str(), nullptr, 10);
            records.push_back({fields[0], processId, fields[2], fields[3], fields[4], fields[5]});
        }
        lineStart = lineEnd + 2;
    }
    return records;
}

static double Milliseconds(const FILETIME& time)
{
    return double((ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e4;
}

double LocalMilliseconds()
{
    FILETIME utc = {};
    FILETIME local = {};
    ::GetSystemTimePreciseAsFileTime(&utc);
    ::FileTimeToLocalFileTime(&utc, &local);
    return Milliseconds(local);
}

double StampMilliseconds(const std::wstring& stamp)
{
    SYSTEMTIME time = {};
    const int fields = swscanf(stamp.c_str(), L"%hu-%hu-%hu %hu:%hu:%hu.%hu", &time.wYear, &time.wMonth, &time.wDay,
                               &time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds);
    FILETIME local = {};
    if (fields != 7 || !::SystemTimeToFileTime(&time, &local)) return -1;
    return Milliseconds(local) + 0.5;
}

} // namespace testsupport
