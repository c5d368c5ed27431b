// The process toolkit against real stand-in processes of this prefix, and the choice of the
// survivors of KillProcessesExceptNewest on its own.
#include "log/UtilityLog.h"
#include "process/ProcessToolkit.h"
#include "support/StandIns.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

using namespace testsupport;
using processchoice::ChooseProcessesToTerminate;

namespace {

class ToolkitTest : public LoggedTest {
protected:
    static bool WaitForExit(DWORD processId) { return WaitUntil([&] { return !ProcessAlive(processId); }, 10000); }
};

class ProcessToolkit : public ToolkitTest {
protected:
    StandInFolder m_standIns{L"toolkit"};
};

bool Contains(const std::vector<DWORD>& ids, DWORD id) { return std::find(ids.begin(), ids.end(), id) != ids.end(); }

// A handle kept from before the kill, so that the exit code can still be read afterwards.
win::UniqueHandle Watch(DWORD processId)
{
    return win::UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
}

// The exit code of a watched process once it has ended; STILL_ACTIVE when it has not.
DWORD ExitCodeOnceEnded(const win::UniqueHandle& process)
{
    if (!process || ::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) return STILL_ACTIVE;
    DWORD code = 0xDEADu;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

LUID DebugPrivilegeLuid()
{
    LUID luid = {};
    ::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &luid);
    return luid;
}

// Attributes of SeDebugPrivilege in this process's token; 0xFFFFFFFF when the token lacks it.
DWORD DebugPrivilegeAttributes()
{
    win::UniqueToken token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return 0xFFFFFFFF;
    DWORD size = 0;
    ::GetTokenInformation(token.get(), TokenPrivileges, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !::GetTokenInformation(token.get(), TokenPrivileges, buffer.data(), size, &size)) return 0xFFFFFFFF;
    const TOKEN_PRIVILEGES* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    const LUID debug = DebugPrivilegeLuid();
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
        const LUID& luid = privileges->Privileges[i].Luid;
        if (luid.LowPart == debug.LowPart && luid.HighPart == debug.HighPart) return privileges->Privileges[i].Attributes;
    }
    return 0xFFFFFFFF;
}

bool SetDebugPrivilegeForTest(DWORD attributes)
{
    win::UniqueToken token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = DebugPrivilegeLuid();
    privileges.Privileges[0].Attributes = attributes;
    return ::AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SUCCESS;
}

} // namespace

TEST(KillProcessesExceptNewestChoice, KeepsEveryProcessCreatedAtTheNewestTime)
{
    // Two created at the same, latest instant survive; the older one goes.
    EXPECT_EQ((std::vector<DWORD>{300}), ChooseProcessesToTerminate({{100, 50}, {300, 40}, {200, 50}}));
    // All at one time: nobody goes.
    EXPECT_EQ(std::vector<DWORD>{}, ChooseProcessesToTerminate({{7, 9}, {8, 9}, {9, 9}}));
}

TEST(KillProcessesExceptNewestChoice, OneOrNoIdTerminatesNothing)
{
    EXPECT_EQ(std::vector<DWORD>{}, ChooseProcessesToTerminate({{42, 1234}}));
    EXPECT_EQ(std::vector<DWORD>{}, ChooseProcessesToTerminate({}));
    // A creation time of 0 is the starting newest time: a lone process of time 0 survives too.
    EXPECT_EQ(std::vector<DWORD>{}, ChooseProcessesToTerminate({{42, 0}}));
}

TEST(KillProcessesExceptNewestChoice, ListsTheDoomedOnceInAscendingIdOrder)
{
    // An id listed twice counts once; the terminations go by ascending id, not list order.
    EXPECT_EQ((std::vector<DWORD>{10, 30}),
              ChooseProcessesToTerminate({{30, 1}, {99, 5}, {10, 2}, {30, 1}, {99, 5}, {10, 2}}));
    // The first record of a repeated id is the one kept.
    EXPECT_EQ((std::vector<DWORD>{5}), ChooseProcessesToTerminate({{5, 1}, {6, 3}, {5, 3}}));
}

TEST_F(ProcessToolkit, FindRunningProcessListsWholeNamesInAnyCaseAndIgnoresLongerNames)
{
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    const DWORD first = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD second = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD renamed = m_standIns.Start(L"FnKeyAgent.old.exe");
    ASSERT_NE(0u, first);
    ASSERT_NE(0u, second);
    ASSERT_NE(0u, renamed);

    for (const wchar_t* name : {L"FnKeyAgent.exe", L"FNKEYAGENT.EXE", L"fnkeyagent.exe"}) {
        const std::vector<DWORD> ids = FindRunningProcess(name);
        EXPECT_TRUE(Contains(ids, first)) << Narrow(name);
        EXPECT_TRUE(Contains(ids, second)) << Narrow(name);
        EXPECT_FALSE(Contains(ids, renamed)) << Narrow(name);
        EXPECT_TRUE(ProgressIsRunning(name)) << Narrow(name);
    }
    EXPECT_EQ(std::vector<DWORD>{renamed}, FindRunningProcess(L"fnkeyagent.OLD.exe"));
    // Only the 11-character rule reaches further; the whole-name operations do not log at all.
    EXPECT_TRUE(FindRunningProcess(L"FnKeyAgent.").empty());
    EXPECT_FALSE(ProgressIsRunning(L"FnKeyAgent"));
    EXPECT_EQ(std::vector<std::wstring>{}, Messages());
}

TEST_F(ProcessToolkit, KillProcessesByNameEndsEveryWholeNameMatchOnly)
{
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    const DWORD first = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD second = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD renamed = m_standIns.Start(L"FnKeyAgent.old.exe");
    const DWORD osd = m_standIns.Start(L"FnKeyLockOsd.exe");
    ASSERT_TRUE(first && second && renamed && osd);

    KillProcessesByName(L"FNKEYAGENT.exe");

    EXPECT_TRUE(WaitForExit(first));
    EXPECT_TRUE(WaitForExit(second));
    EXPECT_TRUE(ProcessAlive(renamed));
    EXPECT_TRUE(ProcessAlive(osd));
    EXPECT_TRUE(FindRunningProcess(L"FnKeyAgent.exe").empty());
    EXPECT_FALSE(ProgressIsRunning(L"FnKeyAgent.exe"));
    EXPECT_EQ(std::vector<std::wstring>{}, Messages());
}

TEST_F(ProcessToolkit, IsExistHotkeyUtilityProcessAndKillMatchesTheFirstElevenCharacters)
{
    ASSERT_TRUE(m_standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
    const DWORD agent = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD renamed = m_standIns.Start(L"FnKeyAgent.old.exe");
    const DWORD osd = m_standIns.Start(L"FnKeyLockOsd.exe");
    ASSERT_TRUE(agent && renamed && osd);
    const std::optional<StandInRecord> agentRecord = m_standIns.WaitForRecord(L"FnKeyAgent.exe", 1000);
    ASSERT_TRUE(agentRecord.has_value());

    EXPECT_EQ(TRUE, IsExistHotkeyUtilityProcessAndKill(L"fnkeyagent.EXE"));

    EXPECT_TRUE(WaitForExit(agent));
    EXPECT_TRUE(WaitForExit(renamed));
    EXPECT_TRUE(ProcessAlive(osd));

    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(5u, messages.size()) << "the init line, then two lines per match";
    EXPECT_TRUE(LogRecordMatches(messages[0],
                                 L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:fnkeyagent.EXE,line:{line} "))
        << Narrow(messages[0]);
    // The console user's name is readable under this prefix's session; every match is
    // terminated whatever its session.
    wchar_t expectedExist[200] = {};
    _snwprintf(expectedExist, 199,
               L"IsExistUtilityProcess GetSession:[1]  The \"fnkeyagent.EXE\" process is exist[1]. Its session id is %u\n",
               agentRecord->sessionId);
    EXPECT_EQ(expectedExist, messages[1]);
    EXPECT_EQ(expectedExist, messages[3]);
    // The error field is whatever the thread's last error was; {line} stands for its digits.
    const std::wstring terminated =
        L"TerminateProcess ret:[1] error :{line} , sessionid=" + std::to_wstring(agentRecord->sessionId);
    for (size_t index : {2u, 4u}) {
        EXPECT_TRUE(LogRecordMatches(messages[index], terminated)) << Narrow(messages[index]);
    }
}

TEST_F(ProcessToolkit, EveryTerminationEndsTheProcessWithExitCodeZero)
{
    // The stand-in folder's own clean-up ends its processes with 1, so 0 is the toolkit's.
    const DWORD byName = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD older = m_standIns.Start(L"keyapp.exe");
    const DWORD newer = m_standIns.Start(L"keyapp.exe");
    const DWORD osd = m_standIns.Start(L"FnKeyLockOsd.exe");
    ASSERT_TRUE(byName && older && newer && osd);
    const win::UniqueHandle byNameWatch = Watch(byName), olderWatch = Watch(older), osdWatch = Watch(osd);
    ASSERT_TRUE(byNameWatch && olderWatch && osdWatch);

    KillProcessesByName(L"FnKeyAgent.exe");
    KillProcessesExceptNewest({older, newer});
    EXPECT_EQ(TRUE, IsExistHotkeyUtilityProcessAndKill(L"FnKeyLockOsd.exe"));

    EXPECT_EQ(0u, ExitCodeOnceEnded(byNameWatch)) << "KillProcessesByName";
    EXPECT_EQ(0u, ExitCodeOnceEnded(olderWatch)) << "KillProcessesExceptNewest";
    EXPECT_EQ(0u, ExitCodeOnceEnded(osdWatch)) << "IsExistHotkeyUtilityProcessAndKill";
    EXPECT_TRUE(ProcessAlive(newer));
}

TEST_F(ProcessToolkit, IsExistHotkeyUtilityProcessAndKillLeavesTheDebugPrivilegeOffAfterEachMatch)
{
    const DWORD before = DebugPrivilegeAttributes();
    ASSERT_NE(0xFFFFFFFFu, before) << "this process's token holds SeDebugPrivilege";
    // Switched on beforehand, so that only a switch-off by the operation can turn it off.
    ASSERT_TRUE(SetDebugPrivilegeForTest(SE_PRIVILEGE_ENABLED));
    ASSERT_NE(0u, DebugPrivilegeAttributes() & SE_PRIVILEGE_ENABLED);

    // No match: the privilege is not touched.
    EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(L"NoSuchCompanion.exe"));
    EXPECT_NE(0u, DebugPrivilegeAttributes() & SE_PRIVILEGE_ENABLED);

    const DWORD agent = m_standIns.Start(L"FnKeyAgent.exe");
    ASSERT_NE(0u, agent);
    EXPECT_EQ(TRUE, IsExistHotkeyUtilityProcessAndKill(L"FnKeyAgent.exe"));
    EXPECT_TRUE(WaitForExit(agent));
    const DWORD after = DebugPrivilegeAttributes();

    SetDebugPrivilegeForTest(before & SE_PRIVILEGE_ENABLED);
    EXPECT_EQ(0u, after & SE_PRIVILEGE_ENABLED) << "attributes after the kill: " << after;
}

TEST_F(ProcessToolkit, IsExistHotkeyUtilityProcessAndKillNeedsShortNamesWhole)
{
    // "keyapp.exe" has fewer than 11 characters, so its terminator takes part in the comparison.
    ASSERT_TRUE(m_standIns.CopyAs(L"keyapp.exe", L"keyapp.exe2.exe"));
    const DWORD longer = m_standIns.Start(L"keyapp.exe2.exe");
    const DWORD keyapp = m_standIns.Start(L"KEYAPP.exe");
    ASSERT_TRUE(longer && keyapp);

    EXPECT_EQ(TRUE, IsExistHotkeyUtilityProcessAndKill(L"keyapp.exe"));
    EXPECT_TRUE(WaitForExit(keyapp));
    EXPECT_TRUE(ProcessAlive(longer));

    // A name that agrees over 11 characters, however long, still matches.
    const DWORD agent = m_standIns.Start(L"FnKeyAgent.exe");
    ASSERT_NE(0u, agent);
    const std::wstring longName = L"FnKeyAgent." + std::wstring(5000, L'x');
    EXPECT_EQ(TRUE, IsExistHotkeyUtilityProcessAndKill(longName.c_str()));
    EXPECT_TRUE(WaitForExit(agent));
}

TEST_F(ProcessToolkit, NothingRunningWritesOnlyTheInitLine)
{
    const wchar_t* absent = L"NoSuchCompanion.exe";
    EXPECT_TRUE(FindRunningProcess(absent).empty());
    EXPECT_FALSE(ProgressIsRunning(absent));
    KillProcessesByName(absent);
    KillProcessesExceptNewest({});
    EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(absent));
    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(1u, messages.size());
    EXPECT_TRUE(LogRecordMatches(
        messages[0], L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:NoSuchCompanion.exe,line:{line} "))
        << Narrow(messages[0]);
}

TEST_F(ProcessToolkit, KillProcessesExceptNewestKeepsTheLatestRealProcess)
{
    const DWORD older = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD newer = m_standIns.Start(L"FnKeyAgent.exe");
    const DWORD bystander = m_standIns.Start(L"keyapp.exe");
    ASSERT_TRUE(older && newer && bystander);
    uint64_t olderTime = 0, newerTime = 0;
    for (const StandInRecord& record : m_standIns.Records(L"FnKeyAgent.exe")) {
        if (record.processId == older) olderTime = record.startTime;
        if (record.processId == newer) newerTime = record.startTime;
    }
    ASSERT_LT(olderTime, newerTime) << "the second agent was started after the first one had recorded itself";

    // A gone id (this one never existed as a process) and a repeated id change nothing.
    KillProcessesExceptNewest({newer, older, 0xFFFFFFF0u, newer});

    EXPECT_TRUE(WaitForExit(older));
    EXPECT_TRUE(ProcessAlive(newer));
    EXPECT_TRUE(ProcessAlive(bystander));
    EXPECT_EQ(std::vector<DWORD>{newer}, FindRunningProcess(L"FnKeyAgent.exe"));

    // One id alone is the newest of its list.
    KillProcessesExceptNewest({bystander});
    EXPECT_TRUE(ProcessAlive(bystander));
    EXPECT_EQ(std::vector<std::wstring>{}, Messages());
}

TEST_F(ProcessToolkit, BadNamesFindAndKillNothing)
{
    const DWORD agent = m_standIns.Start(L"FnKeyAgent.exe");
    ASSERT_NE(0u, agent);
    const std::wstring veryLong(40000, L'F');
    const wchar_t* names[] = {L"", L"*", L"FnKey*.exe", L"?nKeyAgent.exe", L"..\\FnKeyAgent.exe",
                              L"C:\\FnKeyAgent.exe", L"Fn\u00e9Agent.exe", L"\t\r\n",
                              veryLong.c_str()};
    for (const wchar_t* name : names) {
        EXPECT_TRUE(FindRunningProcess(name).empty()) << Narrow(name).substr(0, 40);
        EXPECT_FALSE(ProgressIsRunning(name)) << Narrow(name).substr(0, 40);
        KillProcessesByName(name);
        EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(name)) << Narrow(name).substr(0, 40);
    }
    EXPECT_TRUE(FindRunningProcess(nullptr).empty());
    EXPECT_FALSE(ProgressIsRunning(nullptr));
    KillProcessesByName(nullptr);
    EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(nullptr));
    EXPECT_TRUE(ProcessAlive(agent));

    // Each refused name wrote its init line, carrying the name as given (the record is cut at
    // the log's limit for the very long one); nothing else was written.
    const std::vector<std::wstring> messages = Messages();
    ASSERT_EQ(std::size(names), messages.size());
    EXPECT_TRUE(LogRecordMatches(messages[0], L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:,line:{line} "))
        << Narrow(messages[0]);
    EXPECT_TRUE(LogRecordMatches(messages[1], L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:*,line:{line} "))
        << Narrow(messages[1]);
}

TEST(ConsoleSession, UserNameAndSessionIdOfTheConsole)
{
    DWORD sessionId = 0;
    std::wstring userName;
    ASSERT_EQ(TRUE, GetCurrentUserNameAndSessionId(&sessionId, &userName));
    EXPECT_EQ(::WTSGetActiveConsoleSessionId(), sessionId);
    EXPECT_FALSE(userName.empty());
    // Null outputs are allowed.
    EXPECT_EQ(TRUE, GetCurrentUserNameAndSessionId(nullptr, nullptr));
}
