#include "support/TestSupport.h"
#include "log/UtilityLog.h"
#include <algorithm>
#include <atomic>
#include <chrono>

namespace testsupport {
std::string Narrow(const std::wstring& text)
{
    std::string out(text.size() * 4, '\0');
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], int(out.size()),
                                             nullptr, nullptr);
    return out.substr(0, length);
}
bool KeyExists(const std::wstring& subKey)
{
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}
std::optional<DWORD> ReadDword(HKEY root, const wchar_t* subKey, const wchar_t* name)
{
    DWORD data = 0;
    DWORD size = sizeof data;
    const LONG status = ::RegGetValueW(root, subKey, name, RRF_RT_REG_DWORD, nullptr, &data, &size);
    return status == ERROR_SUCCESS ? std::optional<DWORD>(data) : std::nullopt;
}
bool WriteDword(HKEY root, const std::wstring& subKey, const wchar_t* name, DWORD value)
{
    return ::RegSetKeyValueW(root, subKey.c_str(), name, REG_DWORD, &value, sizeof value) == ERROR_SUCCESS;
}
bool SetLogSwitch(bool on)
{
    const wchar_t* const logSwitch = L"Software\\Osmira\\OsmiraUtility\\log";
    const bool existed = KeyExists(logSwitch);
    RegistryTreeGuard::Delete(logSwitch);
    win::UniqueRegKey key;
    if (on) ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, logSwitch, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
    return existed;
}
void RegistryTreeGuard::Delete(const std::wstring& subKey)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, subKey.c_str());
}
ScratchFolder::ScratchFolder(const std::wstring& name, const std::wstring& parent)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring where = parent.empty() ? temp : parent + L"\\";
    m_path = where + L"fnkey_" + name + L"_" + std::to_wstring(::GetCurrentProcessId());
    RemoveFolderTree(m_path);
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}
void LoggedTest::SetUp()
{
    SetLogSwitch(true);
    CUtilityLog::InitLogFilePathAt(m_logFolder.Path());
}
void LoggedTest::TearDown()
{
    SetLogSwitch(false);
    CUtilityLog::InitLogFilePathAt(L""); // lets the held folder go, so that it leaves with the test
}
std::vector<unsigned char> ReadFileBytes(const std::wstring& path)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    std::vector<unsigned char> bytes(file && ::GetFileSizeEx(file.get(), &size) ? size_t(size.QuadPart) : 0);
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file.get(), bytes.data(), DWORD(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}
bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes)
{
    const win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty()) ::WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
    return file && written == bytes.size();
}
std::wstring ReadUtf16File(const std::wstring& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    const size_t skip = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE ? 2 : 0;
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + skip), (bytes.size() - skip) / 2);
}
// A record runs up to the next CR LF that a "[" follows: a message may hold line breaks of its own.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path)
{
    std::wstring text = ReadUtf16File(path);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, L"\r\n") == 0) text.resize(text.size() - 2);
    std::vector<std::wstring> messages;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(L"\r\n[", start), text.size());
        const size_t close = text.find(L"] ", start);
        const size_t message = close < end ? close + 2 : start;
        messages.push_back(text.substr(message, end - message));
        start = end + 2;
    }
    return messages;
}
size_t CountRecords(const std::vector<std::wstring>& records, const std::wstring& text, bool prefix)
{
    return std::count_if(records.begin(), records.end(), [&](const std::wstring& record) {
        return prefix ? record.compare(0, text.size(), text) == 0 : record == text;
    });
}
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs)
{
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;; ::Sleep(intervalMs)) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
    }
}
double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
std::wstring ModuleFolder()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, wcsrchr(path, L'\\'));
}
// Through a file: a process that the program leaves behind cannot hold it open as it would a pipe.
ProcessResult RunAndCapture(const std::wstring& commandLine, DWORD timeoutMs)
{
    static std::atomic<int> runs{0};
    const ScratchFolder folder(L"capture" + std::to_wstring(runs++));
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    win::UniqueHandle output(::CreateFileW(folder.File(L"out").c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    win::UniqueProcessInformation info;
    std::wstring line = commandLine;
    ProcessResult result;
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, info.put())) {
        return result;
    }
    output.reset();
    const HANDLE process = info.get().hProcess;
    if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) ::TerminateProcess(process, 1);
    ::WaitForSingleObject(process, 5000);
    ::GetExitCodeProcess(process, &result.exitCode);
    const std::vector<unsigned char> bytes = ReadFileBytes(folder.File(L"out"));
    result.output.assign(bytes.begin(), bytes.end());
    return result;
}
TestService::TestService(std::wstring name, const std::wstring& commandLine) : m_name(std::move(name))
{
    Remove();
    if (commandLine.empty()) return;
    win::UniqueServiceHandle(::CreateServiceW(m_manager.get(), m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                              SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                              commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
}
TestService::~TestService()
{
    if (m_removeAtEnd) Remove();
}
win::UniqueServiceHandle TestService::Open() const
{
    return win::UniqueServiceHandle(::OpenServiceW(m_manager.get(), m_name.c_str(), SERVICE_ALL_ACCESS));
}
bool TestService::WaitForState(DWORD state, DWORD timeoutMs) const
{
    return WaitUntil([&] { return Status().dwCurrentState == state; }, timeoutMs);
}
void TestService::Remove()
{
    if (!Installed()) return;
    if (Status().dwCurrentState != SERVICE_STOPPED) Stop();
    ::DeleteService(Open().get());
    WaitUntil([&] { return !Installed(); }, 10000);
}
bool TestService::Start(std::vector<const wchar_t*> arguments, DWORD waitForState)
{
    const wchar_t** argumentTexts = arguments.empty() ? nullptr : arguments.data();
    return ::StartServiceW(Open().get(), DWORD(arguments.size()), argumentTexts) &&
           (waitForState == 0 || WaitForState(waitForState));
}
bool TestService::EnsureRunning()
{
    return Status().dwCurrentState == SERVICE_RUNNING || Start();
}
bool TestService::Stop(DWORD timeoutMs)
{
    const win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, ProcessId()));
    if (Control(SERVICE_CONTROL_STOP) != 0 || !WaitForState(SERVICE_STOPPED, timeoutMs)) return false;
    return !process || ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}
DWORD TestService::Control(DWORD code)
{
    SERVICE_STATUS status = {};
    if (::ControlService(Open().get(), code, &status)) return 0;
    // Under Wine a service process that stops may end before the manager has read the stop's
    // answer, which it then reports as a broken pipe; the stop did happen, and every caller
    // goes on to check the state.
    const DWORD error = ::GetLastError();
    return code == SERVICE_CONTROL_STOP && error == ERROR_BROKEN_PIPE ? 0 : error;
}
SERVICE_STATUS_PROCESS TestService::Status() const
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ::QueryServiceStatusEx(Open().get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                           &needed);
    return status;
}
} // namespace testsupport
