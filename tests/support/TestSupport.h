// Helpers that every test needs: the log switch and log files, scratch folders and registry
// trees, polls with a deadline, programs run for their output, and services of the prefix.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);
// Creates (or deletes) HKLM\Software\Osmira\OsmiraUtility\log, the log's switch key.
void SetLogSwitch(bool on);
void RemoveFolderTree(const std::wstring& path);
std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool FileExists(const std::wstring& path);
// The whole text of a UTF-16LE file after its byte-order mark.
std::wstring ReadUtf16File(const std::wstring& path);
// The records of a UTF-16LE log file, each without its "[version time] " prefix and its
// closing CR LF. A missing file has no records.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);
// Whether a record equals the text (with prefix: starts with it); a failure lists them all.
::testing::AssertionResult HasRecord(const std::vector<std::wstring>& records, const std::wstring& text,
                                     bool prefix = false);
// Polls until the condition holds or the deadline passes; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs = 20);
// The folder of the running test program.
std::wstring ModuleFolder();

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

// A service of the prefix while the object lives: an old one of the name goes first, the end
// stops it (waiting for its process) and deletes it. An empty command line registers nothing:
// the test has it installed another way and calls Open.
class TestService {
public:
    TestService(std::wstring name, const std::wstring& commandLine);
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;

    bool Open();
    void Remove();
    bool Installed() const;
    // StartServiceW, then waits for the state (0: no wait).
    bool Start(std::vector<const wchar_t*> arguments = {}, DWORD state = SERVICE_RUNNING);
    // The stop control, then waits for STOPPED and for the end of the service's process.
    bool Stop(DWORD timeoutMs = 30000);
    DWORD Control(DWORD code); // 0 when the manager took the code, else its error
    SERVICE_STATUS_PROCESS Status();
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000);

private:
    std::wstring m_name;
    SC_HANDLE m_manager = nullptr, m_service = nullptr;
    DWORD m_processId = 0;
};

} // namespace testsupport
