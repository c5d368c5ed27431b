// The log file as its readers see it: records, byte-order mark, switch key, rotation (many writers: the log soak).
#include "log/UtilityLog.h"
#include "support/TestSupport.h"

#include <sddl.h>

#include <regex>

using namespace testsupport;

namespace {

class LogFile : public LoggedTest {
protected:
    std::wstring Backup(int slot) const
    {
        return m_logFolder.File(L"_FnHotkeySvcUtility_" + std::to_wstring(slot) + L".log");
    }
    std::wstring Text() const // the whole file, with any byte-order mark
    {
        const std::vector<unsigned char> bytes = ReadFileBytes(LogPath());
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    }
};

} // namespace

// A new or empty file begins with a byte-order mark, one of exactly 2 MiB is appended to, nothing is written while
// the switch is off, and a removed folder is made again (under Wine its owner reads back as the service's user).
TEST_F(LogFile, RecordsTheByteOrderMarkAndTheSwitchKey)
{
    const std::wstring longText(2000, L'a');
    struct Case { bool exists; std::wstring before; std::function<void()> write; std::wstring message; };
    const Case cases[] = {
        {false, L"", [&] {
             RemoveFolderTree(m_logFolder.Path());
             SetLogSwitch(false);
             WriteLog(L"while off");
             SetLogSwitch(true);
             ::SetLastError(1234);
             WriteLog(L"error: %d", 1234);
             EXPECT_EQ(1234u, ::GetLastError()); // the caller's, for its "error: %d" lines that follow
         }, L"error: 1234"},
        {true, L"", [] { WriteLog(L"%s %d %llu %u %x", L"wide", -5, ~0ULL, 4000000000u, 0xBEEFu); },
         L"wide -5 18446744073709551615 4000000000 beef"},
        {true, std::wstring(1048576, L'a'), [&] {
             WriteLog(L"%s%s%s", longText.c_str(), longText.c_str(), longText.c_str());
         }, std::wstring(511, L'a')},
    };
    const std::wregex stamp(L"\\[" TEST_EXPECTED_VERSION L" \\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ");
    for (const Case& row : cases) {
        SCOPED_TRACE(Narrow(row.message.substr(0, 20)));
        ClearLog();
        const auto* bytes = reinterpret_cast<const unsigned char*>(row.before.data());
        if (row.exists) WriteFileBytes(LogPath(), std::vector<unsigned char>(bytes, bytes + row.before.size() * 2));
        row.write();
        EXPECT_EQ(0, Text().compare(0, row.before.size(), row.before));
        const std::wstring after = std::regex_replace(Text().substr(row.before.size()), stamp, L"<> ");
        EXPECT_EQ((row.before.empty() ? L"\xFEFF<> " : L"<> ") + row.message + L"\r\n", after);
        EXPECT_FALSE(FileExists(Backup(1)));
    }
}

// Past 2 MiB the file goes into the first missing one of five backup slots, else into the least recently written
// one (the lowest of equals), and a fresh file begins; the other backups stay as they are.
TEST_F(LogFile, RotationReplacesTheFirstMissingOrTheOldestBackup)
{
    const uint64_t base = 133500000000000000ULL; // a file time in 2024
    const size_t rotatedSize = 2097153;
    struct Case {
        uint64_t times[5]; // 0: the slot is missing
        int chosen;
    };
    const Case cases[] = {
        {{base, base, 0, base, 0}, 3},
        {{base + 9, base, base, base, base}, 2},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.chosen);
        for (int slot = 1; slot <= 5; ++slot) {
            const uint64_t time = row.times[slot - 1];
            ::DeleteFileW(Backup(slot).c_str());
            if (!time) continue;
            WriteFileBytes(Backup(slot), {1});
            const DWORD access = FILE_WRITE_ATTRIBUTES;
            win::UniqueHandle file(::CreateFileW(Backup(slot).c_str(), access, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            const FILETIME written = {DWORD(time), DWORD(time >> 32)};
            ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &written));
        }
        WriteFileBytes(LogPath(), std::vector<unsigned char>(rotatedSize, 'c'));
        WriteLog(L"fresh");
        for (int slot = 1; slot <= 5; ++slot) {
            const size_t expected = slot == row.chosen ? rotatedSize : row.times[slot - 1] ? 1 : 0;
            EXPECT_EQ(expected, ReadFileBytes(Backup(slot)).size()) << slot;
        }
        EXPECT_EQ(std::vector<std::wstring>{L"fresh"}, Messages());
    }
}

// The log folder holds the log only when it is a real folder owned by SYSTEM, Administrators or the service's own
// user or default owner, and granting write, delete or permission rights to none but them; otherwise the reason.
TEST(LogFolderTrust, OwnerAndAccessListDecide)
{
    const std::wstring other = L"S-1-5-21-1-2-3-1001";
    const std::wstring grants = L"grants write, delete or permission rights to ";
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    struct Case { DWORD attributes; std::wstring sddl; std::wstring refusal; };
    const Case cases[] = {
        {folder, L"O:SY" + std::wstring(logtrust::kFolderSecurity), L""}, // as the log makes it
        {folder, L"O:BAD:(A;OICIIO;GA;;;CO)(D;;FA;;;WD)(A;;0x1200a9;;;WD)", L""},
        {folder, L"O:S-1-5-21-1-2-3-513D:(A;;FA;;;S-1-5-21-1-2-3-513)", L""}, // the service's default owner
        {folder, L"O:" + other + L"D:(A;;FA;;;SY)", L"owned by " + other},
        {folder, L"O:SYD:(A;;0x2;;;BU)", grants + L"S-1-5-32-545"}, // may add a file
        {folder, L"O:SYD:(A;;WD;;;AU)", grants + L"S-1-5-11"},
        {folder, L"O:SYD:(A;CIIO;GW;;;" + other + L")", grants + other}, // on the subfolders to come
        {folder, L"O:SY", L"no access list: everyone has full control"},
        {folder | FILE_ATTRIBUTE_REPARSE_POINT, L"O:SYD:", L"a link to another place (reparse point)"},
        {FILE_ATTRIBUTE_ARCHIVE, L"O:SYD:", L"not a folder"},
    };
    // S-1-5-21-1-2-3-513 as it is stored
    const BYTE defaultOwner[] = {1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 1, 2, 0, 0};
    const logtrust::ServiceIdentity service{{}, std::vector<BYTE>(std::begin(defaultOwner), std::end(defaultOwner))};
    for (const Case& row : cases) {
        SCOPED_TRACE(Narrow(row.sddl));
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        const wchar_t* sddl = row.sddl.c_str();
        ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, 0));
        const win::UniqueLocalMemory held(descriptor);
        PSID owner = nullptr;
        PACL dacl = nullptr;
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
        ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
        EXPECT_EQ(row.refusal, logtrust::LogFolderRefusal(row.attributes, owner, dacl, service));
    }
}
