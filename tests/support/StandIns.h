// The companion stand-ins in a scratch folder: copies under any name, processes started from there, the
// records they leave (tools/companions/StandInRecord.h), and the end of them all.
#pragma once

#include "support/TestSupport.h"

#include <optional>

namespace testsupport {
struct StandInRecord {
    DWORD processId = 0, sessionId = 0, startupFlags = 0, showWindow = 0;
    std::wstring image, commandLine;
    ULONGLONG startTime = 0; // FILETIME
    std::wstring loaderVariables; // "NAME=value|" each

};
// A fresh folder (in the temporary folder or the parent) with copies of FnKeyAgent.exe, FnKeyLockOsd.exe and
// keyapp.exe; its end ends every process that recorded itself there, whoever started it.
class StandInFolder {
public:
    explicit StandInFolder(const std::wstring& name, const std::wstring& parent = L"");
    ~StandInFolder();
    const std::wstring& Path() const { return m_folder.Path(); }
    std::wstring Program(const std::wstring& fileName) const { return m_folder.File(fileName); }
    bool CopyAs(const std::wstring& standIn, const std::wstring& newName) const;
    DWORD Start(const std::wstring& fileName); // waits for its record: its id, or 0
    std::vector<StandInRecord> Records() const;
    std::optional<StandInRecord> WaitForRecord(DWORD processId) const;
private:
    ScratchFolder m_folder;
};
// The records that stand-ins in the folder left, of one file name or (for "") of all.
std::vector<StandInRecord> StandInRecordsIn(const std::wstring& folder, const std::wstring& fileName = L"");
bool ProcessAlive(DWORD processId);
} // namespace testsupport
