// The companion stand-ins in a scratch folder: copies under any name, processes started from
// there, the records they leave, and the end of every one of them when the folder goes.
#pragma once

#include <windows.h>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// One record file of a stand-in (see tools/companions/StandInRecord.h).
struct StandInRecord {
    DWORD processId = 0;
    std::wstring image;
    std::wstring commandLine;
    DWORD sessionId = 0xFFFFFFFF;
    uint64_t startTime = 0;
    DWORD startupFlags = 0;
    DWORD showWindow = 0;
    bool actionSwitch = false;
};

std::optional<StandInRecord> ReadStandInRecord(const std::wstring& path);

// Where the build staged the stand-ins (the package folder beside the tests' folder).
std::wstring StagedStandIn(const std::wstring& fileName);

class StandInFolder {
public:
    // A fresh scratch folder holding copies of FnKeyAgent.exe, FnKeyLockOsd.exe and keyapp.exe.
    explicit StandInFolder(const std::wstring& name);
    // Terminates every process started here, by the test or by anyone else (as their records
    // tell), waits for their end, then removes the folder.
    ~StandInFolder();
    StandInFolder(const StandInFolder&) = delete;
    StandInFolder& operator=(const StandInFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring Program(const std::wstring& fileName) const { return m_path + L"\\" + fileName; }

    // Copies the stand-in `standIn` (one of the three) under another file name in this folder.
    bool CopyAs(const std::wstring& standIn, const std::wstring& newName) const;

    // Starts a program of this folder with CreateProcessW ("<quoted path><arguments>") and waits
    // until it has written its record. The process id, or 0 when it did not start or record.
    DWORD Start(const std::wstring& fileName, const std::wstring& arguments = L"");

    // Every record written so far by programs with this file name.
    std::vector<StandInRecord> Records(const std::wstring& fileName) const;
    // Polls until a program with this file name has written a record that `accept` takes.
    std::optional<StandInRecord> WaitForRecord(const std::wstring& fileName, DWORD timeoutMs,
                                               bool (*accept)(const StandInRecord&) = nullptr) const;

    // Ends every process that recorded itself here or that Start began; waits for each.
    void TerminateAll();

private:
    std::wstring m_path;
    std::vector<HANDLE> m_started;
};

// Whether a process with this id still runs.
bool ProcessAlive(DWORD processId);

// Whether a log message equals the pattern, where each "{line}" in the pattern stands for the
// decimal source line number that the program put there.
bool LogRecordMatches(const std::wstring& message, const std::wstring& pattern);
// The messages of the log that match the pattern.
std::vector<std::wstring> MatchingRecords(const std::vector<std::wstring>& messages, const std::wstring& pattern);

} // namespace testsupport
