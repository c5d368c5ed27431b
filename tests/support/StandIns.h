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
// A fresh folder with copies of FnKeyAgent.exe, FnKeyLockOsd.exe and keyapp.exe; its end ends every
// process that recorded itself there, whoever started it. It lies in the temporary folder or the parent; without a
// name the copies lie beside this program, where a service running in it finds its own companions, and go at the end
// with their records.
class StandInFolder {
public:
    explicit StandInFolder(const std::wstring& name = L"", const std::wstring& parent = L"");
    ~StandInFolder();
    const std::wstring& Path() const { return m_path; }
    std::wstring Program(const std::wstring& fileName) const { return m_path + L"\\" + fileName; }
    bool CopyAs(const std::wstring& standIn, const std::wstring& newName) const;
    DWORD Start(const std::wstring& fileName); // waits for its record: its id, or 0
    std::vector<StandInRecord> Records() const;
private:
    std::optional<ScratchFolder> m_scratch;
    std::wstring m_path;
};
// The records that stand-ins in the folder left, of one file name or (for "") of all.
std::vector<StandInRecord> StandInRecordsIn(const std::wstring& folder, const std::wstring& fileName = L"");
bool ProcessAlive(DWORD processId);
} // namespace testsupport
