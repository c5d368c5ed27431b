#include "support/TestSupport.h"
#include "log/UtilityLog.h"
#include <atomic>

namespace testsupport {
std::string Narrow(const std::wstring& text)
{
    std::string out(text.size() * 4, '\0');
    return out.substr(0, ::WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &out[0], int(out.size()), nullptr, nullptr));
}
std::wstring Widen(const std::string& text)
{
    std::wstring out(text.size(), L'\0');
    return out.substr(0, ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &out[0], int(out.size())));
}
void SetLogSwitch(bool on)
{
    win::UniqueRegKey key;
    RegistryTreeGuard::Delete(L"Software\\Osmira\\OsmiraUtility\\log");
    if (on) ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Osmira\\OsmiraUtility\\log", 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
}
ScratchFolder::ScratchFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    m_path = temp + (L"fnkey_" + name) + L"_" + std::to_wstring(::GetCurrentProcessId());
    RemoveFolderTree(m_path);
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}
void LoggedTest::SetUp() { SetLogSwitch(true), CUtilityLog::InitLogFilePathAt(m_logFolder.Path()); }
std::vector<unsigned char> ReadFileBytes(const std::wstring& path)
{
    const win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    std::vector<unsigned char> bytes(file && ::GetFileSizeEx(file.get(), &size) ? size_t(size.QuadPart) : 0);
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file.get(), bytes.data(), DWORD(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes)
{
    const win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty()) ::WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}
std::wstring ReadUtf16File(const std::wstring& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    const size_t skip = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE ? 2 : 0;
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + skip), (bytes.size() - skip) / 2);
}
std::vector<std::wstring> ReadLogMessages(const std::wstring& path)
{
    const std::wstring text = ReadUtf16File(path);
    std::vector<std::wstring> messages;
    for (size_t pos = 0, end = 0; pos < text.size(); pos = end == std::wstring::npos ? text.size() : end + 2) {
        end = text.find(L"\r\n[", pos);
        std::wstring record = text.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
        if (record.size() >= 2 && record.compare(record.size() - 2, 2, L"\r\n") == 0) record.resize(record.size() - 2);
        const size_t close = record.find(L"] ");
        messages.push_back(close == std::wstring::npos ? record : record.substr(close + 2));
    }
    return messages;
}
::testing::AssertionResult HasRecord(const std::vector<std::wstring>& records, const std::wstring& text, bool prefix)
{
    for (const std::wstring& record : records) {
        if (prefix ? record.compare(0, text.size(), text) == 0 : record == text) return ::testing::AssertionSuccess();
    }
    ::testing::AssertionResult failure = ::testing::AssertionFailure();
    failure << "no record " << (prefix ? "starting with" : "equal to") << " \"" << Narrow(text) << "\" among:";
    for (const std::wstring& record : records) failure << "\n  " << Narrow(record);
    return failure;
}
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs)
{
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;; ::Sleep(intervalMs)) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
    }
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
    win::UniqueHandle output(::CreateFileW(folder.File(L"out").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           &inherit, CREATE_ALWAYS, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = output.get();
    PROCESS_INFORMATION info = {};
    std::wstring line = commandLine;
    ProcessResult result;
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) return result;
    const win::UniqueHandle process(info.hProcess), thread(info.hThread);
    output.reset();
    if ((result.timedOut = ::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0)) ::TerminateProcess(process.get(), 1);
    ::WaitForSingleObject(process.get(), 5000);
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    const std::vector<unsigned char> bytes = ReadFileBytes(folder.File(L"out"));
    result.output.assign(bytes.begin(), bytes.end());
    return result;
}
TestService::TestService(std::wstring name, const std::wstring& commandLine)
    : m_name(std::move(name)), m_manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS))
{
    Remove();
    if (commandLine.empty()) return;
    win::UniqueServiceHandle(::CreateServiceW(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, commandLine.c_str(), nullptr, nullptr,
                                              nullptr, nullptr, nullptr));
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
    return ::StartServiceW(Open().get(), DWORD(arguments.size()), arguments.empty() ? nullptr : arguments.data()) &&
           (waitForState == 0 || WaitForState(waitForState));
}
bool TestService::Stop(DWORD timeoutMs)
{
    Status();
    if (Control(SERVICE_CONTROL_STOP) != 0 || !WaitForState(SERVICE_STOPPED, timeoutMs)) return false;
    const win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, m_processId));
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
SERVICE_STATUS_PROCESS TestService::Status()
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ::QueryServiceStatusEx(Open().get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    m_processId = status.dwProcessId != 0 ? status.dwProcessId : m_processId;
    return status;
}
} // namespace testsupport
