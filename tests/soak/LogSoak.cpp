// log: writer threads call WriteLog with self-checking records as fast as they can while another thread deletes
// and creates the log switch; the records are big enough to rotate the file many times. Afterwards every file
// (current and backups) starts with a byte-order mark and holds only whole records, each exactly the message its
// writer and sequence number make; at most five backups, each above the rotation size; per writer the sequence
// numbers increase through the files in the order they were written; and no call made wholly while the switch
// existed lost its record.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <thread>

namespace soak {

using namespace testsupport;

namespace {

constexpr size_t kPayloadChars = 440; // records of about 1 KB: a rotation every 2,000 records
constexpr const wchar_t* kMessageFormat = L"soak writer=%02u seq=%08u payload=%.*s";

// Records of different lengths, so that two records written over each other leave a torn one rather than one
// whole record in place of another.
int PayloadLength(unsigned writer, unsigned sequence)
{
    return int(kPayloadChars - (writer * 31 + sequence * 17) % 120);
}

std::wstring Message(const std::wstring& payload, unsigned writer, unsigned sequence)
{
    // Cut where the log cuts a message.
    return Format(kMessageFormat, writer, sequence, PayloadLength(writer, sequence), payload.c_str())
        .substr(0, CUtilityLog::kMessageLimit - 1);
}

struct LogFile {
    std::wstring name;
    ULONGLONG lastWrite = 0;
    size_t bytes = 0;
    std::vector<std::vector<unsigned>> sequences; // per writer, in file order
};

// The file's records by writer; a torn, mixed or foreign record is a violation.
LogFile ReadRecords(const std::wstring& folder, const WIN32_FIND_DATAW& found, const std::wstring& payload,
                    unsigned writers)
{
    LogFile file;
    file.name = found.cFileName;
    file.lastWrite = (ULONGLONG(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
    file.sequences.resize(writers);
    const std::vector<unsigned char> bytes = ReadFileBytes(folder + L"\\" + file.name);
    file.bytes = bytes.size();
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE || bytes.size() % 2 != 0) {
        Violation(L"%s: no byte-order mark, or an odd number of bytes (%u)", file.name.c_str(), unsigned(bytes.size()));
        return file;
    }
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    const std::wstring opening = L"[" + CUtilityLog::VersionText() + L" ";
    unsigned broken = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find(L"\r\n", at);
        const std::wstring record = text.substr(at, end - at);
        at = end == std::wstring::npos ? text.size() : end + 2;
        // "[<version> MM-DD hh:mm:ss] <message>"
        const size_t messageAt = opening.size() + 16;
        unsigned writer = 0;
        unsigned sequence = 0;
        const bool parsed = end != std::wstring::npos && record.size() > messageAt &&
                            record.compare(0, opening.size(), opening) == 0 &&
                            record.compare(messageAt - 2, 2, L"] ") == 0 &&
                            swscanf(record.c_str() + messageAt, L"soak writer=%2u seq=%8u", &writer, &sequence) == 2 &&
                            writer < writers;
        const bool whole = parsed && record.substr(messageAt) == Message(payload, writer, sequence);
        if (!whole && ++broken <= 5) {
            Violation(L"%s: a broken record: \"%s\"", file.name.c_str(), record.substr(0, 120).c_str());
        }
        if (whole) file.sequences[writer].push_back(sequence);
    }
    return file;
}

} // namespace

void Log(DWORD seconds, DWORD writerCount)
{
    const unsigned writers = std::min(64u, std::max(1u, unsigned(writerCount)));
    const ScratchFolder folder(L"soak_log");
    CUtilityLog::InitLogFilePathAt(folder.Path());
    const bool switchWasOn = SetLogSwitch(true);
    std::wstring payload;
    for (size_t i = 0; i < kPayloadChars; ++i) payload.push_back(wchar_t(L'A' + (i * 7) % 26));

    // Each call's window per writer, and the windows in which the switch certainly existed: a call wholly
    // inside one must leave its record.
    std::vector<std::vector<std::pair<double, double>>> calls(writers);
    std::vector<std::pair<double, double>> switchOn{{Now(), 0}};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (unsigned writer = 0; writer < writers; ++writer) {
        threads.emplace_back([&, writer] {
            for (unsigned sequence = 1; !stop.load(); ++sequence) {
                const std::wstring message = Message(payload, writer, sequence);
                const double before = Now();
                WriteLog(L"%s", message.c_str());
                calls[writer].push_back({before, Now()});
            }
        });
    }
    // The switch mostly on, briefly off; the current file's size is watched meanwhile, a drop being a rotation.
    const std::wstring current = folder.File(L"_FnHotkeySvcUtility.log");
    unsigned rotations = 0;
    size_t lastSize = 0;
    for (const double start = Now(); Now() - start < seconds;) {
        switchOn.back().second = Now();
        SetLogSwitch(false);
        ::Sleep(1); // pacing, not synchronisation: how long the switch stays off
        SetLogSwitch(true);
        switchOn.push_back({Now(), 0});
        ::Sleep(25);
        const size_t size = ReadFileBytes(current).size();
        rotations += size < lastSize;
        lastSize = size;
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    switchOn.back().second = Now();
    SetLogSwitch(switchWasOn);

    std::vector<LogFile> files;
    WIN32_FIND_DATAW found = {};
    const win::UniqueFindHandle find(::FindFirstFileW(folder.File(L"*.log").c_str(), &found));
    for (BOOL more = bool(find); more; more = ::FindNextFileW(find.get(), &found)) {
        files.push_back(ReadRecords(folder.Path(), found, payload, writers));
    }
    std::sort(files.begin(), files.end(), [](const LogFile& a, const LogFile& b) { return a.lastWrite < b.lastWrite; });
    if (files.empty() || files.back().name != L"_FnHotkeySvcUtility.log") {
        Violation(L"the current log is missing or not the newest file");
        return;
    }
    const size_t backups = files.size() - 1;
    if (backups > CUtilityLog::kBackupSlots || backups < std::min(rotations, unsigned(CUtilityLog::kBackupSlots))) {
        Violation(L"%u backups after %u rotations seen", unsigned(backups), rotations);
    }
    if (rotations == 0 && backups == 0) Violation(L"no rotation happened: the run did not test rotation");
    unsigned lost = 0;
    for (unsigned writer = 0; writer < writers; ++writer) {
        // Through the files in the order they were written: one increasing run.
        std::vector<unsigned> present;
        for (const LogFile& file : files) {
            for (unsigned sequence : file.sequences[writer]) {
                if (!present.empty() && sequence <= present.back()) {
                    Violation(L"%s: writer %u's record %u after its record %u", file.name.c_str(), writer, sequence,
                              present.back());
                }
                present.push_back(sequence);
            }
        }
        std::sort(present.begin(), present.end());
        // From its first record still present (older ones may lie in overwritten backups).
        for (unsigned sequence = present.empty() ? 1 : present.front(); sequence <= calls[writer].size(); ++sequence) {
            const auto [before, after] = calls[writer][sequence - 1];
            const auto on = std::upper_bound(switchOn.begin(), switchOn.end(), std::make_pair(before, 1e300));
            if (present.empty() || on == switchOn.begin() || after > std::prev(on)->second) continue;
            if (std::binary_search(present.begin(), present.end(), sequence)) continue;
            if (++lost <= 5) {
                Violation(L"writer %u's record %u is missing, made while the switch was on", writer, sequence);
            }
        }
    }
    for (const LogFile& file : files) {
        if (&file != &files.back() && file.bytes <= CUtilityLog::kRotateAboveBytes) {
            Violation(L"%s: a backup of %u bytes, not above the rotation size", file.name.c_str(),
                      unsigned(file.bytes));
        }
    }
}

} // namespace soak
