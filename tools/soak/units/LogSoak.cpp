// log: writer threads call WriteLog with self-checking records as fast as they can while
// another thread creates and deletes the log switch key; the log lies in a scratch folder and
// its records are big enough to rotate the file many times. Afterwards every file (current and
// backups) must start with a byte-order mark and hold only whole records of the record format,
// each message matching its checksum; at most five backups; per writer the sequence numbers
// strictly increase within each file and across files in the order they were written.
#include "Soak.h"

#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"
#include "win/Owners.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <thread>

namespace soak {
namespace {

constexpr const wchar_t* kSwitchKey = L"Software\\Osmira\\OsmiraUtility\\log";
constexpr const wchar_t* kCurrentName = L"_FnHotkeySvcUtility.log";
constexpr size_t kPayloadChars = 440; // records of about 1 KB: a rotation every 2,000 records

std::wstring Payload()
{
    std::wstring payload;
    for (size_t i = 0; i < kPayloadChars; ++i) payload.push_back(static_cast<wchar_t>(L'A' + (i * 7) % 26));
    return payload;
}

// Records of different lengths, so that two records written over each other leave a torn one
// rather than one whole record in place of another.
size_t PayloadLength(uint32_t writer, uint32_t sequence) { return kPayloadChars - (writer * 31 + sequence * 17) % 120; }

// FNV-1a over the text before " sum=".
uint32_t Checksum(const wchar_t* text, size_t length)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<uint16_t>(text[i]);
        hash *= 16777619u;
    }
    return hash;
}

constexpr const wchar_t* kMessageFormat = L"soak writer=%02u seq=%08u payload=%.*s";

struct FileRecords {
    std::wstring name;
    uint64_t lastWrite = 0;
    size_t records = 0;
    uint64_t bytes = 0;
    std::vector<std::vector<uint32_t>> sequences; // per writer, in file order
};

// One record without its CR LF: "[<version> MM-DD hh:mm:ss] <message>", the message of a writer
// with its checksum. The layout is checked by building the record again with logformat::Record.
bool ParseRecord(const std::wstring& record, const std::wstring& version, const std::wstring& payload, uint32_t writers,
                 uint32_t& writer, uint32_t& sequence, std::wstring& why)
{
    // The stamp is read loosely; the record built again from it must then equal this one.
    const std::wstring opening = L"[" + version + L" ";
    SYSTEMTIME time = {};
    if (record.compare(0, opening.size(), opening) != 0 ||
        std::swscanf(record.c_str() + opening.size(), L"%2hu-%2hu %2hu:%2hu:%2hu", &time.wMonth, &time.wDay, &time.wHour,
                     &time.wMinute, &time.wSecond) != 5) {
        why = L"no record opening";
        return false;
    }
    const size_t messageAt = opening.size() + 16;
    const std::wstring message = messageAt <= record.size() ? record.substr(messageAt) : std::wstring();
    if (logformat::Record(version, time, message.c_str()) != record) {
        why = L"not in the record format";
        return false;
    }
    const size_t sumAt = message.rfind(L" sum=");
    unsigned w = 0, s = 0;
    wchar_t expectedMessage[CUtilityLog::kMessageLimit] = {};
    if (sumAt == std::wstring::npos || message.size() != sumAt + 13 ||
        std::swscanf(message.c_str(), L"soak writer=%2u seq=%8u", &w, &s) != 2 || w >= writers) {
        why = L"not a writer's message";
        return false;
    }
    _snwprintf(expectedMessage, CUtilityLog::kMessageLimit - 1, kMessageFormat, w, s, static_cast<int>(PayloadLength(w, s)),
               payload.c_str());
    wchar_t sum[16] = {};
    _snwprintf(sum, 15, L"%08X", Checksum(message.c_str(), sumAt));
    if (message.compare(0, sumAt, expectedMessage) != 0 || message.compare(sumAt + 5, 8, sum) != 0) {
        why = L"message does not match its checksum";
        return false;
    }
    writer = w;
    sequence = s;
    return true;
}

void CheckFile(const std::wstring& path, const std::wstring& name, const std::wstring& version, const std::wstring& payload,
               uint32_t writers, FileRecords& file, Violations& violations)
{
    file.name = name;
    file.sequences.assign(writers, {});
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(path, bytes)) {
        violations.Add(L"%s: cannot be read", name.c_str());
        return;
    }
    file.bytes = bytes.size();
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        file.lastWrite = (static_cast<uint64_t>(attributes.ftLastWriteTime.dwHighDateTime) << 32) |
                         attributes.ftLastWriteTime.dwLowDateTime;
    }
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
        violations.Add(L"%s: does not start with a byte-order mark", name.c_str());
        return;
    }
    if (bytes.size() % 2 != 0) violations.Add(L"%s: an odd number of bytes (%llu): a torn record", name.c_str(),
                                              static_cast<unsigned long long>(bytes.size()));
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    size_t at = 0, bad = 0;
    while (at < text.size()) {
        const size_t end = text.find(L"\r\n", at);
        if (end == std::wstring::npos) {
            violations.Add(L"%s: the last record is not ended by CR LF (%llu characters)", name.c_str(),
                           static_cast<unsigned long long>(text.size() - at));
            break;
        }
        const std::wstring record = text.substr(at, end - at);
        uint32_t writer = 0, sequence = 0;
        std::wstring why;
        if (ParseRecord(record, version, payload, writers, writer, sequence, why)) {
            ++file.records;
            std::vector<uint32_t>& own = file.sequences[writer];
            if (!own.empty() && sequence <= own.back()) {
                violations.Add(L"%s: writer %u's sequence %u follows %u", name.c_str(), writer, sequence, own.back());
            }
            own.push_back(sequence);
        } else if (++bad <= 5) {
            violations.Add(L"%s: record at character %llu %s: \"%s\"", name.c_str(), static_cast<unsigned long long>(at),
                           why.c_str(), record.substr(0, 120).c_str());
        }
        at = end + 2;
    }
    if (bad > 5) violations.Add(L"%s: %llu broken records in all", name.c_str(), static_cast<unsigned long long>(bad));
}

// Two files hold disjoint runs of every writer, in the same order for all writers, and in the
// order of their last-write times where those differ.
void CheckOrder(const FileRecords& a, const FileRecords& b, Violations& violations)
{
    int direction = 0; // -1: a's records came first, 1: b's
    for (size_t w = 0; w < a.sequences.size(); ++w) {
        if (a.sequences[w].empty() || b.sequences[w].empty()) continue;
        int here = 0;
        if (a.sequences[w].back() < b.sequences[w].front()) here = -1;
        if (b.sequences[w].back() < a.sequences[w].front()) here = 1;
        if (here == 0) {
            violations.Add(L"%s and %s: writer %llu's sequence numbers interleave across the files", a.name.c_str(),
                           b.name.c_str(), static_cast<unsigned long long>(w));
            return;
        }
        if (direction != 0 && here != direction) {
            violations.Add(L"%s and %s: the writers disagree on which file was written first", a.name.c_str(), b.name.c_str());
            return;
        }
        direction = here;
    }
    if (direction != 0 && a.lastWrite != b.lastWrite && (a.lastWrite < b.lastWrite) != (direction < 0)) {
        violations.Add(L"%s and %s: the records' order contradicts the files' last-write times", a.name.c_str(), b.name.c_str());
    }
}

bool SwitchExists()
{
    win::UniqueRegKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

void SetSwitch(bool on)
{
    if (on) {
        win::UniqueRegKey key;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitchKey, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
    } else {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSwitchKey);
    }
}

int64_t Now()
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

uint64_t FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) return 0;
    return (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
}

} // namespace

int LogSoak(uint64_t seconds, uint64_t writerCount)
{
    Violations violations;
    const uint32_t writers = static_cast<uint32_t>(writerCount);
    const std::wstring folder = TempFolder() + L"\\fn-soak-log-" + std::to_wstring(::GetCurrentProcessId());
    RemoveTree(folder);
    CUtilityLog::InitLogFilePathAt(folder);
    const std::wstring current = folder + L"\\" + kCurrentName;
    const bool switchWasOn = SwitchExists();
    SetSwitch(true);
    const std::wstring payload = Payload();
    ConsolePrint(L"log: %u writers for %llu s into %s, the switch toggled meanwhile\n", writers,
                 static_cast<unsigned long long>(seconds), folder.c_str());

    std::atomic<bool> stop{false};
    std::vector<uint64_t> written(writers, 0);
    // Each call's window (before, after) per writer, and the windows in which the switch
    // certainly existed: a call wholly inside one must leave its record.
    std::vector<std::vector<std::pair<int64_t, int64_t>>> calls(writers);
    std::vector<std::pair<int64_t, int64_t>> switchOn;
    switchOn.push_back({Now(), 0});
    std::vector<std::thread> threads;
    const Stopwatch clock;
    for (uint32_t w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            wchar_t message[CUtilityLog::kMessageLimit] = {};
            for (uint32_t sequence = 1; !stop.load(); ++sequence) {
                const int length = _snwprintf(message, CUtilityLog::kMessageLimit - 1, kMessageFormat, w, sequence,
                                              static_cast<int>(PayloadLength(w, sequence)), payload.c_str());
                const int64_t before = Now();
                WriteLog(L"%s sum=%08X", message, Checksum(message, static_cast<size_t>(length)));
                calls[w].push_back({before, Now()});
                ++written[w];
            }
        });
    }
    // The switch: mostly on, briefly off, so that writers see it vanish and come back; the
    // current file's size is watched meanwhile, a drop being a rotation.
    uint64_t toggles = 0, rotations = 0, lastSize = 0;
    while (clock.Seconds() < static_cast<double>(seconds)) {
        switchOn.back().second = Now();
        SetSwitch(false);
        ::Sleep(1); // pacing, not synchronisation: how long the switch stays off
        SetSwitch(true);
        switchOn.push_back({Now(), 0});
        toggles += 2;
        ::Sleep(25);
        const uint64_t size = FileSize(current);
        if (size < lastSize) ++rotations;
        lastSize = size;
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    switchOn.back().second = Now();
    const double elapsed = clock.Seconds();
    if (!switchWasOn) SetSwitch(false);

    // Every file of the folder: the current log and its backups.
    std::vector<FileRecords> files;
    const std::wstring version = CUtilityLog::VersionText();
    WIN32_FIND_DATAW found = {};
    const win::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    size_t backups = 0;
    if (find) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            const std::wstring name = found.cFileName;
            if (name != kCurrentName) ++backups;
            files.emplace_back();
            CheckFile(folder + L"\\" + name, name, version, payload, writers, files.back(), violations);
        } while (::FindNextFileW(find.get(), &found));
    }
    for (const FileRecords& file : files) {
        if (file.name != kCurrentName && file.bytes <= CUtilityLog::kRotateAboveBytes) {
            violations.Add(L"%s: a backup of %llu bytes, not above the rotation size", file.name.c_str(),
                           static_cast<unsigned long long>(file.bytes));
        }
    }
    if (backups > static_cast<size_t>(CUtilityLog::kBackupSlots)) {
        violations.Add(L"%llu backup files, at most %d expected", static_cast<unsigned long long>(backups), CUtilityLog::kBackupSlots);
    }
    for (size_t i = 0; i < files.size(); ++i) {
        for (size_t j = i + 1; j < files.size(); ++j) CheckOrder(files[i], files[j], violations);
    }
    // No record lost: per writer, every call from its first record still present on whose
    // whole window the switch existed (older records may lie in overwritten backups).
    uint64_t lost = 0, checkedCalls = 0;
    for (uint32_t w = 0; w < writers; ++w) {
        std::vector<uint32_t> present;
        for (const FileRecords& file : files) present.insert(present.end(), file.sequences[w].begin(), file.sequences[w].end());
        std::sort(present.begin(), present.end());
        if (present.empty()) continue;
        for (uint32_t sequence = present.front(); sequence <= calls[w].size(); ++sequence) {
            const auto [before, after] = calls[w][sequence - 1];
            auto on = std::upper_bound(switchOn.begin(), switchOn.end(), std::make_pair(before, INT64_MAX));
            if (on == switchOn.begin() || after > std::prev(on)->second) continue;
            ++checkedCalls;
            if (std::binary_search(present.begin(), present.end(), sequence)) continue;
            if (++lost <= 5) violations.Add(L"writer %u's record %u is missing, written while the switch existed", w, sequence);
        }
    }
    if (lost > 5) violations.Add(L"%llu records missing in all", static_cast<unsigned long long>(lost));
    uint64_t callCount = 0, read = 0;
    for (uint64_t n : written) callCount += n;
    for (const FileRecords& file : files) read += file.records;
    if (rotations == 0 && backups == 0) violations.Add(L"no rotation happened: the run did not test rotation");
    // A backup is only ever replaced by a newer one, never removed.
    if (backups < std::min<uint64_t>(rotations, CUtilityLog::kBackupSlots)) {
        violations.Add(L"%llu rotations seen but %llu backups left", static_cast<unsigned long long>(rotations),
                       static_cast<unsigned long long>(backups));
    }
    RemoveTree(folder);

    ConsolePrint(L"  WriteLog calls %llu (%.0f/s), records read back %llu in %llu files (%llu backups)\n",
                 static_cast<unsigned long long>(callCount), elapsed > 0 ? callCount / elapsed : 0.0, static_cast<unsigned long long>(read),
                 static_cast<unsigned long long>(files.size()), static_cast<unsigned long long>(backups));
    ConsolePrint(L"  rotations seen %llu, switch toggles %llu, %.1f s\n", static_cast<unsigned long long>(rotations),
                 static_cast<unsigned long long>(toggles), elapsed);
    ConsolePrint(L"  calls made wholly while the switch existed and checked for their record %llu, missing %llu\n",
                 static_cast<unsigned long long>(checkedCalls), static_cast<unsigned long long>(lost));
    ConsolePrint(L"  (records written while the switch was off are dropped by design; older backups are overwritten)\n");
    return violations.Finish();
}

} // namespace soak
