// Helpers that every test needs: the log switch and log files, scratch folders and registry
// trees, polls with a deadline, programs run for their output, and services of the prefix.
#pragma once

#include "win/Owners.h"
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
void SetLogSwitch(bool on); // creates or deletes HKLM\Software\Osmira\OsmiraUtility\log
void RemoveFolderTree(const std::wstring& path);
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool FileExists(const std::wstring& path);
std::wstring ReadUtf16File(const std::wstring& path); // the text after the byte-order mark
// The records of a UTF-16LE log, each without its "[version time] " and closing CR LF.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);
// Whether a record equals the text (with prefix: starts with it); a failure lists them all.
::testing::AssertionResult HasRecord(const std::vector<std::wstring>& records, const std::wstring& text, bool prefix = false);
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs = 20);
std::wstring ModuleFolder(); // of the running test program

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // standard output and error, as bytes
    bool timedOut = false;
};
ProcessResult RunAndCapture(const std::wstring& commandLine, DWORD timeoutMs = 60000);
// A folder under the prefix's temporary folder, removed with everything in it.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder() { RemoveFolderTree(m_path); }
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }
private:
    std::wstring m_path;
};
// Removes a registry tree under HKLM now and again when the guard ends.
class RegistryTreeGuard {
public:
    explicit RegistryTreeGuard(std::wstring subKey);
    ~RegistryTreeGuard();
private:
    std::wstring m_subKey;
};
// A test whose log records land in a scratch folder of its own, logging on while it runs.
class LoggedTest : public ::testing::Test {
protected:
    explicit LoggedTest(const std::wstring& folderName = L"log") : m_logFolder(folderName) {}
    void SetUp() override;
    void TearDown() override { SetLogSwitch(false); }
    std::wstring LogPath() const { return m_logFolder.File(L"_FnHotkeySvcUtility.log"); }
    std::vector<std::wstring> Messages() const { return ReadLogMessages(LogPath()); }
    void ClearLog() const { ::DeleteFileW(LogPath().c_str()); }
    ScratchFolder m_logFolder;
};
// A service of the prefix while the object lives, registered from the command line (or, when
// it is empty, installed by the test another way): an old one of the name goes first, the end
// stops it, waits for its process and deletes it. No handle to it stays open between calls.
class TestService {
public:
    TestService(std::wstring name, const std::wstring& commandLine);
    ~TestService();
    TestService(const TestService&) = delete;
    void Remove();
    bool Installed() const;
    bool Start(std::vector<const wchar_t*> arguments = {}, DWORD waitForState = SERVICE_RUNNING); // 0: no wait
    bool Stop(DWORD timeoutMs = 30000); // the stop control, then STOPPED and the end of the process
    DWORD Control(DWORD code);          // 0 when the manager took the code, else its error
    SERVICE_STATUS_PROCESS Status();
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000);
private:
    win::UniqueServiceHandle Open() const;
    std::wstring m_name;
    SC_HANDLE m_manager;
    DWORD m_processId = 0;
};

} // namespace testsupport
