// Log throughput: 4 threads calling WriteLog with logging on, in a scratch folder of this
// process (CUtilityLog::InitLogFilePathAt), against the design's own limit: one thread making
// the per-record sequence that the log's design prescribes (open the switch key, open the file,
// size it, seek to its end, write, close both) with the same bytes. Without the lock or the
// threads, the reference is what the service would reach if its lock cost nothing. Best of 3
// alternating rounds each. Prints one figure row; asserts nothing. Needs HKLM write access for
// the logging switch (created and removed here when it was missing).   log_bench [records per thread]
#include "BenchFigures.h"
#include "log/UtilityLog.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <thread>

using testsupport::Now;

namespace {

constexpr int kThreads = 4;
constexpr const wchar_t* kMessage =
    L"log bench thread %d record %d: a record of the usual length for the service's log";

// Seconds for kThreads threads each running work(thread).
template <typename Work>
double Timed(Work work)
{
    std::vector<std::thread> threads;
    const double start = Now();
    for (int t = 0; t < kThreads; ++t) threads.emplace_back([&work, t] { work(t); });
    for (std::thread& thread : threads) thread.join();
    return Now() - start;
}

void RemoveFiles(const std::wstring& folder)
{
    WIN32_FIND_DATAW found = {};
    win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*.log").c_str(), &found));
    if (!find) return;
    do {
        ::DeleteFileW((folder + L"\\" + found.cFileName).c_str());
    } while (::FindNextFileW(find.get(), &found));
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int records = argc > 1 ? std::max(10, _wtoi(argv[1])) : 2500;
    const wchar_t* figure = L"log throughput, 4 threads, logging on";
    const testsupport::ScratchFolder scratch(L"log_bench");
    const std::wstring logFolder = scratch.File(L"log");
    const std::wstring plainFolder = scratch.File(L"plain");
    ::CreateDirectoryW(plainFolder.c_str(), nullptr);
    CUtilityLog::InitLogFilePathAt(logFolder);
    CUtilityLog::MaintainFolder(); // as the service's run does: the log makes its folder
    CUtilityLog::LoadModuleVersion();
    const std::wstring plainFile = plainFolder + L"\\plain.log";

    const bool wasLogging = testsupport::SetLogSwitch(true);

    // The bytes WriteLog writes for each record (its stamp's digits aside), made before the clock runs.
    std::vector<std::vector<std::wstring>> lines(kThreads);
    size_t bytes = 0;
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < records; ++i) {
            const std::wstring line =
                logformat::Record(CUtilityLog::VersionText(), now, Format(kMessage, t, i).c_str()) + L"\r\n";
            lines[t].push_back(line.substr(0, CUtilityLog::kRecordLimit));
            bytes += lines[t].back().size() * sizeof(wchar_t);
        }
    }

    double best = 1e30, bestPlain = 1e30;
    for (int round = 0; round < 3; ++round) {
        RemoveFiles(logFolder);
        best = std::min(best, Timed([&](int t) {
            for (int i = 0; i < records; ++i) WriteLog(kMessage, t, i);
        }));
        RemoveFiles(plainFolder);
        const double start = Now();
        for (const std::vector<std::wstring>& thread : lines) {
            for (const std::wstring& line : thread) {
                win::UniqueRegKey key;
                ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, CUtilityLog::kSwitchKey, 0, KEY_READ, key.put());
                win::UniqueHandle file(::CreateFileW(plainFile.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0,
                                                     nullptr));
                ::GetFileSize(file.get(), nullptr);
                ::SetFilePointer(file.get(), 0, nullptr, FILE_END);
                DWORD written = 0;
                ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written,
                            nullptr);
            }
        }
        bestPlain = std::min(bestPlain, Now() - start);
    }
    // What landed, as a check that logging was on: the log folder's files against the bytes meant.
    ULONGLONG logged = 0;
    WIN32_FIND_DATAW found = {};
    win::UniqueFindHandle find(::FindFirstFileW((logFolder + L"\\*.log").c_str(), &found));
    if (find) {
        do logged += (static_cast<ULONGLONG>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        while (::FindNextFileW(find.get(), &found));
    }
    testsupport::SetLogSwitch(wasLogging);
    CUtilityLog::InitLogFilePathAt(L""); // lets the held folder go, so that it leaves with the scratch folder

    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    ConsolePrint(L"log: %d records of %d threads, %.2f MiB; WriteLog best %.3f s, one thread of the per-record "
                 L"sequence best %.3f s; "
                 L"the last round's log files hold %.2f MiB\n",
                 records * kThreads, kThreads, mib, best, bestPlain, static_cast<double>(logged) / (1024.0 * 1024.0));
    if (logged < bytes / 2) {
        PrintUnmeasured(figure, L"WriteLog wrote nothing: logging switch not set", L">= 0.80x");
        return 1;
    }
    const double ratio = (mib / best) / (mib / bestPlain);
    PrintFigure(figure, Format(L"%.2f MiB/s (%.0f records/s)", mib / best, records * kThreads / best),
                Format(L"%.2f MiB/s (one thread, same per-record sequence)", mib / bestPlain), ratio, L">= 0.80x",
                ratio >= 0.8);
    return 0;
}
