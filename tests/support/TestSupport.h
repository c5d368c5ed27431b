// Helpers that every test needs: the log switch, reading log files, scratch folders and
// registry keys, polls with a deadline, and running a program to capture its output.
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

// A folder under the prefix's temporary folder, removed with everything in it.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::wstring& name);
    ~ScratchFolder();
    const std::wstring& Path() const { return m_path; }
    std::wstring File(const std::wstring& name) const { return m_path + L"\\" + name; }

private:
    std::wstring m_path;
};

// Deletes a folder with everything in it.
void RemoveFolderTree(const std::wstring& path);

// Removes a registry tree under HKLM now and again when the guard ends.
class RegistryTreeGuard {
public:
    explicit RegistryTreeGuard(std::wstring subKey);
    ~RegistryTreeGuard();

private:
    std::wstring m_subKey;
};

std::vector<unsigned char> ReadFileBytes(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const std::vector<unsigned char>& bytes);
bool FileExists(const std::wstring& path);

// The records of a UTF-16LE log file, each without its "[version time] " prefix and without
// the CR LF that ends it. A missing file has no records.
std::vector<std::wstring> ReadLogMessages(const std::wstring& path);
// Whether one of the records equals the text (or, with prefix, starts with it); when none
// does, the failure lists every record.
::testing::AssertionResult HasRecord(const std::vector<std::wstring>& records, const std::wstring& text,
                                     bool prefix = false);
// The whole text of a UTF-16LE file after its byte-order mark.
std::wstring ReadUtf16File(const std::wstring& path);

// A test whose log records land in a scratch folder of its own, with logging switched on
// for its duration.
class LoggedTest : public ::testing::Test {
protected:
    explicit LoggedTest(const std::wstring& folderName = L"log") : m_logFolder(folderName) {}
    void SetUp() override;
    void TearDown() override;

    std::wstring LogPath() const;
    std::vector<std::wstring> Messages() const;
    void ClearLog() const;

    ScratchFolder m_logFolder;
};

// Polls until the condition holds or the deadline passes; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs, DWORD intervalMs = 20);

struct ProcessResult {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output; // standard output as bytes
    bool timedOut = false;
};
// Runs a command line, captures its standard output and waits for its end.
ProcessResult RunAndCapture(const std::wstring& commandLine, DWORD timeoutMs = 60000);

// The folder of the running test program.
std::wstring ModuleFolder();

// A service of the prefix for the duration of a test: any old service of the name goes first;
// the end stops it, waits for its process to end and deletes it. With an empty command line
// nothing is registered: the test installs the service another way and calls Open.
class TestService {
public:
    TestService(std::wstring name, const std::wstring& commandLine);
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;
    bool Open();
    void Remove();
    bool Installed() const;
    // StartServiceW with the arguments, then waits for the state (0: no wait).
    bool Start(std::vector<const wchar_t*> arguments = {}, DWORD state = SERVICE_RUNNING);
    // The stop control, then waits for STOPPED and for the service's process to end.
    bool Stop(DWORD timeoutMs = 30000);
    // ControlService: 0 when the manager took the code, else its error.
    DWORD Control(DWORD code);
    SERVICE_STATUS_PROCESS Status();
    bool WaitForState(DWORD state, DWORD timeoutMs = 30000);
    SC_HANDLE Handle() const { return m_service; }

private:
    std::wstring m_name;
    SC_HANDLE m_manager = nullptr, m_service = nullptr;
    DWORD m_processId = 0;
};

} // namespace testsupport
