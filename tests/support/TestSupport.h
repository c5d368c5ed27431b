// Helpers that every test needs: the log switch and log files, scratch folders and registry
// trees, polls with a deadline, programs run for their output, and services of the prefix.
#pragma once

#include "win/Owners.h"
#include <gtest/gtest.h>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {
std::string Narrow(const std::wstring& text); std::wstring Widen(const std::string& text); // UTF-8
void SetLogSwitch(bool on); // creates or deletes HKLM\Software\Osmira\OsmiraUtility\log
inline void RemoveFolderTree(const std::wstring& path) { std::error_code ignored; std::filesystem::remove_all(path, ignored); }
inline bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
std::wstring ReadUtf16File(const std::wstring& path); // the text after the byte-order mark
// The records of a UTF-16LE log, each without its "[version time] " and closing CR LF.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);
// Whether a record equals the text (with prefix: starts with it); a failure lists them all.
::testing::AssertionResult HasRecord(const std::vector<std::wstring>& records, const std::wstring& text, bool prefix = false);
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs = 20);
std::wstring ModuleFolder(); // of the running test program
struct ProcessResult { DWORD exitCode = 0xFFFFFFFF; std::string output; bool timedOut = false; }; // output: stdout and stderr
ProcessResult RunAndCapture(const std::wstring& commandLine, DWORD timeoutMs = 60000);
class ScratchFolder { // under the prefix's temporary folder, removed with everything in it
public:
    explicit ScratchFolder(const std::wstring& name);
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
    static void Delete(const std::wstring& subKey) { ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str()), ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, subKey.c_str()); }
private:
    std::wstring m_subKey;
};
class LoggedTest : public ::testing::Test { // its log goes to a scratch folder; logging on while it runs
protected:
    explicit LoggedTest(const std::wstring& folderName = L"log") : m_logFolder(folderName) {}
    void SetUp() override;
    void TearDown() override { SetLogSwitch(false); }
    std::wstring LogPath() const { return m_logFolder.File(L"_FnHotkeySvcUtility.log"); }
    std::vector<std::wstring> Messages() const { return ReadLogMessages(LogPath()); }
    void ClearLog() const { ::DeleteFileW(LogPath().c_str()); }
    ScratchFolder m_logFolder;
};
// A service of the prefix, registered from the command line (when empty: installed by the test
// another way). An old one of the name goes first; the end stops it, waits for its process and
// deletes it. No handle to it stays open between calls.
class TestService {
public:
    TestService(std::wstring name, const std::wstring& commandLine);
    ~TestService() { Remove(), ::CloseServiceHandle(m_manager); }
    TestService(const TestService&) = delete;
    void Remove();
    bool Installed() const { return bool(Open()); }
    bool Start(std::vector<const wchar_t*> arguments = {}, DWORD waitForState = SERVICE_RUNNING); // 0: no wait
    bool Stop(DWORD timeoutMs = 30000); // the stop control, then STOPPED and the end of the process
    DWORD Control(DWORD code);          // 0 when the manager took the code, else its error
    SERVICE_STATUS_PROCESS Status();
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000) { return WaitUntil([&] { return Status().dwCurrentState == state; }, timeoutMs); }
private:
    win::UniqueServiceHandle Open() const { return win::UniqueServiceHandle(::OpenServiceW(m_manager, m_name.c_str(), SERVICE_ALL_ACCESS)); }
    std::wstring m_name;
    SC_HANDLE m_manager; DWORD m_processId = 0;
};
} // namespace testsupport
