// The log file as its readers see it: bytes, records, rotation and backups.
#include "log/UtilityLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

using namespace testsupport;

namespace {

const std::wstring kStamp = L"[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

class LogFile : public LoggedTest {
protected:
    std::wstring BackupPath(int slot) const
    {
        return m_logFolder.File(L"_FnHotkeySvcUtility_" + std::to_wstring(slot) + L".log");
    }
};

void SetLastWriteTime(const std::wstring& path, uint64_t fileTime)
{
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    FILETIME time = {static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)};
    ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &time));
    ::CloseHandle(file);
}

std::vector<unsigned char> Utf16Bytes(const std::wstring& text)
{
    std::vector<unsigned char> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<unsigned char>(c & 0xFF));
        bytes.push_back(static_cast<unsigned char>(c >> 8));
    }
    return bytes;
}

size_t CountByteOrderMarks(const std::vector<unsigned char>& bytes)
{
    size_t marks = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) marks += (bytes[i] == 0xFF && bytes[i + 1] == 0xFE);
    return marks;
}

} // namespace

TEST(LogFormat, VersionTextJoinsFourWordsWithoutLeadingZeros)
{
    EXPECT_EQ(L"1.2.3.4", logformat::VersionText(MAKELONG(2, 1), MAKELONG(4, 3)));
    EXPECT_EQ(L"65535.0.10.7", logformat::VersionText(MAKELONG(0, 65535), MAKELONG(7, 10)));
}

TEST(LogFormat, RecordCarriesVersionAndLocalTimeWithoutYear)
{
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 7;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 1;
    t.wMilliseconds = 999;
    EXPECT_EQ(L"[1.2.3.4 03-07 09:05:01] hello\r\n", logformat::Record(L"1.2.3.4", t, L"hello\r\n"));
}

TEST(LogFormat, BackupSlotIsTheFirstMissingThenTheOldestThenTheLowest)
{
    using Slots = std::optional<uint64_t>[CUtilityLog::kBackupSlots];
    const uint64_t t = 133000000000000000ULL;
    Slots noneMissing = {t + 5, t + 4, t + 1, t + 3, t + 2};
    EXPECT_EQ(2u, logformat::ChooseBackupSlot(noneMissing));
    Slots thirdMissing = {t, t, std::nullopt, t, std::nullopt};
    EXPECT_EQ(2u, logformat::ChooseBackupSlot(thirdMissing));
    Slots equal = {t + 9, t + 3, t + 7, t + 3, t + 3};
    EXPECT_EQ(1u, logformat::ChooseBackupSlot(equal));
    Slots allEqual = {t, t, t, t, t};
    EXPECT_EQ(0u, logformat::ChooseBackupSlot(allEqual));
}

TEST(LogVersion, ComesFromTheExecutablesResourceOrIsZeros)
{
    CUtilityLog::LoadModuleVersion();
    EXPECT_EQ(TEST_EXPECTED_VERSION, CUtilityLog::VersionText());

    ScratchFolder folder(L"version");
    WriteFileBytes(folder.File(L"plain.exe"), {'M', 'Z', 0, 0});
    EXPECT_EQ(L"0.0.0.0", ReadFileVersionText(folder.File(L"plain.exe").c_str()));
    EXPECT_EQ(L"0.0.0.0", ReadFileVersionText(folder.File(L"missing.exe").c_str()));
}

TEST_F(LogFile, FirstRecordOfANewFileFollowsAByteOrderMark)
{
    WriteLog(L"first %s %d %llu %u %x", L"wide", -5, 18446744073709551615ULL, 4000000000u, 0xBEEFu);
    const std::vector<unsigned char> bytes = ReadFileBytes(LogPath());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    const std::wstring text = ReadUtf16File(LogPath());
    const std::wregex record(L"\\[" + std::wstring(TEST_EXPECTED_VERSION) + L" " + kStamp +
                             L"\\] first wide -5 18446744073709551615 4000000000 beef\r\n");
    EXPECT_TRUE(std::regex_match(text, record)) << Narrow(text);
}

TEST_F(LogFile, LaterRecordsAndForeignContentGetNoSecondMark)
{
    WriteLog(L"one");
    WriteLog(L"two");
    EXPECT_EQ(1u, CountByteOrderMarks(ReadFileBytes(LogPath())));
    EXPECT_EQ((std::vector<std::wstring>{L"one", L"two"}), ReadLogMessages(LogPath()));

    // A file somebody else started without a mark is appended to as it is.
    WriteFileBytes(LogPath(), Utf16Bytes(L"x\r\n"));
    WriteLog(L"three");
    const std::vector<unsigned char> bytes = ReadFileBytes(LogPath());
    EXPECT_EQ(0u, CountByteOrderMarks(bytes));
    EXPECT_EQ('x', bytes[0]);
}

TEST_F(LogFile, AnEmptyFileGetsTheMark)
{
    WriteFileBytes(LogPath(), {});
    WriteLog(L"after empty");
    const std::vector<unsigned char> bytes = ReadFileBytes(LogPath());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    EXPECT_EQ(std::vector<std::wstring>{L"after empty"}, ReadLogMessages(LogPath()));
}

TEST_F(LogFile, TheSwitchKeyIsCheckedOnEveryCall)
{
    SetLogSwitch(false);
    WriteLog(L"while off");
    EXPECT_FALSE(FileExists(LogPath()));

    SetLogSwitch(true);
    WriteLog(L"on again");
    SetLogSwitch(false);
    WriteLog(L"off again");
    SetLogSwitch(true);
    WriteLog(L"and on");
    EXPECT_EQ((std::vector<std::wstring>{L"on again", L"and on"}), ReadLogMessages(LogPath()));
}

TEST_F(LogFile, AMessageEndingInLineFeedKeepsIt)
{
    WriteLog(L"ends in line feed\n");
    const std::wstring text = ReadUtf16File(LogPath());
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(L"\n\r\n", text.substr(text.size() - 3));
}

TEST_F(LogFile, AMessageLongerThan511CharactersIsCutAt511)
{
    const std::wstring longText(2000, L'a');
    WriteLog(L"%s", longText.c_str());
    WriteLog(L"%s%s%s", longText.c_str(), longText.c_str(), longText.c_str());
    WriteLog(L"still alive");
    const std::vector<std::wstring> messages = ReadLogMessages(LogPath());
    ASSERT_EQ(3u, messages.size());
    EXPECT_EQ(std::wstring(511, L'a'), messages[0]);
    EXPECT_EQ(std::wstring(511, L'a'), messages[1]);
    EXPECT_EQ(L"still alive", messages[2]);
}

TEST_F(LogFile, AppendCutsAtSevenHundredEightyUnitsAndIgnoresNull)
{
    CUtilityLog::AppendToLogFile(nullptr);
    EXPECT_FALSE(FileExists(LogPath()));
    const std::wstring text(1000, L'z');
    CUtilityLog::AppendToLogFile(text.c_str());
    EXPECT_EQ(2u + 780u * 2u, ReadFileBytes(LogPath()).size());
}

TEST_F(LogFile, AFileOfExactlyTwoMebibytesIsAppendedTo)
{
    std::vector<unsigned char> full(2097152, 'a');
    WriteFileBytes(LogPath(), full);
    WriteLog(L"appended");
    EXPECT_GT(ReadFileBytes(LogPath()).size(), 2097152u);
    EXPECT_FALSE(FileExists(BackupPath(1)));
}

TEST_F(LogFile, AFileOneByteLargerIsRotatedToAFreshFile)
{
    std::vector<unsigned char> tooBig(2097153, 'b');
    WriteFileBytes(LogPath(), tooBig);
    WriteLog(L"fresh");
    EXPECT_EQ(2097153u, ReadFileBytes(BackupPath(1)).size());
    const std::vector<unsigned char> fresh = ReadFileBytes(LogPath());
    ASSERT_GE(fresh.size(), 2u);
    EXPECT_EQ(0xFF, fresh[0]);
    EXPECT_EQ(0xFE, fresh[1]);
    EXPECT_EQ(std::vector<std::wstring>{L"fresh"}, ReadLogMessages(LogPath()));
}

TEST_F(LogFile, BackupNameIsTheFirstMissingSlot)
{
    for (int slot : {1, 2, 4, 5}) WriteFileBytes(BackupPath(slot), {1});
    EXPECT_EQ(BackupPath(3), CUtilityLog::GetBackupLogFileName());
}

TEST_F(LogFile, RotationReplacesTheLeastRecentlyWrittenBackup)
{
    const uint64_t base = 133500000000000000ULL;
    const uint64_t times[5] = {base + 50, base + 40, base + 10, base + 30, base + 20};
    for (int slot = 1; slot <= 5; ++slot) {
        WriteFileBytes(BackupPath(slot), {static_cast<unsigned char>(slot)});
        SetLastWriteTime(BackupPath(slot), times[slot - 1]);
    }
    EXPECT_EQ(BackupPath(3), CUtilityLog::GetBackupLogFileName());

    WriteFileBytes(LogPath(), std::vector<unsigned char>(2097153, 'c'));
    WriteLog(L"after rotation");
    EXPECT_EQ(2097153u, ReadFileBytes(BackupPath(3)).size());
    for (int slot : {1, 2, 4, 5}) EXPECT_EQ(1u, ReadFileBytes(BackupPath(slot)).size()) << slot;

    // Equal oldest times: the lowest slot number.
    for (int slot = 1; slot <= 5; ++slot) SetLastWriteTime(BackupPath(slot), slot == 1 ? base + 99 : base + 7);
    EXPECT_EQ(BackupPath(2), CUtilityLog::GetBackupLogFileName());
}

TEST_F(LogFile, ConcurrentWritersNeverInterleaveInsideARecord)
{
    constexpr int kThreads = 8;
    constexpr int kRecords = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kRecords; ++i) WriteLog(L"writer %d record %d %s", t, i, L"0123456789abcdef");
        });
    }
    for (std::thread& writer : writers) writer.join();

    const std::wstring text = ReadUtf16File(LogPath());
    const std::wregex record(L"\\[[0-9.]+ " + kStamp + L"\\] writer ([0-9]) record ([0-9]+) 0123456789abcdef\r\n");
    int next[kThreads] = {};
    size_t records = 0;
    for (std::wsregex_iterator it(text.begin(), text.end(), record), end; it != end; ++it, ++records) {
        const int writer = std::stoi((*it)[1].str());
        // Each writer's records appear whole and in its own order.
        EXPECT_EQ(next[writer], std::stoi((*it)[2].str()));
        next[writer] = std::stoi((*it)[2].str()) + 1;
    }
    EXPECT_EQ(static_cast<size_t>(kThreads * kRecords), records);
    EXPECT_EQ(static_cast<size_t>(kThreads * kRecords), ReadLogMessages(LogPath()).size());
}
