// What the benchmarks read of the prefix around the service: its companions, the firmware
// stand-in's records, and the service's logging switch.
#pragma once

#include "BenchClock.h"
#include "FirmwareStandIn.h"
#include "process/ProcessToolkit.h"
#include "win/Owners.h"

inline bool BothCompanionsRun()
{
    return !FindRunningProcess(L"FnKeyAgent.exe").empty() && !FindRunningProcess(L"FnKeyLockOsd.exe").empty();
}

// Polls until the firmware stand-in has recorded at least `count` calls.
inline bool WaitForFirmwareCalls(size_t count, double limit = 10)
{
    return WaitFor([&] { return firmware::ReadCallRecords().size() >= count; }, limit);
}

// Creates or removes the service's logging switch (HKLM\Software\Osmira\OsmiraUtility\log);
// returns whether it existed before.
inline bool SwitchServiceLogging(bool on)
{
    constexpr const wchar_t* kSwitch = L"Software\\Osmira\\OsmiraUtility\\log";
    win::UniqueRegKey key;
    const bool existed = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitch, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    key.reset();
    if (on && !existed) {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitch, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
    } else if (!on && existed) {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSwitch);
    }
    return existed;
}

// Milliseconds of the local time now, on the scale of the firmware stand-in's record stamps
// (which are local times truncated to the millisecond), with the fraction kept.
inline double LocalMilliseconds()
{
    FILETIME utc = {}, local = {};
    ::GetSystemTimePreciseAsFileTime(&utc);
    ::FileTimeToLocalFileTime(&utc, &local);
    return static_cast<double>((static_cast<ULONGLONG>(local.dwHighDateTime) << 32) | local.dwLowDateTime) / 1e4;
}

// The middle of the millisecond that a record stamp "YYYY-MM-DD hh:mm:ss.mmm" names, on the
// scale of LocalMilliseconds; negative when the stamp cannot be read.
inline double StampMilliseconds(const std::wstring& stamp)
{
    unsigned fields[7] = {};
    if (swscanf(stamp.c_str(), L"%u-%u-%u %u:%u:%u.%u", &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                &fields[5], &fields[6]) != 7) {
        return -1;
    }
    SYSTEMTIME time = {};
    WORD* parts[] = {&time.wYear,   &time.wMonth,  &time.wDay,         &time.wHour,
                     &time.wMinute, &time.wSecond, &time.wMilliseconds};
    for (int i = 0; i < 7; ++i) *parts[i] = static_cast<WORD>(fields[i]);
    FILETIME local = {};
    if (!::SystemTimeToFileTime(&time, &local)) return -1;
    return static_cast<double>((static_cast<ULONGLONG>(local.dwHighDateTime) << 32) | local.dwLowDateTime) / 1e4 + 0.5;
}

// The firmware stand-in's records that arrive after a point: each Read returns the complete
// lines written since the last Read (or Skip), so that a poll reads only what is new.
class CallTail {
public:
    CallTail() { Skip(); }
    void Skip() { m_offset = Size(); }
    std::vector<firmware::CallRecord> Read()
    {
        std::vector<firmware::CallRecord> records;
        win::UniqueHandle file(::CreateFileW(firmware::RecordFilePath().c_str(), GENERIC_READ,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        LARGE_INTEGER size = {}, at = {};
        if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= m_offset) return records;
        at.QuadPart = m_offset;
        std::wstring text(static_cast<size_t>(size.QuadPart - m_offset) / sizeof(wchar_t), L'\0');
        DWORD read = 0;
        if (text.empty() || !::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
            !::ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr)) {
            return records;
        }
        text.resize(read / sizeof(wchar_t));
        const size_t end = text.rfind(L"\r\n");
        if (end == std::wstring::npos) return records;
        m_offset += static_cast<LONGLONG>((end + 2) * sizeof(wchar_t));
        for (size_t from = text.compare(0, 1, L"\xFEFF") == 0 ? 1 : 0, stop; from < end; from = stop + 2) {
            stop = text.find(L"\r\n", from);
            std::vector<std::wstring> fields;
            for (size_t field = from, tab; fields.size() < 6; field = tab + 1) {
                tab = std::min(text.find(L'\t', field), stop);
                fields.push_back(text.substr(field, tab - field));
                if (tab == stop) break;
            }
            if (fields.size() == 6) {
                records.push_back({fields[0], static_cast<DWORD>(std::wcstoul(fields[1].c_str(), nullptr, 10)),
                                   fields[2], fields[3], fields[4], fields[5]});
            }
        }
        return records;
    }

private:
    static LONGLONG Size()
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!::GetFileAttributesExW(firmware::RecordFilePath().c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    LONGLONG m_offset = 0;
};

// Polls the tail every 2 ms for up to `limit` seconds for a SetFeature record of `processId`
// with `input`, stamped at or after `sentMs`; its stamp (LocalMilliseconds scale), or -1.
inline double WaitForSetFeature(CallTail& tail, DWORD processId, const wchar_t* input, double sentMs, double limit)
{
    double stamp = -1;
    WaitFor([&] {
        for (const firmware::CallRecord& record : tail.Read()) {
            const double at = StampMilliseconds(record.time);
            if (record.method == L"SetFeature" && record.processId == processId && record.input == input &&
                at + 0.5 >= sentMs)
                stamp = at;
            if (stamp >= 0) return true;
        }
        return false;
    }, limit);
    return stamp;
}
