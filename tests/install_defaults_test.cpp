// The install-time writer and remover against the prefix's registry: the exact table they leave (keys, types,
// bytes), the settings they keep, their records, and the registry's refusals.
#include "registry/InstallRegHelper.h"
#include "support/RegistryTestSupport.h"

#include <deque>

using namespace regtest;
using namespace regkeys;

namespace {

const std::wstring kService = kServiceKey;
const std::wstring kToast = kToastKey;
const std::wstring kKeyboard010 = kKeyboardListKey + std::wstring(L"\\VID_7A7A&PID_010"); // and 1 or 2
const std::wstring kCaps = kToast + L"\\ShowCapslkOSD";
const std::wstring kNum = kToast + L"\\ShowNumlkOSD";
const std::wstring kPop = kToast + L"\\PopToastCapsNumlkOSD";
const std::wstring kPopCount = kToast + L"\\CountTimesPopToastCapsNumlkOSD";
const std::wstring kNever = kToast + L"\\NeverPopToast";
const std::wstring kOcr = kCapabilityKey + std::wstring(L"\\OcrSnippingKey");
const std::wstring kSetOk = L" SET val success: %d";

// The records of a run: the three setting keys', the service key's, each numeric default's in the table's order
// ('n' written, 'o' kept, 'r' refused, 'c' its key not made), then the keyboards'.
std::vector<std::wstring> Records(const std::wstring& keys, const std::wstring& service, const char* defaults,
                                  const std::wstring& keyboards = L"registry success!!!! Line:%d Erorr:%d")
{
    std::vector<std::wstring> records;
    for (const wchar_t* key : {kToastKey, kOsdKey, kCapabilityKey}) records.push_back(L"InitInfReg " + (key + keys));
    records.push_back(L"InitInfReg " + kService + service);
    for (const char* outcome = defaults; *outcome; ++outcome) {
        if (*outcome == 'o') records.push_back(L"InitInfReg " + kToast + L" has old val: %d");
        const wchar_t* write = *outcome == 'r'   ? L" WriteRegDWord fail: 5"
                               : *outcome == 'c' ? L" create key fail: 1021"
                                                 : L" WriteRegDWord success: %d";
        records.push_back(L"InitInfReg " + kToast + write);
    }
    records.push_back(L"Utility::hidbase::g_InitMicmuteKDB " + keyboards);
    return records;
}

using InstallDefaults = SettingsTest;

} // namespace

// Four bytes of any type, or none, are a value and kept. Lock 0x6001D refuses values only; null: a volatile key,
// below which nothing lasting can be made. What begins with an unwritten path is missing, but a key "\" stays.
TEST_F(InstallDefaults, EachRunLeavesTheTableKeepingTheUsersSettings)
{
    const wchar_t* const noValues = L"D:(A;;0x6001D;;;WD)";
    const std::wstring last = kKeyboardListKey + std::wstring(L"\\VID_7B7B&PID_0201");
    struct Case {
        const char* what;
        Tree before;
        std::vector<std::pair<std::wstring, const wchar_t*>> locks;
        DWORD result;
        std::vector<std::wstring> records;
        std::vector<std::wstring> kept = {};
        std::vector<std::wstring> unwritten = {};
    };
    const Case cases[] = {
        {"a clean registry", {}, {}, 1, Records(kSetOk, kSetOk, "nnnnn")},
        {"user settings",
         {{kCaps, Dword(0)}, {kPop, Dword(12)}, {kOcr, Dword(2)}, {kKeyboard010 + L"1\\Extra", Dword(5)}}, {}, 1,
         Records(kSetOk, kSetOk, "onnno"), {kCaps, kPop, kOcr, kKeyboard010 + L"1\\Extra"}},
        {"values of other sizes",
         {{kNum, Binary({1, 0, 0, 0, 0, 0, 0, 0})}, {kPopCount, Binary({1, 0, 0, 0, 0})}, {kNever, Binary({})},
          {kPop, {true, REG_SZ, {'7', 0, 0, 0}}}},
         {}, 1, Records(kSetOk, kSetOk, "nnnoo"), {kNever, kPop}},
        {"keys refusing values", {}, {{kService, noValues}, {kToast, noValues}, {kKeyboard010 + L"2", noValues}}, 1,
         Records(kSetOk, L" SET val failed: 5", "rrrrr"), {},
         {kService + L"\\FailureActions", kToast + L"\\", kKeyboard010 + L"2\\"}},
        {"a keyboard key that cannot be opened", {}, {{last, L"D:(A;;WD;;;WD)"}}, 0,
         Records(kSetOk, kSetOk, "nnnnn", L"CreateKey failed=0 Line:%d Erorr:5"), {},
         {kKeyboard010 + L"1\\", kKeyboard010 + L"2\\", last + L"\\"}},
        {"setting keys that cannot be made", {}, {{kService, nullptr}}, 1,
         Records(L" create Key failed: 1021", kSetOk, "ccccc"), {}, {kToast, kOsdKey, kCapabilityKey}},
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
        EXPECT_TRUE(RecordsMatch(Messages(), row.records));
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

// The remover goes on past a hotkey tree it cannot delete.
TEST_F(InstallDefaults, RemovalTakesBothTrees)
{
    ASSERT_EQ(1u, AddReg(nullptr));
    CreateKey(kKeyboard010 + L"9\\Deeper");
    const KeyAccessGuard locked(kKeyboard010 + L"9", L"D:(A;;WD;;;WD)"); // its child cannot be listed
    EXPECT_EQ(1u, InstallRegHelper::RemoveReg(nullptr));
    EXPECT_FALSE(KeyExists(kService));
    EXPECT_TRUE(KeyExists(L"SOFTWARE\\Osmira"));
}
