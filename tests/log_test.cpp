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
// the switch is off (its key deleted since the last record), and a removed folder is made again once the service's
// run has begun, not before, and then held (under Wine its owner reads back as the service's user).
TEST_F(LogFile, RecordsTheByteOrderMarkAndTheSwitchKey)
{
    const std::wregex stamp(L"\\[" TEST_EXPECTED_VERSION L" \\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ");
    const auto recordsFrom = [&](size_t offset) { return std::regex_replace(Text().substr(offset), stamp, L"<> "); };
    RemoveFolderTree(m_logFolder.Path());
    WriteLog(L"as a console run");
    EXPECT_FALSE(FileExists(m_logFolder.Path()));
    CUtilityLog::MaintainFolder();
    SetLogSwitch(false);
    WriteLog(L"while off");
    SetLogSwitch(true);
    ::SetLastError(1234);
    WriteLog(L"error: %d", 1234);
    EXPECT_EQ(1234u, ::GetLastError()); // the caller's, for its "error: %d" lines that follow
    EXPECT_EQ(L"\xFEFF<> error: 1234\r\n", recordsFrom(0));
    const std::wstring moved = m_logFolder.Path() + L"_moved";
    EXPECT_FALSE(::MoveFileW(m_logFolder.Path().c_str(), moved.c_str())); // held, so nobody takes its name

    WriteFileBytes(LogPath(), {});
    WriteLog(L"%s %d %llu %u %x", L"wide", -5, ~0ULL, 4000000000u, 0xBEEFu);
    EXPECT_EQ(L"\xFEFF<> wide -5 18446744073709551615 4000000000 beef\r\n", recordsFrom(0));

    const std::wstring full(1048576, L'a');
    const auto* bytes = reinterpret_cast<const unsigned char*>(full.data());
    WriteFileBytes(LogPath(), std::vector<unsigned char>(bytes, bytes + full.size() * 2));
    const std::wstring longText(2000, L'a');
    WriteLog(L"%s%s%s", longText.c_str(), longText.c_str(), longText.c_str());
    EXPECT_EQ(0, Text().compare(0, full.size(), full));
    EXPECT_EQ(L"<> " + std::wstring(511, L'a') + L"\r\n", recordsFrom(full.size()));
}

// Past 2 MiB the file goes into the first missing one of five backup slots, else into the least recently written
// one (the lowest of equals), and a fresh file begins, with its mark; the other backups stay.
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
        EXPECT_TRUE(std::regex_match(Text(), std::wregex(L"\xFEFF\\[[^\\]]+\\] fresh\r\n"))) << Narrow(Text());
    }
}

// The log folder holds the log when it is a real folder owned by SYSTEM, Administrators or the service's own user or
// default owner, granting write, delete or permission rights to none but them; one of SYSTEM or Administrators whose
// access list is not the log's own is adopted (the refusal: of the list it has); otherwise the reason.
TEST(LogFolderTrust, OwnerAndAccessListDecide)
{
    using logtrust::FolderVerdict;
    const std::wstring own = L"O:S-1-5-21-1-2-3-513"; // the service's default owner
    const std::wstring other = L"S-1-5-21-1-2-3-1001";
    const std::wstring grants = L"grants write, delete or permission rights to ";
    const std::wstring made = logtrust::kFolderSecurity;
    const std::wstring usersRead = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)"; // an earlier version's
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    struct Case { DWORD attributes; std::wstring sddl; FolderVerdict verdict; std::wstring refusal; };
    const Case cases[] = {
        {folder, L"O:SY" + made, FolderVerdict::Use, L""}, // as the log makes it
        {folder, L"O:SY" + usersRead, FolderVerdict::Adopt, L""},
        {folder, L"O:SYD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;CIID;0x100026;;;BU)", FolderVerdict::Adopt,
         grants + L"S-1-5-32-545"}, // Temp's grants, inherited
        {folder, L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", FolderVerdict::Adopt, L""}, // not protected
        {folder, L"O:SY", FolderVerdict::Adopt, L"no access list: everyone has full control"},
        {folder, own + L"D:(A;OICIIO;GA;;;CO)(D;;FA;;;WD)(A;;0x1200a9;;;WD)", FolderVerdict::Use, L""},
        {folder, L"O:" + other + made, FolderVerdict::Refuse, L"owned by " + other},
        {folder, own + L"D:(A;;0x2;;;BU)", FolderVerdict::Refuse, grants + L"S-1-5-32-545"}, // may add a file
        {folder, own + L"D:(A;;WD;;;AU)", FolderVerdict::Refuse, grants + L"S-1-5-11"},
        {folder, own + L"D:(A;CIIO;GW;;;" + other + L")", FolderVerdict::Refuse, grants + other}, // on subfolders
        {folder | FILE_ATTRIBUTE_REPARSE_POINT, L"O:SYD:", FolderVerdict::Refuse,
         L"a link to another place (reparse point)"},
        {FILE_ATTRIBUTE_ARCHIVE, L"O:SYD:", FolderVerdict::Refuse, L"not a folder"},
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
        const logtrust::LogFolderDecision decision = logtrust::DecideLogFolder(row.attributes, descriptor, service);
        EXPECT_EQ(int(row.verdict), int(decision.verdict));
        EXPECT_EQ(row.refusal, decision.refusal);
    }
    // Under Wine the list is not kept: the adoption's call is only seen to succeed.
    const ScratchFolder scratch(L"log_adopted");
    const win::UniqueHandle adopted = logtrust::OpenFolderNoFollow(scratch.Path(), FILE_SHARE_READ, WRITE_DAC);
    EXPECT_EQ(0u, logtrust::ProtectLogFolder(adopted.get()));
}
