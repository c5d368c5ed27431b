// The companion stand-ins in a scratch folder: copies under any name, processes started from
// there, the records they leave (tools/companions/StandInRecord.h), and the end of them all.
#pragma once

#include "support/TestSupport.h"

#include <optional>

namespace testsupport {

struct StandInRecord {
    DWORD processId = 0, sessionId = 0, startupFlags = 0, showWindow = 0;
    std::wstring image, commandLine;
};

class StandInFolder {
public:
    // A fresh folder holding copies of FnKeyAgent.exe, FnKeyLockOsd.exe and keyapp.exe.
    explicit StandInFolder(const std::wstring& name);
    // Ends every process that recorded itself here, whoever started it.
    ~StandInFolder();

    std::wstring Program(const std::wstring& fileName) const { return m_folder.File(fileName); }
    bool CopyAs(const std::wstring& standIn, const std::wstring& newName) const;
    // Starts "<quoted path><arguments>" and waits for its record: its id, or 0.
    DWORD Start(const std::wstring& fileName, const std::wstring& arguments = L"");
    // The records of programs with this file name (any letter case); all of them for "".
    std::vector<StandInRecord> Records(const std::wstring& fileName = L"") const;
    std::optional<StandInRecord> WaitForRecord(DWORD processId) const;

private:
    ScratchFolder m_folder;
};

bool ProcessAlive(DWORD processId);

// Whether a log message equals the pattern, each "{line}" of which stands for decimal digits.
bool LogRecordMatches(const std::wstring& message, const std::wstring& pattern);

} // namespace testsupport
