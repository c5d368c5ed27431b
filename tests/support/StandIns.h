// The stand-ins' records: the companion stand-ins in a scratch folder (copies under any name, processes
// started from there, the records they leave as tools/companions/StandInRecord.h says, and the end of
// them all), and the firmware stand-in's call records as they arrive.
#pragma once

#include "FirmwareStandIn.h"
#include "support/TestSupport.h"

#include <optional>

namespace testsupport {

struct StandInRecord {
    DWORD processId = 0, sessionId = 0, startupFlags = 0, showWindow = 0;
    std::wstring image, commandLine;
};

// A fresh folder with copies of FnKeyAgent.exe, FnKeyLockOsd.exe and keyapp.exe; its end ends every
// process that recorded itself there, whoever started it.
class StandInFolder {
public:
    explicit StandInFolder(const std::wstring& name);
    ~StandInFolder();
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

// The firmware stand-in's records that arrive after a point: each Read returns the complete lines
// written since the last Read (or Skip), so that a poll reads only what is new.
class FirmwareCallTail {
public:
    FirmwareCallTail() { Skip(); }
    void Skip();
    std::vector<firmware::CallRecord> Read();
private:
    LONGLONG m_offset = 0;
};
// Milliseconds of the local time now, on the scale of the firmware stand-in's record stamps (local
// times cut to the millisecond), with the fraction kept.
double LocalMilliseconds();
// The middle of the millisecond that a stamp "YYYY-MM-DD hh:mm:ss.mmm" names, on the scale of
// LocalMilliseconds; negative when the stamp cannot be read.
double StampMilliseconds(const std::wstring& stamp);

} // namespace testsupport
