#include "support/TestSupport.h"

#include "log/UtilityLog.h"
#include "win/Owners.h"

namespace testsupport {

std::string Narrow(const std::wstring& text)
{
    if (text.empty()) return {};
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                            nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], bytes,
                          nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string& text)
{
    if (text.empty()) return {};
    const int units = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], units);
    return out;
}

void SetLogSwitch(bool on)
{
    const wchar_t* key = L"Software\\Osmira\\OsmiraUtility\\log";
    if (on) {
        win::UniqueRegKey created;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_READ, nullptr, created.put(), nullptr);
    } else {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key);
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    }
}

void RemoveFolderTree(const std::wstring& path)
{
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolderTree(full);
            } else {
                ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(full.c_str());
            }
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(path.c_str());
}

ScratchFolder::ScratchFolder(const std::wstring& name)
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    m_path = std::wstring(temp) + L"fnkey_" + name + L"_" + std::to_wstring(::GetCurrentProcessId());
    RemoveFolderTree(m_path);
    ::CreateDirectoryW(m_path.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() { RemoveFolderTree(m_path); }

void LoggedTest::SetUp()
{
    SetLogSwitch(true);
    CUtilityLog::InitLogFilePathAt(m_logFolder.Path());
}

void LoggedTest::TearDown() { SetLogSwitch(false); }

std::wstring LoggedTest::LogPath() const { return m_logFolder.File(L"_FnHotkeySvcUtility.log"); }

std::vector<std::wstring> LoggedTest::Messages() const { return ReadLogMessages(LogPath()); }

void LoggedTest::ClearLog() const { ::DeleteFileW(LogPath().c_str()); }

RegistryTreeGuard::RegistryTreeGuard(std::wstring subKey) : m_subKey(std::move(subKey))
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_subKey.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_subKey.c_str());
}

RegistryTreeGuard::~RegistryTreeGuard()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_subKey.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_subKey.c_str());
}

std::vector<unsigned char> ReadFileBytes(const std::wstring& path)
{
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<unsigned char> bytes;
    if (!file) return bytes;
    LARGE_INTEGER size = {};
    ::GetFileSizeEx(file.get(), &size);
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty()) ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    bytes.resize(read);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes)
{
    win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty()) ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring ReadUtf16File(const std::wstring& path)
{
    const std::vector<unsigned char> bytes = ReadFileBytes(path);
    size_t start = (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) ? 2 : 0;
    std::wstring text;
    for (size_t i = start; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
}

std::vector<std::wstring> ReadLogMessages(const std::wstring& path)
{
    const std::wstring text = ReadUtf16File(path);
    std::vector<std::wstring> messages;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find(L"\r\n[", pos);
        std::wstring record = text.substr(pos, end == std::wstring::npos ? std::wstring::npos : end - pos);
        pos = end == std::wstring::npos ? text.size() : end + 2;
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
    failure << "no record " << (prefix ? "starting with" : "equal to") << " \"" << Narrow(text) << "\" among "
            << records.size() << ":";
    for (const std::wstring& record : records) failure << "\n  " << Narrow(record);
    return failure;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(intervalMs);
    }
}

ProcessResult RunAndCapture(const std::wstring& commandLine, DWORD timeoutMs)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    win::UniqueHandle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.put(), writeEnd.put(), &inherit, 0)) return result;
    ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd.get();
    startup.hStdError = writeEnd.get();
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION info = {};
    std::wstring mutableLine = commandLine;
    if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        return result;
    }
    win::UniqueHandle process(info.hProcess), thread(info.hThread);
    writeEnd.reset();

    char buffer[4096];
    DWORD read = 0;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr)) break;
        if (available > 0) {
            if (!::ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) || read == 0) break;
            result.output.append(buffer, read);
            continue;
        }
        if (::WaitForSingleObject(process.get(), 10) == WAIT_OBJECT_0) {
            // Drain what is left after the end of the process.
            while (::PeekNamedPipe(readEnd.get(), nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                   ::ReadFile(readEnd.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
                result.output.append(buffer, read);
            }
            break;
        }
        if (::GetTickCount64() >= deadline) {
            result.timedOut = true;
            ::TerminateProcess(process.get(), 1);
            break;
        }
    }
    ::WaitForSingleObject(process.get(), 5000);
    ::GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

std::wstring ModuleFolder()
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L'\\'));
}

TestService::TestService(std::wstring name, const std::wstring& commandLine) : m_name(std::move(name))
{
    m_manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (Open()) Remove();
    if (!commandLine.empty()) {
        m_service = ::CreateServiceW(m_manager, m_name.c_str(), m_name.c_str(), SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    }
}

TestService::~TestService()
{
    Remove();
    if (m_manager != nullptr) ::CloseServiceHandle(m_manager);
}

bool TestService::Open()
{
    if (m_service == nullptr) m_service = ::OpenServiceW(m_manager, m_name.c_str(), SERVICE_ALL_ACCESS);
    return m_service != nullptr;
}

void TestService::Remove()
{
    if (!Open()) return;
    const DWORD state = Status().dwCurrentState;
    if (state != SERVICE_STOPPED && state != 0) Stop();
    ::DeleteService(m_service);
    ::CloseServiceHandle(m_service);
    m_service = nullptr;
    WaitUntil([&] { return !Installed(); }, 10000);
}

bool TestService::Installed() const
{
    const SC_HANDLE service = ::OpenServiceW(m_manager, m_name.c_str(), SERVICE_QUERY_STATUS);
    if (service != nullptr) ::CloseServiceHandle(service);
    return service != nullptr;
}

bool TestService::Start(std::vector<const wchar_t*> arguments, DWORD state)
{
    if (!::StartServiceW(m_service, static_cast<DWORD>(arguments.size()), arguments.empty() ? nullptr : arguments.data())) {
        return false;
    }
    return state == 0 || WaitForState(state);
}

bool TestService::Stop(DWORD timeoutMs)
{
    Status();
    if (Control(SERVICE_CONTROL_STOP) != 0 || !WaitForState(SERVICE_STOPPED, timeoutMs)) return false;
    win::UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, m_processId));
    return !process || ::WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

DWORD TestService::Control(DWORD code)
{
    SERVICE_STATUS status = {};
    return ::ControlService(m_service, code, &status) ? 0 : ::GetLastError();
}

SERVICE_STATUS_PROCESS TestService::Status()
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ::QueryServiceStatusEx(m_service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status, &needed);
    if (status.dwProcessId != 0) m_processId = status.dwProcessId;
    return status;
}

bool TestService::WaitForState(DWORD state, DWORD timeoutMs)
{
    return WaitUntil([&] { return Status().dwCurrentState == state; }, timeoutMs);
}

} // namespace testsupport
