// Registry access against the prefix's real registry: each call's result, its last error and what it leaves behind.
#include "registry/DeviceWatch.h"
#include "registry/Registry.h"
#include "support/RegistryTestSupport.h"

using namespace regtest;
using RegistryCalls = SettingsTest;

// The watch's verdict on one check: only a clear absence removes the package, any failure keeps it.
TEST(DeviceCheck, OnlyAClearAbsenceIsGone)
{
    using namespace devicecheck;
    const struct Case { CONFIGRET located; Listing listing; Verdict verdict; } cases[] = {
        {CR_SUCCESS, Listing::NotListed, Verdict::Present},
        {CR_NO_SUCH_DEVNODE, Listing::Failed, Verdict::Gone},
        {CR_NO_SUCH_DEVNODE, Listing::Listed, Verdict::Present},
        {CR_FAILURE, Listing::NotListed, Verdict::Gone},
        {CR_FAILURE, Listing::Failed, Verdict::Undecided},
        {CR_ACCESS_DENIED, Listing::NotListed, Verdict::Undecided},
    };
    for (const Case& row : cases) {
        const int verdict = int(Judge(row.located, row.listing));
        EXPECT_EQ(int(row.verdict), verdict) << row.located << ", listing " << int(row.listing);
    }
}

// The console user's per-user keys are reached through the hive opened for the impersonating thread, never through
// the service's own HKEY_CURRENT_USER, which Wine cannot tell apart from the user's.
TEST(PerUserHive, TheUsersOwnWhileImpersonating)
{
    const HKEY userHive = reinterpret_cast<HKEY>(0x1234);
    const struct Case { bool impersonated; LONG opened; HKEY userHive; HKEY root; } cases[] = {
        {true, ERROR_SUCCESS, userHive, userHive},
        {true, ERROR_ACCESS_DENIED, nullptr, nullptr},
        {false, ERROR_SUCCESS, nullptr, HKEY_CURRENT_USER},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(row.root, PerUserRoot(row.impersonated, row.opened, row.userHive)) << row.impersonated << row.opened;
    }
}

TEST_F(RegistryCalls, ResultsAndTheRegistrysCodes)
{
    const std::wstring scratch = L"SOFTWARE\\FnKeyRegistryTest";
    const std::wstring top = scratch + L"\\Tree";
    const std::wstring readOnly = scratch + L"\\ReadOnly";
    const Guard guard(scratch);
    WriteTree({{kCaps, Dword(0x01020304)},
               {scratch + L"\\Wide", Binary({1, 2, 3, 4, 5, 6, 7, 8})},
               {readOnly + L"\\Old", Dword(3)}});
    for (const wchar_t* child : {L"\\A\\Leaf", L"\\C", L"\\B\\Inner"}) CreateKey(top + child);
    const KeyAccessGuard readOnlyKey(readOnly, L"D:(A;;KRWD;;;WD)");
    const KeyAccessGuard locked(top + L"\\B", L"D:(A;;WD;;;WD)"); // not listable (Wine deletes a key without DELETE)
    BYTE buffer[8];
    DWORD size = 8;
    DWORD value = 0;
    const auto holds = [&](std::vector<BYTE> bytes) {
        return [&, bytes] { EXPECT_EQ(bytes, std::vector<BYTE>(buffer, buffer + 8)); };
    };
    const auto remove = [](std::wstring key) {
        return [key] { return LONG(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, key.c_str())); };
    };
    const auto treeIs = [](std::wstring root, Tree tree) {
        return [root, tree] { EXPECT_EQ(Dump(tree), Dump(ReadTree(root))); };
    };
    struct Case {
        const char* what;
        std::function<LONG()> call;
        LONG result;
        DWORD error;
        std::function<void()> check;
    };
    const DWORD untouched = 0xDEADBEEF;
    const Case cases[] = {
        {"query without a size", [&] { return QueryToastRegValue(L"ShowCapslkOSD", buffer, nullptr); },
         ERROR_INVALID_PARAMETER, untouched, holds(std::vector<BYTE>(8, 0xAA))},
        {"query zeroes the rest", [&] { return QueryToastRegValue(L"ShowCapslkOSD", buffer, &size); }, ERROR_SUCCESS,
         untouched, holds({4, 3, 2, 1, 0, 0, 0, 0})},
        {"delete a missing key", remove(scratch + L"\\Missing"), TRUE, untouched, nullptr},
        // Children go in enumeration order: A is gone, C is never reached, the top stays.
        {"delete stops at a locked child", remove(top), FALSE, ERROR_ACCESS_DENIED,
         treeIs(top, {{top + L"\\B\\", {}}, {top + L"\\C\\", {}}})},
        {"read of eight bytes", [&] { return ReadRegDwordValue(scratch.c_str(), L"Wide", &value); }, FALSE,
         ERROR_MORE_DATA, nullptr},
        {"write or create into a read-only key",
         [&] { return LONG(TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, readOnly.c_str(), L"V", 1)); }, FALSE,
         ERROR_ACCESS_DENIED, treeIs(readOnly, {{readOnly + L"\\Old", Dword(3)}})},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        std::fill(std::begin(buffer), std::end(buffer), BYTE{0xAA});
        ::SetLastError(untouched);
        EXPECT_EQ(row.result, row.call());
        EXPECT_EQ(row.error, ::GetLastError());
        if (row.check) row.check();
    }
}
