// log: writer threads call WriteLog with self-checking records, big enough to rotate the file many times, as fast
// as they can while the log switch is deleted and created again.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <filesystem>
#include <thread>

namespace soak {

using namespace testsupport;

namespace {

// Of different lengths, so that two records written over each other leave a torn one.
std::wstring Message(unsigned writer, unsigned sequence)
{
    const std::wstring payload(440 - (writer * 31 + sequence * 17) % 120, wchar_t(L'A' + (writer + sequence) % 26));
    const std::wstring message = Format(L"soak writer=%02u seq=%08u payload=%s", writer, sequence, payload.c_str());
    return message.substr(0, CUtilityLog::kMessageLimit - 1);
}

} // namespace

void Log(DWORD seconds, DWORD writerCount)
{
    const unsigned writers = std::min(64u, std::max(1u, unsigned(writerCount)));
    const ScratchFolder folder(L"soak_log");
    CUtilityLog::InitLogFilePathAt(folder.Path());
    const bool switchWasOn = SetLogSwitch(true);
    // Odd while the switch may be missing: a call that begins and ends at the same even count must leave its record.
    std::atomic<unsigned> toggles{0};
    std::vector<std::vector<bool>> mustLeaveRecord(writers);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (unsigned writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            for (unsigned sequence = 1; !stop.load(); ++sequence) {
                const std::wstring message = Message(writer, sequence);
                const unsigned before = toggles.load();
                WriteLog(L"%s", message.c_str());
                mustLeaveRecord[writer].push_back(before % 2 == 0 && toggles.load() == before);
            }
        });
    }
    for (const double start = Now(); Now() - start < seconds;) {
        ++toggles;
        SetLogSwitch(false);
        ::Sleep(1); // pacing, not synchronisation: how long the switch stays off
        SetLogSwitch(true);
        ++toggles;
        ::Sleep(25);
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    SetLogSwitch(switchWasOn);
    const std::wstring current = CUtilityLog::CurrentLogFilePath();
    CUtilityLog::InitLogFilePathAt(L""); // lets the held folder go, so that it leaves with the soak

    std::vector<std::vector<unsigned>> present(writers); // per writer, from every file
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
        const std::wstring path = entry.path().wstring();
        const std::vector<unsigned char> bytes = ReadFileBytes(path);
        if (path != current && bytes.size() <= CUtilityLog::kRotateAboveBytes) {
            Violation(L"%s: a backup of %u bytes, not above the rotation size", path.c_str(), unsigned(bytes.size()));
        }
        unsigned broken = 0;
        for (const std::wstring& record : ReadLogMessages(path)) {
            unsigned writer = 0;
            unsigned sequence = 0;
            const bool parsed = swscanf(record.c_str(), L"soak writer=%2u seq=%8u", &writer, &sequence) == 2;
            if (!parsed || writer >= writers || record != Message(writer, sequence)) {
                if (++broken <= 5) Violation(L"%s: a broken record: \"%.120s\"", path.c_str(), record.c_str());
                continue;
            }
            present[writer].push_back(sequence);
        }
    }
    unsigned lost = 0;
    for (unsigned writer = 0; writer < writers; ++writer) {
        std::vector<unsigned>& sequences = present[writer];
        std::sort(sequences.begin(), sequences.end());
        // From its first record still present (older ones may lie in overwritten backups).
        const unsigned first = sequences.empty() ? 1 : sequences.front();
        for (unsigned sequence = first; sequence <= mustLeaveRecord[writer].size(); ++sequence) {
            if (!mustLeaveRecord[writer][sequence - 1]) continue;
            if (std::binary_search(sequences.begin(), sequences.end(), sequence)) continue;
            if (++lost <= 5) Violation(L"writer %u lost record %u, written while the switch was on", writer, sequence);
        }
    }
}

} // namespace soak
