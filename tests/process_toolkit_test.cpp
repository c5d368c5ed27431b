// The process toolkit against real stand-in processes, and its decisions on their own.
#include "process/ProcessToolkit.h"
#include "support/Seams.h"
#include "support/StandIns.h"
#include "win/Owners.h"

#include <set>

using namespace testsupport;

namespace {

// Switches SeDebugPrivilege (20) of this process's token; whether it was on before.
extern "C" LONG NTAPI RtlAdjustPrivilege(ULONG privilege, BOOLEAN enable, BOOLEAN thread, BOOLEAN* wasEnabled);
bool DebugPrivilegeWasOn(bool on = true)
{
    BOOLEAN was = FALSE;
    return RtlAdjustPrivilege(20, on, FALSE, &was) == 0 && was;
}

enum Operation { kFind, kKillByName, kKillMatching, kKillExceptNewest };
// The name alone, or the file of that name in the row's stand-in folder, in the console session or another one.
enum Scope { kName, kOurs, kOursInAnotherSession };
using ProcessToolkit = LoggedTest;

// Plays an id taken over between a kill's check and its end: every open of it after the first reaches the impostor.
struct { DWORD watched, impostor, opens; } g_takeOver = {};
HANDLE WINAPI OpenWithIdTakenOver(DWORD access, BOOL inheritHandle, DWORD processId)
{
    const bool takenOver = processId == g_takeOver.watched && g_takeOver.opens++ > 0;
    return ::OpenProcess(access, inheritHandle, takenOver ? g_takeOver.impostor : processId);
}

const std::wstring kOurAgent = L"C:\\Program Files\\Osmira\\FnKey\\FnKeyAgent.exe";
processchoice::ProcessCreation Ours(DWORD processId, uint64_t creationTime)
{
    return {processId, creationTime, kOurAgent, 1};
}

} // namespace

TEST(KillProcessesExceptNewestChoice, TerminatesEveryDistinctIdOfTheTargetNotCreatedAtItsNewestTimeInAscendingOrder)
{
    // Per row: what it shows, the records and the ids to end.
    const std::tuple<const char*, std::vector<processchoice::ProcessCreation>, std::vector<DWORD>> cases[] = {
        {"two share the newest time and both stay", {Ours(100, 50), Ours(300, 40), Ours(200, 50)}, {300}},
        {"a lone time of 0 is the newest", {Ours(42, 0)}, {}},
        {"repeats count once, ascending ids",
         {Ours(30, 1), Ours(99, 5), Ours(10, 2), Ours(30, 1), Ours(99, 5), Ours(10, 2)}, {10, 30}},
        {"the first record of a repeated id counts", {Ours(5, 1), Ours(6, 3), Ours(5, 3)}, {5}},
        {"the name in another folder is neither newest nor ended; the path's letter case does not count",
         {Ours(10, 1), {11, 5, L"c:\\program files\\osmira\\fnkey\\FNKEYAGENT.EXE", 1},
          {12, 9, L"C:\\Users\\Public\\FnKeyAgent.exe", 1}}, {10}},
    };
    const ProcessTarget target{L"FnKeyAgent.exe", kOurAgent, 1};
    using processchoice::ChooseProcessesToTerminate;
    for (const auto& [what, seen, ends] : cases) EXPECT_EQ(ends, ChooseProcessesToTerminate(seen, target)) << what;
}

// Per case: two agents (older, newer), a renamed agent, the OSD, the app as KEYAPP.exe, keyapp.exe2.exe and an agent
// in another folder. The older agent's id is taken over by the one elsewhere after a kill's first open of it.
TEST_F(ProcessToolkit, EachOperationFindsOrEndsExactlyItsMatches)
{
    // Per row: the operation, the name, its scope, and in bit i whether stand-in i is found or ended.
    const std::tuple<Operation, std::wstring, Scope, unsigned> cases[] = {
        {kFind, L"FNKEYAGENT.EXE", kName, 0b1000011},
        {kFind, L"FnKeyAgent.exe", kOurs, 0b0000011},
        {kKillByName, L"FnKeyAgent.exe", kOurs, 0b0000011},
        {kKillMatching, L"fnkeyagent.EXE", kName, 0b1000111},
        {kKillMatching, L"keyapp.exe", kName, 0b0010000}, // under 11 characters the terminator counts too
        {kKillMatching, L"FnKeyAgent.exe", kOurs, 0b0000011},
        {kKillMatching, L"FnKeyAgent.exe", kOursInAnotherSession, 0},
        {kKillExceptNewest, L"FnKeyAgent.exe", kOurs, 0b0000001}, // one id alone or none: the choice's own table
    };
    const bool debugWasOn = DebugPrivilegeWasOn();
    SetOpenProcessToEndForTesting(&OpenWithIdTakenOver);
    for (const auto& row : cases) {
        SCOPED_TRACE("row " + std::to_string(&row - cases));
        const auto& [operation, name, scope, bits] = row;
        StandInFolder standIns(L"toolkit");
        StandInFolder elsewhere(L"toolkit_elsewhere");
        ASSERT_TRUE(standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
        ASSERT_TRUE(standIns.CopyAs(L"keyapp.exe", L"keyapp.exe2.exe"));
        std::vector<DWORD> ids;
        std::set<DWORD> affected;
        for (const wchar_t* file : {L"FnKeyAgent.exe", L"FnKeyAgent.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe",
                                    L"KEYAPP.exe", L"keyapp.exe2.exe", L"elsewhere"}) { // the last: an agent
            ids.push_back(file[0] == L'e' ? elsewhere.Start(L"FnKeyAgent.exe") : standIns.Start(file));
            ASSERT_NE(0u, ids.back()) << Narrow(file);
            if (bits & (1u << (ids.size() - 1))) affected.insert(ids.back());
        }
        const DWORD session = ::WTSGetActiveConsoleSessionId() + (scope == kOursInAnotherSession ? 1 : 0);
        const ProcessTarget target = scope == kName ? ProcessTarget{name}
                                                    : ProcessTarget{name, standIns.Program(name), session};
        g_takeOver = {ids[0], ids[6], 0};
        DebugPrivilegeWasOn(true);
        if (operation == kFind) {
            const std::vector<DWORD> running = FindRunningProcess(target);
            EXPECT_EQ(affected, std::set<DWORD>(running.begin(), running.end()));
            EXPECT_EQ(!affected.empty(), ProgressIsRunning(name.c_str()) != FALSE);
        } else if (operation == kKillByName) {
            KillProcessesByName(target);
        } else if (operation == kKillMatching) {
            const BOOL ended = scope == kName ? IsExistHotkeyUtilityProcessAndKill(name.c_str())
                                              : IsExistHotkeyUtilityProcessAndKill(target);
            EXPECT_EQ(!affected.empty(), ended != FALSE);
        } else {
            // The one elsewhere is the newest; an id of no process; one id twice.
            KillProcessesExceptNewest({ids[1], ids[0], ids[6], 0xFFFFFFF0u, ids[1]}, target);
        }
        // Switched on before, it is off after a kill that matched, untouched otherwise.
        EXPECT_EQ(operation != kKillMatching, DebugPrivilegeWasOn(true));
        for (size_t index = 0; index < ids.size(); ++index) {
            const bool ends = operation != kFind && affected.count(ids[index]);
            EXPECT_EQ(ends, WaitUntil([&] { return !ProcessAlive(ids[index]); }, ends ? 10000 : 0)) << index;
        }
    }
    SetOpenProcessToEndForTesting(nullptr);
    DebugPrivilegeWasOn(debugWasOn);
}

TEST_F(ProcessToolkit, NullNamesAndNamesWithWildcardsPathsOrOddCharactersMatchNothing)
{
    StandInFolder standIns(L"badnames");
    const DWORD agent = standIns.Start(L"FnKeyAgent.exe");
    const std::wstring veryLong(40000, L'F');
    for (const wchar_t* name : {L"", L"FnKey*.exe", L"..\\FnKeyAgent.exe", L"Fn\u00e9Agent.exe", veryLong.c_str(),
                                static_cast<const wchar_t*>(nullptr)}) {
        EXPECT_TRUE(FindRunningProcess(name).empty());
        EXPECT_FALSE(ProgressIsRunning(name));
        KillProcessesByName(name);
        EXPECT_EQ(FALSE, IsExistHotkeyUtilityProcessAndKill(name));
    }
    EXPECT_TRUE(ProcessAlive(agent));
}
