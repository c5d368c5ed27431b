// Registry access against the prefix's real registry: each call's result, the registry's code it leaves as the last error
// (0xDEADBEEF when untouched), and what it leaves behind.
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
        {CR_SUCCESS, Listing::NotListed, Verdict::Present}, {CR_NO_SUCH_DEVNODE, Listing::Failed, Verdict::Gone},
        {CR_NO_SUCH_DEVNODE, Listing::Listed, Verdict::Present}, {CR_FAILURE, Listing::NotListed, Verdict::Gone},
        {CR_FAILURE, Listing::Failed, Verdict::Undecided}, {CR_ACCESS_DENIED, Listing::NotListed, Verdict::Undecided},
        {CR_REGISTRY_ERROR, Listing::NotListed, Verdict::Undecided}};
    for (const Case& c : cases) {
        EXPECT_EQ(int(c.verdict), int(Judge(c.located, c.listing))) << c.located << ", listing " << int(c.listing);
    }
}

TEST_F(RegistryCalls, ResultsAndTheRegistrysCodes)
{
    const std::wstring scratch = L"SOFTWARE\\FnKeyRegistryTest", toast = regkeys::kToastKey, top = scratch + L"\\Tree", readOnly = scratch + L"\\ReadOnly";
    const Guard guard(scratch);
    WriteTree({{toast + L"\\Deeper\\Leaf", Dword(1)}, {toast + L"\\ShowCapslkOSD", Dword(0x01020304)}, {scratch + L"\\Wide", Binary({1, 2, 3, 4, 5, 6, 7, 8})},
               {readOnly + L"\\Old", Dword(3)}});
    CreateKey(top + L"\\A\\Leaf"), CreateKey(top + L"\\C"), CreateKey(top + L"\\B\\Inner");
    const KeyAccessGuard readOnlyKey(readOnly, L"D:(A;;KRWD;;;WD)");
    const KeyAccessGuard locked(top + L"\\B", L"D:(A;;WD;;;WD)"); // B cannot be opened to list its child (Wine deletes a key without DELETE)
    BYTE buffer[8];
    DWORD size = 0, value = 0;
    const auto query = [&](DWORD bytes, const wchar_t* name = L"ShowCapslkOSD") { size = bytes; return QueryToastRegValue(name, buffer, &size); };
    const auto holds = [&](std::vector<BYTE> b) { return [&, b] { EXPECT_EQ(b, std::vector<BYTE>(buffer, buffer + 8)); }; };
    const auto remove = [](std::wstring key) { return [key] { return LONG(DeleteRegKeyTree(HKEY_LOCAL_MACHINE, key.c_str())); }; };
    const auto treeIs = [](std::wstring root, Tree tree) { return [root, tree] { EXPECT_EQ(Dump(tree), Dump(ReadTree(root))); }; };
    struct Case { const char* what; std::function<LONG()> call; LONG result; DWORD error; std::function<void()> check = nullptr; };
    const Case cases[] = {
        {"query without a size", [&] { return QueryToastRegValue(L"ShowCapslkOSD", buffer, nullptr); }, ERROR_INVALID_PARAMETER, 0xDEADBEEF,
         holds(std::vector<BYTE>(8, 0xAA))},
        {"query zeroes the rest", [&] { return query(8); }, ERROR_SUCCESS, 0xDEADBEEF, holds({4, 3, 2, 1, 0, 0, 0, 0})},
        {"query into too small a buffer", [&] { return query(2); }, ERROR_MORE_DATA, 0xDEADBEEF},
        {"query of a missing value", [&] { return query(8, L"Missing"); }, ERROR_FILE_NOT_FOUND, 0xDEADBEEF},
        {"delete three levels", remove(regkeys::kServiceKey), TRUE, 0xDEADBEEF, treeIs(regkeys::kServiceKey, {})},
        {"query of a missing key", [&] { return query(8); }, ERROR_FILE_NOT_FOUND, 0xDEADBEEF, holds(std::vector<BYTE>(8))},
        {"delete a missing key", remove(toast), TRUE, 0xDEADBEEF, [] { EXPECT_FALSE(KeyExists(regkeys::kServiceKey)); }},
        // Children go in enumeration order: A is gone, C is never reached, the top stays.
        {"delete stops at a locked child", remove(top), FALSE, ERROR_ACCESS_DENIED, treeIs(top, {{top + L"\\B\\", {}}, {top + L"\\C\\", {}}})},
        {"read of a missing value", [&] { return ReadRegDwordValue(scratch.c_str(), L"None", &value); }, FALSE, ERROR_FILE_NOT_FOUND},
        {"read of eight bytes", [&] { return ReadRegDwordValue(scratch.c_str(), L"Wide", &value); }, FALSE, ERROR_MORE_DATA},
        {"write into a missing key", [&] { return SetRegDwordValue(HKEY_LOCAL_MACHINE, (scratch + L"\\New").c_str(), L"V", 1); }, FALSE,
         ERROR_FILE_NOT_FOUND, [&] { EXPECT_FALSE(KeyExists(scratch + L"\\New")); }},
        {"write or create into a read-only key", [&] { return TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, readOnly.c_str(), L"V", 1); }, FALSE,
         ERROR_ACCESS_DENIED, treeIs(readOnly, {{readOnly + L"\\Old", Dword(3)}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::fill(std::begin(buffer), std::end(buffer), BYTE{0xAA});
        ::SetLastError(0xDEADBEEF);
        EXPECT_EQ(c.result, c.call());
        EXPECT_EQ(c.error, ::GetLastError());
        if (c.check) c.check();
    }
}
