// The install-time writer and remover against the prefix's registry: the exact table they leave (keys, types,
// bytes), the settings they keep, the registry's refusals with their codes, and the user's codes racing the writer.
#include "registry/InstallRegHelper.h"
#include "service/ControlDispatcher.h"
#include "support/RegistryTestSupport.h"

#include <deque>
#include <thread>

using namespace regtest;
using namespace regkeys;
using InstallDefaults = SettingsTest;

// Four bytes of any type, or none, are a value and kept. Lock 0x6001D refuses values only; null: a volatile key,
// below which nothing lasting can be made. What begins with an unwritten path is missing, but a key "\" stays.
// Only the first refusal, as support staff read it, is taken from the log: the registry shows the rest.
TEST_F(InstallDefaults, EachRunLeavesTheTableKeepingTheUsersSettings)
{
    const wchar_t* const noValues = L"D:(A;;0x6001D;;;WD)";
    const std::wstring service = kServiceKey;
    const std::wstring keyboard010 = kKeyboardListKey + std::wstring(L"\\VID_7A7A&PID_010"); // and 1 or 2
    const std::wstring last = kKeyboardListKey + std::wstring(L"\\VID_7B7B&PID_0201");
    const std::wstring valuesRefused = L"InitInfReg " + service + L" SET val failed: 5";
    const std::wstring keysRefused = L"InitInfReg " + (kToastKey + std::wstring(L" create Key failed: 1021"));
    struct Case {
        const char* what;
        Tree before;
        std::vector<std::pair<std::wstring, const wchar_t*>> locks;
        DWORD result;
        std::wstring refusal = L""; // the first failure record
        std::vector<std::wstring> kept = {};
        std::vector<std::wstring> unwritten = {};
    };
    const Case cases[] = {
        {"user settings of every size",
         {{kCaps, Dword(0)}, {kOcr, Dword(2)}, {keyboard010 + L"1\\Extra", Dword(5)}, {kNeverPop, Binary({})},
          {kShownCount, Binary({1, 0, 0, 0, 0})}, {kPopCount, {true, REG_SZ, {'7', 0, 0, 0}}}},
         {}, 1, {}, {kCaps, kOcr, keyboard010 + L"1\\Extra", kNeverPop, kPopCount}},
        {"keys refusing values", {}, {{service, noValues}, {kToastKey, noValues}, {keyboard010 + L"2", noValues}}, 1,
         valuesRefused, {}, {service + L"\\FailureActions", kToastKey + std::wstring(L"\\"), keyboard010 + L"2\\"}},
        {"a keyboard key that cannot be opened", {}, {{last, L"D:(A;;WD;;;WD)"}}, 0,
         L"Utility::hidbase::g_InitMicmuteKDB CreateKey failed=0 Line:%d Erorr:5", {},
         {keyboard010 + L"1\\", keyboard010 + L"2\\", last + L"\\"}},
        {"setting keys that cannot be made", {}, {{service, nullptr}}, 1, keysRefused, {},
         {kToastKey, kOsdKey, kCapabilityKey}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        ClearPackageKeys();
        WriteTree(row.before);
        std::deque<KeyAccessGuard> locks;
        for (const auto& [key, sddl] : row.locks) {
            if (sddl) locks.emplace_back(key, sddl);
            else CreateKey(key, REG_OPTION_VOLATILE);
        }
        ClearLog();
        EXPECT_EQ(row.result, AddReg(nullptr));
        const std::vector<std::wstring> records = Messages();
        const auto refused = std::find_if(records.begin(), records.end(), [](const std::wstring& record) {
            return record.find(L"fail") != std::wstring::npos;
        });
        const std::wstring first = refused == records.end() ? L"" : *refused;
        EXPECT_TRUE(RecordMatches(first, row.refusal)) << testsupport::Narrow(first);
        locks.clear();
        Tree expected = DefaultTree();
        for (const std::wstring& path : row.kept) expected[path] = row.before.at(path);
        for (auto entry = expected.begin(); entry != expected.end();) {
            const auto below = [&](const std::wstring& path) {
                return entry->first.rfind(path, 0) == 0 && (entry->first != path || path.back() != L'\\');
            };
            const bool unwritten = std::any_of(row.unwritten.begin(), row.unwritten.end(), below);
            entry = unwritten ? expected.erase(entry) : std::next(entry);
        }
        EXPECT_EQ(Dump(expected), Dump(PackageTree()));
    }
}

// A lock indicator that the user switches off while the writer runs stays off: the writer's check and its write of
// a default are one step for the codes. Each round the codes come as the writer reaches the indicators.
TEST_F(InstallDefaults, UsersCodesRacingTheWriterKeepTheirValues)
{
    const auto failureActionsWritten = [] { return ReadRaw(kServiceKey, kFailureActions).exists; };
    for (int round = 0; round < 100; ++round) {
        ClearPackageKeys();
        std::thread writer([] { AddReg(nullptr); });
        EXPECT_TRUE(testsupport::WaitUntil(failureActionsWritten, 10000, 0));
        for (int spin = round % 10 * 20; spin > 0; --spin) ::SwitchToThread();
        DispatchServiceControl(147, 0, nullptr);
        DispatchServiceControl(149, 0, nullptr);
        writer.join();
        ASSERT_EQ(0u, testsupport::ReadDword(HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd)) << "round " << round;
        ASSERT_EQ(0u, testsupport::ReadDword(HKEY_LOCAL_MACHINE, kToastKey, kShowNumlkOsd)) << "round " << round;
    }
}

// The remover goes on past a hotkey tree it cannot delete.
TEST_F(InstallDefaults, RemovalTakesBothTrees)
{
    const std::wstring locked = kKeyboardListKey + std::wstring(L"\\VID_7A7A&PID_0109");
    ASSERT_EQ(1u, AddReg(nullptr));
    CreateKey(locked + L"\\Deeper");
    const KeyAccessGuard lock(locked, L"D:(A;;WD;;;WD)"); // its child cannot be listed
    EXPECT_EQ(1u, InstallRegHelper::RemoveReg(nullptr));
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Osmira"));
}
