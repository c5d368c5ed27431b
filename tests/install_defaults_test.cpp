// The install-time writer and remover against the prefix's registry: the exact table they leave (keys, types, bytes),
// the settings they keep, their records, and the registry's refusals.
#include "registry/InstallRegHelper.h"
#include "service/SettingControls.h"
#include "support/RegistryTestSupport.h"

#include <deque>

using namespace regtest;
using namespace regkeys;

namespace {

const std::wstring S = kServiceKey, T = kToastKey, Kb = kKeyboardListKey + std::wstring(L"\\VID_7A7A&PID_010"), Caps = T + L"\\ShowCapslkOSD",
                   Num = T + L"\\ShowNumlkOSD", Pop = T + L"\\PopToastCapsNumlkOSD", Count = T + L"\\CountTimesPopToastCapsNumlkOSD",
                   Never = T + L"\\NeverPopToast", Ocr = kCapabilityKey + std::wstring(L"\\OcrSnippingKey"), Ok = L" SET val success: %d";

// The records of a run: the three setting keys', the service key's, each numeric default's in the table's order ('n'
// written, 'o' kept, 'r' refused, 'c' its key not made), then the keyboards'.
std::vector<std::wstring> Records(const std::wstring& keys, const std::wstring& service, const char* defaults,
                                  const std::wstring& keyboards = L"registry success!!!! Line:%d Erorr:%d")
{
    std::vector<std::wstring> r;
    for (const wchar_t* key : {kToastKey, kOsdKey, kCapabilityKey}) r.push_back(L"InitInfReg " + (key + keys));
    r.push_back(L"InitInfReg " + S + service);
    for (const char* d = defaults; *d; ++d) {
        if (*d == 'o') r.push_back(L"InitInfReg " + T + L" has old val: %d");
        r.push_back(L"InitInfReg " + T + (*d == 'r' ? L" WriteRegDWord fail: 5" : *d == 'c' ? L" create key fail: 1021" : L" WriteRegDWord success: %d"));
    }
    r.push_back(L"Utility::hidbase::g_InitMicmuteKDB " + keyboards);
    return r;
}

using InstallDefaults = SettingsTest;

} // namespace

// Four bytes of any type, or none, are a value and kept. Locks: 0x6001D refuses values only; null makes the key volatile,
// so that nothing lasting can be made below it. What begins with an unwritten path is missing, but a key "\" stays.
TEST_F(InstallDefaults, EachRunLeavesTheTableKeepingTheUsersSettings)
{
    const wchar_t* const noValues = L"D:(A;;0x6001D;;;WD)";
    const std::wstring last = kKeyboardListKey + std::wstring(L"\\VID_7B7B&PID_0201");
    struct Case { const char* what; Tree before; std::vector<std::pair<std::wstring, const wchar_t*>> locks; DWORD result;
                  std::vector<std::wstring> records, kept = {}, unwritten = {}; };
    const Case cases[] = {
        {"a clean registry", {}, {}, 1, Records(Ok, Ok, "nnnnn")},
        {"user settings", {{Caps, Dword(0)}, {Pop, Dword(12)}, {Ocr, Dword(2)}, {Kb + L"1\\Extra", Dword(5)}}, {}, 1, Records(Ok, Ok, "onnno"),
         {Caps, Pop, Ocr, Kb + L"1\\Extra"}},
        {"values of other sizes", {{Num, Binary({1, 0, 0, 0, 0, 0, 0, 0})}, {Count, Binary({1, 0, 0, 0, 0})}, {Never, Binary({})},
         {Pop, {true, REG_SZ, {'7', 0, 0, 0}}}}, {}, 1, Records(Ok, Ok, "nnnoo"), {Never, Pop}},
        {"changed fixed records", {{S + L"\\FailureActions", Binary({1, 2, 3})}, {Kb + L"2\\Ex_9B", Dword(5)}, {Kb + L"2\\Ex_31", Binary({9, 9})}},
         {}, 1, Records(Ok, Ok, "nnnnn")},
        {"keys refusing values", {}, {{S, noValues}, {T, noValues}, {Kb + L"2", noValues}}, 1, Records(Ok, L" SET val failed: 5", "rrrrr"), {},
         {S + L"\\FailureActions", T + L"\\", Kb + L"2\\"}},
        {"a keyboard key that cannot be opened", {}, {{last, L"D:(A;;WD;;;WD)"}}, 0, Records(Ok, Ok, "nnnnn", L"CreateKey failed=0 Line:%d Erorr:5"),
         {}, {Kb + L"1\\", Kb + L"2\\", last + L"\\"}},
        {"setting keys that cannot be made", {}, {{S, nullptr}}, 1, Records(L" create Key failed: 1021", Ok, "ccccc"), {}, {T, kOsdKey, kCapabilityKey}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearPackageKeys();
        WriteTree(c.before);
        std::deque<KeyAccessGuard> locks;
        for (const auto& [key, sddl] : c.locks) sddl ? (void)locks.emplace_back(key, sddl) : CreateKey(key, REG_OPTION_VOLATILE);
        ClearLog();
        EXPECT_EQ(c.result, AddReg(nullptr));
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
        locks.clear();
        Tree expected = DefaultTree();
        for (const std::wstring& path : c.kept) expected[path] = c.before.at(path);
        for (auto e = expected.begin(); e != expected.end();) {
            const auto gone = [&](const std::wstring& p) { return !e->first.rfind(p, 0) && (e->first != p || p.back() != L'\\'); };
            e = std::any_of(c.unwritten.begin(), c.unwritten.end(), gone) ? expected.erase(e) : std::next(e);
        }
        EXPECT_EQ(Dump(expected), Dump(PackageTree()));
    }
}

// The remover goes on past a hotkey tree it cannot delete, runs on a thread of its own when started, and the next run
// writes the whole table again.
TEST_F(InstallDefaults, RemovalTakesBothTreesAndTheNextRunRecreatesThem)
{
    const std::wstring remove = L"InstallRegHelper::RemoveReg  ", start = remove + L"Start ErrorCode: %d", end = remove + L"end ErrorCode: %d";
    ASSERT_EQ(1u, AddReg(nullptr));
    CreateKey(Kb + L"9\\Deeper");
    {
        const KeyAccessGuard locked(Kb + L"9", L"D:(A;;WD;;;WD)"); // its child cannot be listed
        ClearLog();
        EXPECT_EQ(1u, InstallRegHelper::RemoveReg(nullptr));
        EXPECT_TRUE(RecordsMatch(Messages(), {start, remove + L"OsmiraFnHotkey ErrorCode: 5", end}));
        EXPECT_FALSE(KeyExists(S));
    }
    ClearLog();
    InstallRegHelper::StartRemoveRegHelper();
    std::vector<std::wstring> seen;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return (seen = Messages()).size() == 3 && RecordMatches(seen.back(), end); }, 20000)) << testsupport::Narrow(Join(seen));
    seen.erase(std::find(seen.begin(), seen.end(), L"InstallRegHelper StartRemoveRegHelper done.")); // lands anywhere
    EXPECT_TRUE(RecordsMatch(seen, {start, end}));
    EXPECT_EQ("", Dump(PackageTree()));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Osmira"));
    ClearLog();
    EXPECT_EQ(1u, AddReg(nullptr));
    EXPECT_TRUE(RecordsMatch(Messages(), Records(Ok, Ok, "nnnnn")));
    ExpectExactlyTheDefaults();
}

// The writer runs while the first controls may arrive: whatever the interleaving, no setting that a control wrote is
// replaced by its default afterwards.
TEST_F(InstallDefaults, ControlsDuringTheWriterAreNeverOverwritten)
{
    testsupport::SetLogSwitch(false); // the log's own lock would order the two threads
    for (int round = 0; round < 150; ++round) {
        ClearPackageKeys();
        win::UniqueHandle writer(::CreateThread(nullptr, 0, &AddReg, nullptr, 0, nullptr));
        for (volatile int spin = 0; spin < (round % 30) * 3000; spin = spin + 1) {} // a start that meets each step of the writer
        ControlPexaroCapsLockOff(), ControlPexaroNumLockOff(), ControlPexaroNeverPopToast();
        ControlTriggerPexaroPopToast(), ControlPexaroPopToastSuccess(); // 4 from nothing, 1 from the default
        ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(writer.get(), 20000));
        Tree toast = ReadTree(T, false);
        for (const std::wstring& n : {Pop, Count}) ASSERT_TRUE(IsDword(toast[n], 4) || IsDword(toast[n], 1)) << round;
        toast.erase(Pop), toast.erase(Count);
        ASSERT_EQ(Dump({{Caps, Dword(0)}, {Never, Dword(1)}, {Num, Dword(0)}}), Dump(toast)) << round;
        ASSERT_TRUE(IsDword(ReadRaw(kOsdKey, kShowCapsNumlkOsd), 0)) << round;
    }
}
