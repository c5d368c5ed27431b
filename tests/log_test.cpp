// The log file as its readers see it: whole records, the byte-order mark, rotation and backups.
#include "log/UtilityLog.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <regex>
#include <thread>

using namespace testsupport;

namespace {

class LogFile : public LoggedTest {
protected:
    std::wstring Backup(int slot) const { return m_logFolder.File(L"_FnHotkeySvcUtility_" + std::to_wstring(slot) + L".log"); }
    std::wstring Raw() const  // the whole file as UTF-16, with any byte-order mark
    {
        const std::vector<unsigned char> bytes = ReadFileBytes(LogPath());
        return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    }
};

} // namespace

TEST(LogFormat, VersionAndLocalTime)
{
    EXPECT_EQ(L"65535.0.10.7", logformat::VersionText(MAKELONG(0, 65535), MAKELONG(7, 10)));
    EXPECT_EQ(L"[1.2.3.4 03-07 09:05:01] hi", logformat::Record(L"1.2.3.4", {2026, 3, 6, 7, 9, 5, 1, 999}, L"hi"));
    ScratchFolder folder(L"version");
    WriteFileBytes(folder.File(L"plain.exe"), {'M', 'Z', 0, 0});
    for (const wchar_t* file : {L"plain.exe", L"missing.exe"}) EXPECT_EQ(L"0.0.0.0", ReadFileVersionText(folder.File(file).c_str()));
}

// Each record is "[<the program's version> MM-DD hh:mm:ss] <message>" and CR LF; a new or empty
// file begins with a byte-order mark, a file begun without one stays so, 2 MiB are appended to.
TEST_F(LogFile, RecordsAndByteOrderMark)
{
    const std::wstring longText(2000, L'a'), a511(511, L'a');
    struct Case { bool exists; std::wstring before; std::function<void()> write; std::wstring message; };
    const Case cases[] = {
        {false, L"", [] { WriteLog(L"%s %d %llu %u %x", L"wide", -5, 18446744073709551615ULL, 4000000000u, 0xBEEFu); },
         L"wide -5 18446744073709551615 4000000000 beef"},
        {true, L"", [] { WriteLog(L"ends in line feed\n"); }, L"ends in line feed\n"},
        {true, L"x\r\n", [&] { WriteLog(L"%s", longText.c_str()); }, a511},
        {true, std::wstring(1048576, L'a'), [&] { WriteLog(L"%s%s%s", longText.c_str(), longText.c_str(), longText.c_str()); }, a511},
    };
    const std::wregex stamp(L"\\[" TEST_EXPECTED_VERSION L" \\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ");
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.message.substr(0, 20)));
        ClearLog();
        if (c.exists) WriteFileBytes(LogPath(), std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(c.before.data()),
                                                                           reinterpret_cast<const unsigned char*>(c.before.data() + c.before.size())));
        c.write();
        const std::wstring text = Raw();
        EXPECT_EQ(0, text.compare(0, c.before.size(), c.before));
        EXPECT_EQ((c.before.empty() ? L"\xFEFF" : L"") + (L"<> " + c.message + L"\r\n"),
                  std::regex_replace(text.substr(c.before.size()), stamp, L"<> "));
        EXPECT_FALSE(FileExists(Backup(1)));
    }
}

TEST_F(LogFile, NothingIsWrittenWithoutTheSwitchKeyAndAppendsAreCut)
{
    for (bool on : {false, true, false, true}) SetLogSwitch(on), WriteLog(on ? L"on" : L"off");
    EXPECT_EQ((std::vector<std::wstring>{L"on", L"on"}), Messages());
    ClearLog();
    CUtilityLog::AppendToLogFile(nullptr);
    EXPECT_FALSE(FileExists(LogPath()));
    CUtilityLog::AppendToLogFile(std::wstring(1000, L'z').c_str());
    EXPECT_EQ(L"\xFEFF" + std::wstring(780, L'z'), Raw());
}

// Past 2 MiB the file goes into the first backup slot that is missing, else into the least
// recently written one (the lowest of equals); the other backups stay as they are.
TEST_F(LogFile, RotationReplacesTheFirstMissingOrTheOldestBackup)
{
    const uint64_t t = 133500000000000000ULL;
    struct Case { uint64_t times[5]; int chosen; };  // 0: the slot is missing
    const Case cases[] = {{{t, t, 0, t, 0}, 3}, {{t + 5, t + 4, t + 1, t + 3, t + 2}, 3}, {{t + 9, t + 7, t + 7, t + 7, t + 7}, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.chosen);
        for (int slot = 1; slot <= 5; ++slot) {
            ::DeleteFileW(Backup(slot).c_str());
            if (!c.times[slot - 1]) continue;
            WriteFileBytes(Backup(slot), {1});
            win::UniqueHandle file(::CreateFileW(Backup(slot).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            const FILETIME time = {DWORD(c.times[slot - 1]), DWORD(c.times[slot - 1] >> 32)};
            ASSERT_TRUE(::SetFileTime(file.get(), nullptr, nullptr, &time));
        }
        EXPECT_EQ(Backup(c.chosen), CUtilityLog::GetBackupLogFileName());
        WriteFileBytes(LogPath(), std::vector<unsigned char>(2097153, 'c'));
        WriteLog(L"fresh");
        for (int slot = 1; slot <= 5; ++slot) {
            EXPECT_EQ(slot == c.chosen ? 2097153u : c.times[slot - 1] ? 1u : 0u, ReadFileBytes(Backup(slot)).size()) << slot;
        }
        EXPECT_EQ(L'\xFEFF', Raw()[0]);
        EXPECT_EQ(std::vector<std::wstring>{L"fresh"}, Messages());
    }
}

TEST_F(LogFile, ConcurrentWritersNeverLoseOrInterleaveARecord)
{
    std::vector<std::thread> writers;
    for (int w = 0; w < 8; ++w) writers.emplace_back([w] { for (int i = 0; i < 150; ++i) WriteLog(L"writer %d record %d %s", w, i, L"0123456789abcdef"); });
    for (std::thread& writer : writers) writer.join();
    int next[8] = {};
    const std::vector<std::wstring> messages = Messages();
    for (const std::wstring& m : messages) {
        const int w = m.size() > 7 && m[7] >= L'0' && m[7] < L'8' ? m[7] - L'0' : 0;  // each writer's records whole and in its own order
        ASSERT_EQ(L"writer " + std::to_wstring(w) + L" record " + std::to_wstring(next[w]++) + L" 0123456789abcdef", m);
    }
    EXPECT_EQ(8u * 150u, messages.size());
}
