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

} // namespace testsupport
