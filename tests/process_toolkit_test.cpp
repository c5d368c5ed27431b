// The process toolkit against real stand-in processes of this prefix, and the survivors'
// choice of KillProcessesExceptNewest on its own.
#include "process/ProcessToolkit.h"
#include "support/StandIns.h"
#include "win/Owners.h"

#include <algorithm>

using namespace testsupport;

namespace {

// Switches SeDebugPrivilege of this process's token; whether it was on before.
bool DebugPrivilegeWasOn(bool on = true)
{
    win::UniqueToken token;
    ::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put());
    TOKEN_PRIVILEGES set = {1, {{{}, on ? DWORD(SE_PRIVILEGE_ENABLED) : 0u}}}, previous = {};
    ::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &set.Privileges[0].Luid);
    DWORD size = 0;
    ::AdjustTokenPrivileges(token.get(), FALSE, &set, sizeof previous, &previous, &size);
    // An unchanged privilege is left out of the previous state.
    return previous.PrivilegeCount == 0 ? on : (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0;
}

enum Operation { kFind, kKillByName, kKillMatching, kKillExceptNewest };
using ProcessToolkit = LoggedTest;

} // namespace

TEST(KillProcessesExceptNewestChoice, TerminatesEveryDistinctIdNotCreatedAtTheNewestTimeInAscendingOrder)
{
    const struct Case {
        const char* what;
        std::vector<processchoice::ProcessCreation> records;
        std::vector<DWORD> doomed;
    } cases[] = {
        {"two share the newest time and both stay", {{100, 50}, {300, 40}, {200, 50}}, {300}},
        {"all at one time", {{7, 9}, {8, 9}, {9, 9}}, {}},
        {"one alone", {{42, 1234}}, {}},
        {"none", {}, {}},
        {"a lone time of 0 is the newest", {{42, 0}}, {}},
        {"repeats count once, ascending ids", {{30, 1}, {99, 5}, {10, 2}, {30, 1}, {99, 5}, {10, 2}}, {10, 30}},
        {"the first record of a repeated id counts", {{5, 1}, {6, 3}, {5, 3}}, {5}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.doomed, processchoice::ChooseProcessesToTerminate(c.records)) << c.what;
}

// Six stand-ins per case: two agents started one after the other, a renamed agent, the OSD,
// the app under a name in capitals, and a copy of the app under a longer name.
TEST_F(ProcessToolkit, EachOperationFindsOrEndsExactlyItsMatches)
{
    const struct Case {
        Operation operation;
        std::wstring name;
        unsigned affected;           // bit i: stand-in i found or ended
        std::vector<int> picks = {}; // kKillExceptNewest lists these stand-ins (-1: an id of no process)
    } cases[] = {
        {kFind, L"FNKEYAGENT.EXE", 0b000011},
        {kFind, L"fnkeyagent.OLD.exe", 0b000100},
        {kFind, L"FnKeyAgent.", 0},
        {kKillByName, L"FNKEYAGENT.exe", 0b000011},
        {kKillMatching, L"fnkeyagent.EXE", 0b000111},
        {kKillMatching, L"keyapp.exe", 0b010000}, // under 11 characters the terminator counts too
        {kKillMatching, L"FnKeyAgent." + std::wstring(5000, L'x'), 0b000111},
        {kKillMatching, L"NoSuchCompanion.exe", 0},
        {kKillExceptNewest, L"", 0b000001, {1, 0, -1, 1}},
        {kKillExceptNewest, L"", 0, {4}},
        {kKillExceptNewest, L"", 0, {}},
    };
    const bool debugWasOn = DebugPrivilegeWasOn();
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name.substr(0, 30)) + " operation " + std::to_string(c.operation));
        ClearLog();
        StandInFolder standIns(L"toolkit");
        ASSERT_TRUE(standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
        ASSERT_TRUE(standIns.CopyAs(L"keyapp.exe", L"keyapp.exe2.exe"));
        std::vector<DWORD> ids, found, listed;
        std::vector<win::UniqueHandle> watches;
        for (const wchar_t* file : {L"FnKeyAgent.exe", L"FnKeyAgent.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe",
                                    L"KEYAPP.exe", L"keyapp.exe2.exe"}) {
            ids.push_back(standIns.Start(file));
            watches.emplace_back(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids.back()));
            ASSERT_TRUE(watches.back()) << Narrow(file);
            if (c.affected & (1u << (ids.size() - 1))) found.push_back(ids.back());
        }
        for (int pick : c.picks) listed.push_back(pick < 0 ? 0xFFFFFFF0u : ids[pick]);
        DebugPrivilegeWasOn(true);
        if (c.operation == kFind) {
            std::vector<DWORD> running = FindRunningProcess(c.name.c_str());
            std::sort(running.begin(), running.end());
            std::sort(found.begin(), found.end());
            EXPECT_EQ(found, running);
            EXPECT_EQ(c.affected != 0, ProgressIsRunning(c.name.c_str()) != FALSE);
        } else if (c.operation == kKillByName) {
            KillProcessesByName(c.name.c_str());
        } else if (c.operation == kKillMatching) {
            EXPECT_EQ(c.affected != 0 ? TRUE : FALSE, IsExistHotkeyUtilityProcessAndKill(c.name.c_str()));
        } else {
            KillProcessesExceptNewest(listed);
        }
        // Switched on before, it is off after a kill that matched, untouched otherwise.
        EXPECT_EQ(c.operation != kKillMatching || c.affected == 0, DebugPrivilegeWasOn(true));
        for (size_t i = 0; i < ids.size(); ++i) {
            DWORD code = 0xDEADBEEF; // the folder's own clean-up ends with 1: 0 is the toolkit's
            const bool ends = c.operation != kFind && (c.affected & (1u << i));
            EXPECT_EQ(ends ? WAIT_OBJECT_0 : WAIT_TIMEOUT, ::WaitForSingleObject(watches[i].get(), ends ? 10000 : 0));
            EXPECT_EQ(ends ? 0u : STILL_ACTIVE, (::GetExitCodeProcess(watches[i].get(), &code), code)) << i;
        }
        // Only the 11-character kill logs: its first line, then two per match, whatever the
        // session. The error field is the thread's last error; {line} stands for its digits.
        const std::wstring session = std::to_wstring(standIns.WaitForRecord(ids[0])->sessionId);
        std::vector<std::wstring> expected;
        if (c.operation == kKillMatching) {
            expected = {L"IsExistHotkeyUtilityProcessAndKill initStatus:[1] ProcessName:" + c.name + L",line:{line} "};
        }
        for (unsigned bits = c.operation == kKillMatching ? c.affected : 0; bits != 0; bits &= bits - 1) {
            expected.push_back(L"IsExistUtilityProcess GetSession:[1]  The \"" + c.name +
                               L"\" process is exist[1]. Its session id is " + session + L"\n");
            expected.push_back(L"TerminateProcess ret:[1] error :{line} , sessionid=" + session);
        }
        const std::vector<std::wstring> messages = Messages();
        ASSERT_EQ(expected.size(), messages.size());
        for (size_t i = 0; i < expected.size() && c.name.size() < 100; ++i) { // the log cuts longer names
            EXPECT_TRUE(LogRecordMatches(messages[i], expected[i])) << Narrow(messages[i]);
        }
    }
    DebugPrivilegeWasOn(debugWasOn);
}

TEST_F(ProcessToolkit, NamesWithWildcardsPathsOrOddCharactersMatchNothing)
{
    StandInFolder standIns(L"badnames");
    const DWORD agent = standIns.Start(L"FnKeyAgent.exe");
    ASSERT_NE(0u, agent);
    for (const std::wstring& name : {std::wstring(), std::wstring(L"*"), std::wstring(L"FnKey*.exe"),
                                     std::wstring(L"?nKeyAgent.exe"), std::wstring(L"..\\FnKeyAgent.exe"),
                                     std::wstring(L"C:\\FnKeyAgent.exe"), std::wstring(L"Fn\u00e9Agent.exe"),
                                     std::wstring(L"\t\r\n"), std::wstring(40000, L'F')}) {
        ClearLog();
        EXPECT_EQ(std::vector<DWORD>{}, FindRunningProcess(name.c_str()));
        EXPECT_FALSE(ProgressIsRunning(name.c_str()));
        KillProcessesByName(name.c_str());
        EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(name.c_str()));
        const std::vector<std::wstring> messages = Messages();
        ASSERT_EQ(1u, messages.size());
        EXPECT_TRUE(name.size() > 100 || LogRecordMatches(messages[0], L"IsExistHotkeyUtilityProcessAndKill "
                                                          L"initStatus:[1] ProcessName:" + name + L",line:{line} "));
    }
    ClearLog();
    EXPECT_EQ(std::vector<DWORD>{}, FindRunningProcess(nullptr));
    EXPECT_FALSE(ProgressIsRunning(nullptr));
    KillProcessesByName(nullptr);
    EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(nullptr));
    EXPECT_EQ(std::vector<std::wstring>{}, Messages());
    EXPECT_TRUE(ProcessAlive(agent));
}

TEST(ConsoleSession, UserNameAndSessionIdOfTheConsole)
{
    DWORD sessionId = 0xDEADBEEF;
    std::wstring userName;
    ASSERT_EQ(TRUE, GetCurrentUserNameAndSessionId(&sessionId, &userName));
    EXPECT_EQ(::WTSGetActiveConsoleSessionId(), sessionId);
    EXPECT_FALSE(userName.empty());
    EXPECT_EQ(TRUE, GetCurrentUserNameAndSessionId(nullptr, nullptr)); // outputs may be null
}
