// Registry access against the prefix's real registry: each call's result, the registry's code
// it leaves as the last error (0xDEADBEEF: untouched), and what it leaves behind.
#include "registry/Registry.h"
#include "support/RegistryTestSupport.h"

#include <functional>

using namespace regtest;

namespace {

const std::wstring kScratch = L"SOFTWARE\\FnKeyRegistryTest", kToast = regkeys::kToastKey;

class RegistryCalls : public SettingsTest {
protected:
    testsupport::RegistryTreeGuard m_scratch{kScratch};
};

} // namespace

TEST_F(RegistryCalls, ResultsAndCodes)
{
    WriteTree({{kToast + L"\\Deeper\\Leaf", Dword(1)}, {kToast + L"\\ShowCapslkOSD", Dword(0x01020304)},
               {kScratch + L"\\Wide", Binary({1, 2, 3, 4, 5, 6, 7, 8})}, {kScratch + L"\\ReadOnly\\Old", Dword(3)}});
    CreateKey(kScratch + L"\\Tree\\A\\Leaf");
    CreateKey(kScratch + L"\\Tree\\C");
    CreateKey(kScratch + L"\\Tree\\B\\Inner");
    const KeyAccessGuard readOnly(kScratch + L"\\ReadOnly", L"D:(A;;KRWD;;;WD)");
    // B has a child and cannot be opened to list it. (A list without DELETE would do on Windows,
    // but Wine deletes such a key all the same.)
    const KeyAccessGuard locked(kScratch + L"\\Tree\\B", L"D:(A;;WD;;;WD)");
    BYTE buffer[8];
    DWORD size = 0, value = 0;
    const auto query = [&](DWORD bytes, const wchar_t* name = L"ShowCapslkOSD") {
        size = bytes;
        return QueryToastRegValue(name, buffer, &size);
    };
    const auto holds = [&](std::vector<BYTE> bytes) { return [&, bytes] { EXPECT_EQ(bytes, std::vector<BYTE>(buffer, buffer + 8)); }; };
    const auto deleteTree = [](const std::wstring& key) { return [key] { return LONG(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, key.c_str())); }; };
    struct Case { const char* what; std::function<LONG()> call; LONG result; DWORD lastError; std::function<void()> check = nullptr; };
    const Case cases[] = {
        {"query without a size", [&] { return QueryToastRegValue(L"ShowCapslkOSD", buffer, nullptr); }, ERROR_INVALID_PARAMETER,
         0xDEADBEEF, holds(std::vector<BYTE>(8, 0xAA))},
        {"query zeroes the rest", [&] { return query(8); }, ERROR_SUCCESS, 0xDEADBEEF, holds({4, 3, 2, 1, 0, 0, 0, 0})},
        {"query into too small a buffer", [&] { return query(2); }, ERROR_MORE_DATA, 0xDEADBEEF},
        {"query of a missing value", [&] { return query(8, L"Missing"); }, ERROR_FILE_NOT_FOUND, 0xDEADBEEF},
        {"delete three levels", deleteTree(regkeys::kServiceKey), TRUE, 0xDEADBEEF,
         [] { EXPECT_FALSE(KeyExists(regkeys::kServiceKey)); EXPECT_TRUE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services")); }},
        {"query of a missing key", [&] { return query(8); }, ERROR_FILE_NOT_FOUND, 0xDEADBEEF, holds(std::vector<BYTE>(8))},
        {"delete a missing key", deleteTree(kToast), TRUE, 0xDEADBEEF, [] { EXPECT_FALSE(KeyExists(regkeys::kServiceKey)); }},
        // Children go in enumeration order: A is gone, C is never reached, the top stays.
        {"delete stops at a locked child", deleteTree(kScratch + L"\\Tree"), FALSE, ERROR_ACCESS_DENIED,
         [] { EXPECT_EQ(Dump({{kScratch + L"\\Tree\\B\\", {}}, {kScratch + L"\\Tree\\C\\", {}}}), Dump(ReadTree(kScratch + L"\\Tree"))); }},
        {"read of a missing value", [&] { return ReadRegDwordValue(kScratch.c_str(), L"Missing", &value); }, FALSE, ERROR_FILE_NOT_FOUND},
        {"read of eight bytes", [&] { return ReadRegDwordValue(kScratch.c_str(), L"Wide", &value); }, FALSE, ERROR_MORE_DATA},
        {"write into a missing key", [] { return SetRegDwordValue(HKEY_LOCAL_MACHINE, (kScratch + L"\\New").c_str(), L"V", 1); },
         FALSE, ERROR_FILE_NOT_FOUND, [] { EXPECT_FALSE(KeyExists(kScratch + L"\\New")); }},
        {"write or create into a read-only key",
         [] { return TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, (kScratch + L"\\ReadOnly").c_str(), L"V", 1); }, FALSE,
         ERROR_ACCESS_DENIED, [] { EXPECT_EQ(Dump({{kScratch + L"\\ReadOnly\\Old", Dword(3)}}), Dump(ReadTree(kScratch + L"\\ReadOnly"))); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(std::begin(buffer), std::end(buffer), BYTE{0xAA});
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(c.result, c.call());
        EXPECT_EQ(c.lastError, ::GetLastError());
        if (c.check) c.check();
    }
}

TEST_F(RegistryCalls, GetSubKeysListsTheNamesThatFitAndLogsTheirNumber)
{
    CreateKey(kScratch + L"\\List\\VID_1&PID_2");
    CreateKey(kScratch + L"\\List\\VID_3&PID_4");
    CreateKey(kScratch + L"\\List\\" + std::wstring(255, L'L'));  // too long for the name buffer: passed over
    WriteTree({{kScratch + L"\\List\\NotAKey", Dword(1)}});
    win::UniqueRegKey list, empty;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kScratch + L"\\List").c_str(), 0, KEY_READ, list.put()));
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kScratch + L"\\List\\VID_1&PID_2").c_str(), 0, KEY_READ, empty.put()));
    EXPECT_EQ(std::vector<std::wstring>{}, GetSubKeys(empty.get()));
    EXPECT_EQ((std::vector<std::wstring>{L"VID_1&PID_2", L"VID_3&PID_4"}), GetSubKeys(list.get()));
    EXPECT_TRUE(RecordsMatch(Messages(), {L"\nNumber of subkeys: 3"})) << "an empty key logs nothing";
}
