// The verification kit of the unit tests, end-to-end tests, soak programs and benchmarks.
#pragma once

#include "win/Owners.h"
#include <gtest/gtest.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {
std::string Narrow(const std::wstring& text); // UTF-8
bool KeyExists(const std::wstring& subKey); // under HKLM
std::optional<DWORD> ReadDword(HKEY root, const wchar_t* subKey, const wchar_t* name); // none: missing or no REG_DWORD
bool WriteDword(HKEY root, const std::wstring& subKey, const wchar_t* name, DWORD value); // the key made when missing
// Creates or deletes HKLM\Software\Osmira\OsmiraUtility\log; whether it existed before.
bool SetLogSwitch(bool on);
constexpr const wchar_t* kServiceLog = L"C:\\Windows\\Temp\\_OsmiraUtility_\\_FnHotkeySvcUtility.log";
inline void RemoveFolderTree(const std::wstring& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
inline bool FileExists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
// False when the file cannot be made or not every byte was written.
bool WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
std::wstring ReadUtf16File(const std::wstring& path); // without the byte-order mark
// The records of a UTF-16LE log, each without its "[version time] " and closing CR LF.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);
// How many records equal the text (with prefix: start with it).
size_t CountRecords(const std::vector<std::wstring>& records, const std::wstring& text, bool prefix = false);
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs = 20);
double Now(); // seconds on a steady clock, for durations
std::wstring ModuleFolder(); // of the running program
struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // stdout and stderr
};
ProcessResult RunAndCapture(const std::wstring& commandLine, DWORD timeoutMs = 60000);
class ScratchFolder { // under the prefix's temporary folder (or the parent), removed with everything in it
public:
    explicit ScratchFolder(const std::wstring& name, const std::wstring& parent = L"");
    ~ScratchFolder() { RemoveFolderTree(m_path); }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }
private:
    std::wstring m_path;
};
class RegistryTreeGuard { // removes a tree under HKLM now and again at its end
public:
    explicit RegistryTreeGuard(std::wstring subKey) : m_subKey(std::move(subKey)) { Delete(m_subKey); }
    ~RegistryTreeGuard() { Delete(m_subKey); }
    static void Delete(const std::wstring& subKey);
private:
    std::wstring m_subKey;
};
class LoggedTest : public ::testing::Test { // its log goes to a scratch folder; logging on while it runs
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring LogPath() const { return m_logFolder.File(L"_FnHotkeySvcUtility.log"); }
    std::vector<std::wstring> Messages() const { return ReadLogMessages(LogPath()); }
    void ClearLog() const { ::DeleteFileW(LogPath().c_str()); }
    ScratchFolder m_logFolder{L"log"};
};
// A service of the prefix. Registered from the command line (when empty: installed by the test another
// way), an old one of the name going first, and at the end stopped, waited for and deleted; or, with the
// name alone, the service installed already, left installed at the end. No handle to it stays open
// between calls: Open gives one for a timed loop.
class TestService {
public:
    TestService(std::wstring name, const std::wstring& commandLine);
    explicit TestService(std::wstring name) : m_name(std::move(name)), m_removeAtEnd(false) {}
    ~TestService();
    TestService(const TestService&) = delete;
    bool Installed() const { return bool(Open()); }
    win::UniqueServiceHandle Open() const;
    bool Start(std::vector<const wchar_t*> arguments = {}, DWORD waitForState = SERVICE_RUNNING); // 0: no wait
    bool EnsureRunning(); // started unless it runs already; true once RUNNING
    bool Stop(DWORD timeoutMs = 30000); // the stop control, then STOPPED and the end of the process
    DWORD Control(DWORD code);          // 0 when the manager took the code, else its error
    SERVICE_STATUS_PROCESS Status() const;
    DWORD ProcessId() const { return Status().dwProcessId; }
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000) const;
private:
    void Remove();
    std::wstring m_name;
    win::UniqueServiceHandle m_manager{::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    bool m_removeAtEnd = true;
};
} // namespace testsupport
