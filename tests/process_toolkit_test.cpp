// The process toolkit against real stand-in processes, and KillProcessesExceptNewest's choice on its own.
#include "process/ProcessToolkit.h"
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
        {"a lone time of 0 is the newest", {{42, 0}}, {}},
        {"repeats count once, ascending ids", {{30, 1}, {99, 5}, {10, 2}, {30, 1}, {99, 5}, {10, 2}}, {10, 30}},
        {"the first record of a repeated id counts", {{5, 1}, {6, 3}, {5, 3}}, {5}},
        {"an id reused by another program is spared",
         {{10, 1, L"FnKeyAgent.exe"}, {11, 5, L"FNKEYAGENT.EXE"}, {12, 3, L"notepad.exe"}}, {10}},
        {"the newest being another program spares all",
         {{10, 1, L"FnKeyAgent.exe"}, {11, 9, L"notepad.exe"}}, {}},
    };
    using processchoice::ChooseProcessesToTerminate;
    for (const Case& row : cases) EXPECT_EQ(row.doomed, ChooseProcessesToTerminate(row.records)) << row.what;
}

// Per case: two agents (older, newer), a renamed agent, the OSD, the app as KEYAPP.exe, and keyapp.exe2.exe.
TEST_F(ProcessToolkit, EachOperationFindsOrEndsExactlyItsMatches)
{
    const struct Case {
        Operation operation;
        std::wstring name;
        unsigned affected; // bit i: stand-in i found or ended
    } cases[] = {
        {kFind, L"FNKEYAGENT.EXE", 0b000011},
        {kFind, L"FnKeyAgent.", 0},
        {kKillByName, L"FNKEYAGENT.exe", 0b000011},
        {kKillMatching, L"fnkeyagent.EXE", 0b000111},
        {kKillMatching, L"keyapp.exe", 0b010000}, // under 11 characters the terminator counts too
        {kKillExceptNewest, L"", 0b000001}, // one id alone or none: the choice's own table
    };
    const bool debugWasOn = DebugPrivilegeWasOn();
    for (const Case& row : cases) {
        SCOPED_TRACE(Narrow(row.name) + " operation " + std::to_string(row.operation));
        StandInFolder standIns(L"toolkit");
        ASSERT_TRUE(standIns.CopyAs(L"FnKeyAgent.exe", L"FnKeyAgent.old.exe"));
        ASSERT_TRUE(standIns.CopyAs(L"keyapp.exe", L"keyapp.exe2.exe"));
        std::vector<DWORD> ids;
        std::set<DWORD> affected;
        std::vector<win::UniqueHandle> watches;
        for (const wchar_t* file : {L"FnKeyAgent.exe", L"FnKeyAgent.exe", L"FnKeyAgent.old.exe", L"FnKeyLockOsd.exe",
                                    L"KEYAPP.exe", L"keyapp.exe2.exe"}) {
            ids.push_back(standIns.Start(file));
            watches.emplace_back(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ids.back()));
            ASSERT_TRUE(watches.back()) << Narrow(file);
            if (row.affected & (1u << (ids.size() - 1))) affected.insert(ids.back());
        }
        DebugPrivilegeWasOn(true);
        if (row.operation == kFind) {
            const std::vector<DWORD> running = FindRunningProcess(row.name.c_str());
            EXPECT_EQ(affected, std::set<DWORD>(running.begin(), running.end()));
            EXPECT_EQ(!affected.empty(), ProgressIsRunning(row.name.c_str()) != FALSE);
        } else if (row.operation == kKillByName) {
            KillProcessesByName(row.name.c_str());
        } else if (row.operation == kKillMatching) {
            EXPECT_EQ(TRUE, IsExistHotkeyUtilityProcessAndKill(row.name.c_str()));
        } else {
            KillProcessesExceptNewest({ids[1], ids[0], 0xFFFFFFF0u, ids[1]}); // an id of no process, one twice
        }
        // Switched on before, it is off after a kill that matched, untouched otherwise.
        EXPECT_EQ(row.operation != kKillMatching, DebugPrivilegeWasOn(true));
        for (size_t index = 0; index < ids.size(); ++index) {
            const bool ends = row.operation != kFind && affected.count(ids[index]);
            const DWORD waited = ::WaitForSingleObject(watches[index].get(), ends ? 10000 : 0);
            EXPECT_EQ(ends ? WAIT_OBJECT_0 : WAIT_TIMEOUT, waited) << index;
        }
    }
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
