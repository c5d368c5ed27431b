#include "support/StandIns.h"

#include "win/Owners.h"

#include <algorithm>

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
static const wchar_t* const kStandIns[] = {L"FnKeyAgent.exe", L"FnKeyLockOsd.exe", L"keyapp.exe"};
StandInFolder::StandInFolder(const std::wstring& name, const std::wstring& parent)
{
    if (!name.empty()) m_scratch.emplace(L"standins_" + name, parent);
    m_path = m_scratch ? m_scratch->Path() : ModuleFolder();
    for (const wchar_t* standIn : kStandIns) CopyAs(standIn, standIn);
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
    if (m_scratch) return;
    for (const wchar_t* standIn : kStandIns) ::DeleteFileW(Program(standIn).c_str());
    RemoveFolderTree(m_path + L"\\records");
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
    const DWORD id = info.get().dwProcessId;
    const auto recorded = [&] {
        const std::vector<StandInRecord> records = Records();
        return std::any_of(records.begin(), records.end(), [&](const StandInRecord& r) { return r.processId == id; });
    };
    if (WaitUntil(recorded, 10000)) return id;
    ::TerminateProcess(info.get().hProcess, 1);
    return 0;
}
std::vector<StandInRecord> StandInFolder::Records() const { return StandInRecordsIn(m_path); }
std::vector<StandInRecord> StandInRecordsIn(const std::wstring& folder, const std::wstring& fileName)
{
    std::vector<StandInRecord> records;
    WIN32_FIND_DATAW data;
    const std::wstring pattern = folder + L"\\records\\" + (fileName.empty() ? L"" : fileName + L".") + L"*.txt";
    win::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    for (bool more = bool(find); more; more = ::FindNextFileW(find.get(), &data)) {
        const std::wstring text = ReadUtf16File(folder + L"\\records\\" + data.cFileName);
        records.push_back({Number(text, L"ProcessId"), Number(text, L"SessionId"), Number(text, L"StartupFlags"),
                           Number(text, L"ShowWindow"), Field(text, L"Image"), Field(text, L"CommandLine"),
                           wcstoull(Field(text, L"StartTime").c_str(), nullptr, 10),
                           Field(text, L"LoaderVariables")});
    }
    return records;
}
bool ProcessAlive(DWORD processId)
{
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    return process && ::WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}
} // namespace testsupport
