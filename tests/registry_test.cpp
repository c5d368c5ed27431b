// Registry access against the prefix's real registry: what each operation passes to the
// registry shows in the keys and values it leaves behind and in the error it reports.
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "support/RegistryTestSupport.h"

#include <gtest/gtest.h>

using namespace regtest;

namespace {

const std::wstring kScratch = L"SOFTWARE\\FnKeyRegistryTest";

class RegistryAccess : public SettingsTest {
protected:
    void SetUp() override
    {
        SettingsTest::SetUp();
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScratch.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kScratch.c_str());
    }
    void TearDown() override
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kScratch.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kScratch.c_str());
        SettingsTest::TearDown();
    }
};

} // namespace

TEST_F(RegistryAccess, DeleteRegKeyTreeCountsAMissingKeyAsDeletedAndCreatesNothing)
{
    const std::wstring missing = kScratch + L"\\NotThere";
    EXPECT_EQ(TRUE, DeleteRegKeyTree(HKEY_LOCAL_MACHINE, missing.c_str()));
    EXPECT_FALSE(KeyExists(missing));
    EXPECT_FALSE(KeyExists(kScratch));
}

TEST_F(RegistryAccess, DeleteRegKeyTreeRemovesAThreeLevelTreeChildrenFirst)
{
    const std::wstring top = kScratch + L"\\Top";
    CreateKey(top + L"\\Middle\\Leaf");
    CreateKey(top + L"\\Middle\\Leaf2");
    CreateKey(top + L"\\Sibling");
    WriteDword(top + L"\\Middle\\Leaf", L"v", 1);
    WriteDword(top, L"v", 2);
    // The platform refuses to delete a key that still has subkeys, so the tree can only go
    // when the children go first.
    ASSERT_NE(ERROR_SUCCESS, ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, top.c_str()));

    EXPECT_EQ(TRUE, DeleteRegKeyTree(HKEY_LOCAL_MACHINE, top.c_str()));
    EXPECT_FALSE(KeyExists(top));
    EXPECT_TRUE(KeyExists(kScratch)) << "the parent must stay";
    // Registry access logs nothing of its own here.
    EXPECT_TRUE(LogMessages().empty()) << testsupport::Narrow(Join(LogMessages()));
}

TEST_F(RegistryAccess, QueryToastRegValueRefusesMissingArgumentsWithoutTouchingTheRegistry)
{
    BYTE buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    DWORD size = sizeof buffer;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, QueryToastRegValue(nullptr, buffer, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, QueryToastRegValue(L"ShowCapslkOSD", nullptr, &size));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, QueryToastRegValue(L"ShowCapslkOSD", buffer, nullptr));
    EXPECT_EQ(0xAA, buffer[0]) << "the buffer is not cleared before the arguments are checked";
    EXPECT_EQ(sizeof buffer, size);
    EXPECT_FALSE(KeyExists(regkeys::kToastKey));
}

TEST_F(RegistryAccess, QueryToastRegValueReadsZeroFillsAndReportsTheRegistrysCode)
{
    BYTE buffer[8];
    DWORD size = sizeof buffer;
    std::fill(std::begin(buffer), std::end(buffer), BYTE{0xAA});
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryToastRegValue(L"ShowCapslkOSD", buffer, &size)) << "missing key";
    EXPECT_EQ(0, buffer[0]);
    EXPECT_EQ(0, buffer[7]);

    WriteDword(regkeys::kToastKey, L"ShowCapslkOSD", 0x01020304);
    std::fill(std::begin(buffer), std::end(buffer), BYTE{0xAA});
    size = sizeof buffer;
    EXPECT_EQ(ERROR_SUCCESS, QueryToastRegValue(L"ShowCapslkOSD", buffer, &size));
    EXPECT_EQ(4u, size);
    EXPECT_EQ((std::vector<BYTE>{4, 3, 2, 1, 0, 0, 0, 0}), std::vector<BYTE>(buffer, buffer + 8))
        << "the bytes beyond the value are zeroed";

    size = sizeof buffer;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryToastRegValue(L"NoSuchValue", buffer, &size)) << "missing value";

    DWORD small = 0;
    size = 2;
    EXPECT_EQ(ERROR_MORE_DATA, QueryToastRegValue(L"ShowCapslkOSD", &small, &size)) << "buffer too small";

    // The type is not looked at: a string of four bytes is read as it is.
    WriteRaw(regkeys::kToastKey, L"Text", REG_SZ, Utf16Bytes(L"1"));
    DWORD text = 0;
    size = sizeof text;
    EXPECT_EQ(ERROR_SUCCESS, QueryToastRegValue(L"Text", &text, &size));
    EXPECT_EQ(0x31u, text);
}

TEST_F(RegistryAccess, SetRegDwordValueNeedsTheKeyWhileTrySetRegKeyValueIntCreatesIt)
{
    const std::wstring key = kScratch + L"\\A\\B";
    ::SetLastError(0);
    EXPECT_EQ(FALSE, SetRegDwordValue(HKEY_LOCAL_MACHINE, key.c_str(), L"Value", 5));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), ::GetLastError()) << "the caller logs the registry's code";
    EXPECT_FALSE(KeyExists(kScratch));

    EXPECT_EQ(TRUE, TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, key.c_str(), L"Value", 5));
    EXPECT_TRUE(IsDword(ReadRaw(key, L"Value"), 5));

    // Now that the key is there, the plain write works and replaces any earlier type.
    WriteRaw(key, L"Other", REG_SZ, Utf16Bytes(L"text"));
    EXPECT_EQ(TRUE, SetRegDwordValue(HKEY_LOCAL_MACHINE, key.c_str(), L"Other", 0xFFFFFFFF));
    EXPECT_TRUE(IsDword(ReadRaw(key, L"Other"), 0xFFFFFFFF));
}

TEST_F(RegistryAccess, TrySetRegKeyValueIntReportsAKeyThatCannotBeCreated)
{
    // Below a volatile key only volatile keys may be created: the fallback creation fails.
    win::UniqueRegKey parent;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kScratch.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                               KEY_ALL_ACCESS, nullptr, parent.put(), nullptr));
    const std::wstring key = kScratch + L"\\Child";
    ::SetLastError(0);
    EXPECT_EQ(FALSE, TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, key.c_str(), L"Value", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CHILD_MUST_BE_VOLATILE), ::GetLastError());
    EXPECT_FALSE(KeyExists(key));
    EXPECT_EQ(FALSE, OpenOrCreateRegKey(HKEY_LOCAL_MACHINE, key.c_str()));
}

TEST_F(RegistryAccess, ReadRegDwordValueReadsUpToFourBytesOfAnyType)
{
    DWORD value = 0;
    EXPECT_EQ(FALSE, ReadRegDwordValue(kScratch.c_str(), L"Value", &value)) << "missing key";

    WriteDword(kScratch, L"Value", 42);
    EXPECT_EQ(TRUE, ReadRegDwordValue(kScratch.c_str(), L"Value", &value));
    EXPECT_EQ(42u, value);
    EXPECT_EQ(FALSE, ReadRegDwordValue(kScratch.c_str(), L"Missing", &value));

    WriteRaw(kScratch, L"Wide", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
    ::SetLastError(0);
    EXPECT_EQ(FALSE, ReadRegDwordValue(kScratch.c_str(), L"Wide", &value)) << "8 bytes do not fit";
    EXPECT_EQ(static_cast<DWORD>(ERROR_MORE_DATA), ::GetLastError());

    WriteRaw(kScratch, L"Short", REG_SZ, Utf16Bytes(L"7"));
    EXPECT_EQ(TRUE, ReadRegDwordValue(kScratch.c_str(), L"Short", &value));
    EXPECT_EQ(0x37u, value);
}

TEST_F(RegistryAccess, OpenOrCreateRegKeyOpensOrCreatesAndLeavesValuesAlone)
{
    const std::wstring key = kScratch + L"\\X\\Y";
    EXPECT_EQ(TRUE, OpenOrCreateRegKey(HKEY_LOCAL_MACHINE, key.c_str()));
    EXPECT_TRUE(KeyExists(key));
    WriteDword(key, L"Keep", 9);
    EXPECT_EQ(TRUE, OpenOrCreateRegKey(HKEY_LOCAL_MACHINE, key.c_str()));
    EXPECT_TRUE(IsDword(ReadRaw(key, L"Keep"), 9));
}

TEST_F(RegistryAccess, CreateKeyOnOneHolderClosesTheFirstKeyBeforeHoldingTheSecond)
{
    const std::wstring first = kScratch + L"\\First";
    const std::wstring second = kScratch + L"\\Second";
    {
        ZRegistry holder;
        EXPECT_EQ(nullptr, holder.Key());
        ASSERT_EQ(TRUE, holder.CreateKey(first.c_str()));
        const HKEY firstKey = holder.Key();
        ASSERT_NE(nullptr, firstKey);
        ASSERT_EQ(TRUE, holder.CreateKey(second.c_str()));
        const HKEY secondKey = holder.Key();
        // A handle value can only be handed out again once it was closed; otherwise the old
        // handle must be dead.
        if (secondKey != firstKey) {
            DWORD subKeys = 0;
            EXPECT_EQ(ERROR_INVALID_HANDLE, ::RegQueryInfoKeyW(firstKey, nullptr, nullptr, nullptr, &subKeys, nullptr,
                                                               nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
        }
        const DWORD data = 77;
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(secondKey, L"Through", 0, REG_DWORD,
                                                  reinterpret_cast<const BYTE*>(&data), sizeof data));
    }
    EXPECT_TRUE(KeyExists(first));
    EXPECT_TRUE(IsDword(ReadRaw(second, L"Through"), 77));
    EXPECT_FALSE(ReadRaw(first, L"Through").exists);
}

TEST_F(RegistryAccess, GetSubKeysListsNamesInOrderAndLogsTheirNumber)
{
    CreateKey(kScratch + L"\\Empty");
    {
        win::UniqueRegKey key;
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kScratch + L"\\Empty").c_str(), 0, KEY_READ, key.put()));
        EXPECT_TRUE(GetSubKeys(key.get()).empty());
        EXPECT_TRUE(LogMessages().empty()) << "an empty key logs nothing";
    }
    CreateKey(kScratch + L"\\List\\VID_1&PID_2");
    CreateKey(kScratch + L"\\List\\VID_3&PID_4");
    WriteDword(kScratch + L"\\List", L"NotAKey", 1);
    win::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (kScratch + L"\\List").c_str(), 0, KEY_READ, key.put()));
    EXPECT_EQ((std::vector<std::wstring>{L"VID_1&PID_2", L"VID_3&PID_4"}), GetSubKeys(key.get()));
    EXPECT_TRUE(RecordsMatch(LogMessages(), {L"\nNumber of subkeys: 2"}));
}

TEST_F(RegistryAccess, GetSubKeysCopesWithHundredsOfKeysAndNamesOfTheLongestLength)
{
    const std::wstring list = kScratch + L"\\Many";
    for (int i = 0; i < 300; ++i) CreateKey(list + L"\\K" + std::to_wstring(1000 + i));
    const std::wstring longest(255, L'L');  // the longest name a key may have
    const std::wstring almost(254, L'M');
    CreateKey(list + L"\\" + longest);
    CreateKey(list + L"\\" + almost);

    win::UniqueRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, list.c_str(), 0, KEY_READ, key.put()));
    const std::vector<std::wstring> names = GetSubKeys(key.get());
    // The name buffer is announced as 255 characters with its terminator, so a name of 255
    // characters does not fit and is passed over; every other name is listed.
    EXPECT_EQ(301u, names.size());
    EXPECT_EQ(names.end(), std::find(names.begin(), names.end(), longest));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), almost));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), L"K1299"));
    EXPECT_TRUE(RecordsMatch(LogMessages(), {L"\nNumber of subkeys: 302"}));
}

TEST_F(RegistryAccess, DeleteRegKeyTreeStopsAtAChildThatCannotBeDeleted)
{
    const std::wstring top = kScratch + L"\\Top";
    CreateKey(top + L"\\A\\Leaf");
    CreateKey(top + L"\\B\\Inner");
    CreateKey(top + L"\\C");
    // B has a child and cannot be opened to enumerate it, so B cannot go. (A DACL without
    // DELETE alone would do on Windows, but Wine deletes such a key all the same.)
    const KeyAccessGuard locked(top + L"\\B", L"D:(A;;WD;;;WD)");
    ASSERT_EQ(ERROR_SUCCESS, locked.Status());

    ::SetLastError(0);
    EXPECT_EQ(FALSE, DeleteRegKeyTree(HKEY_LOCAL_MACHINE, top.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError()) << "the caller logs the registry's code";
    // Children go in enumeration order: A before the refusal stays deleted, C after it is
    // never reached, and the top cannot go while it has children.
    EXPECT_EQ((std::vector<std::wstring>{L"B", L"C"}), SubKeyNames(top));
}

TEST_F(RegistryAccess, RefusedWriteAccessGivesAReadOnlyHolderAndFailedWrites)
{
    const std::wstring key = kScratch + L"\\ReadOnly";
    WriteDword(key, L"Old", 3);
    const KeyAccessGuard readOnly(key, L"D:(A;;KRWD;;;WD)");
    ASSERT_EQ(ERROR_SUCCESS, readOnly.Status());

    ZRegistry holder;
    EXPECT_EQ(TRUE, holder.CreateKey(key.c_str())) << "a read-only handle still counts as success";
    ASSERT_NE(nullptr, holder.Key());
    DWORD old = 0;
    DWORD size = sizeof old;
    EXPECT_EQ(ERROR_SUCCESS, ::RegQueryValueExW(holder.Key(), L"Old", nullptr, nullptr, reinterpret_cast<BYTE*>(&old),
                                                &size));
    EXPECT_EQ(3u, old);
    const DWORD data = 1;
    EXPECT_EQ(ERROR_ACCESS_DENIED, ::RegSetValueExW(holder.Key(), L"New", 0, REG_DWORD,
                                                    reinterpret_cast<const BYTE*>(&data), sizeof data));

    ::SetLastError(0);
    EXPECT_EQ(FALSE, SetRegDwordValue(HKEY_LOCAL_MACHINE, key.c_str(), L"New", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    // The key is there, so the retry only opens it and the second write is refused as well.
    ::SetLastError(0);
    EXPECT_EQ(FALSE, TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, key.c_str(), L"New", 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), ::GetLastError());
    EXPECT_FALSE(ReadRaw(key, L"New").exists);
    EXPECT_TRUE(IsDword(ReadRaw(key, L"Old"), 3));
}
