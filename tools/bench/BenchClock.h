// What the service benchmarks share: a monotonic clock in seconds, polls with a deadline, the
// service's process and its CPU time, percentiles, and the figure rows that scripts/bench
// gathers into its table.
#pragma once

#include "log/ConsolePrint.h"
#include "win/Owners.h"

#include <windows.h>

#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

inline double Now()
{
    LARGE_INTEGER frequency, counter;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Polls every millisecond until done() holds or `limit` seconds pass; returns done().
template <typename Done>
bool WaitFor(Done done, double limit)
{
    const double start = Now();
    while (!done()) {
        if (Now() - start > limit) return done();
        ::Sleep(1);
    }
    return true;
}

// Polls for up to ten seconds.
inline bool WaitForState(SC_HANDLE service, DWORD state)
{
    return WaitFor([&] {
        SERVICE_STATUS status = {};
        return ::QueryServiceStatus(service, &status) && status.dwCurrentState == state;
    }, 10);
}

// Starts the service unless it runs already; true once it reports RUNNING.
inline bool EnsureRunning(SC_HANDLE service)
{
    if (!::StartServiceW(service, 0, nullptr) && ::GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) return false;
    return WaitForState(service, SERVICE_RUNNING);
}

inline void StopService(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    ::ControlService(service, SERVICE_CONTROL_STOP, &status);
    WaitForState(service, SERVICE_STOPPED);
}

inline DWORD ServiceProcessId(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                                &needed))
        return 0;
    return status.dwProcessId;
}

// The CPU time (kernel plus user) that another process spends over a window. Wine answers
// GetProcessTimes for another process with its start-up share only, never growing, but it
// answers GetThreadTimes for every thread; so the window sums its threads: a thread present at
// the first sample counts from that sample, a thread seen later counts whole. A thread that
// starts and ends between two samples is missed, so the window counts the threads it saw start.
class CpuWindow {
public:
    explicit CpuWindow(DWORD processId) : m_processId(processId) { Sample(true); }

    void Sample() { Sample(false); }
    // Samples every `interval` milliseconds for `seconds`.
    void SampleFor(double seconds, DWORD interval = 100)
    {
        const double end = Now() + seconds;
        while (Now() < end) {
            ::Sleep(interval);
            Sample();
        }
    }
    double Seconds() const
    {
        double sum = 0;
        for (const auto& thread : m_threads) sum += thread.second.last - thread.second.first;
        return sum;
    }
    int ThreadsStarted() const { return m_started; }
    // The CPU time of the threads seen, since each began: shows that the reading works.
    double ThreadsTotal() const
    {
        double sum = 0;
        for (const auto& thread : m_threads) sum += thread.second.last;
        return sum;
    }

private:
    struct Times {
        double first, last;
    };

    void Sample(bool baseline)
    {
        win::UniqueSnapshot snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry)) {
            if (entry.th32OwnerProcessID != m_processId) continue;
            win::UniqueHandle thread(::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ThreadID));
            FILETIME creation, exit, kernel, user;
            if (!thread || !::GetThreadTimes(thread.get(), &creation, &exit, &kernel, &user)) continue;
            const double seconds = static_cast<double>(Ticks(kernel) + Ticks(user)) / 1e7;
            auto found = m_threads.find(entry.th32ThreadID);
            if (found != m_threads.end()) {
                found->second.last = seconds;
            } else {
                m_threads[entry.th32ThreadID] = {baseline ? seconds : 0, seconds};
                if (!baseline) ++m_started;
            }
        }
    }
    static ULONGLONG Ticks(FILETIME t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

    DWORD m_processId;
    std::map<DWORD, Times> m_threads;
    int m_started = 0;
};

// The value below which `share` (0..1) of the samples lie; 0 without samples.
inline double Percentile(std::vector<double> samples, double share)
{
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    const size_t at = std::min(samples.size() - 1, static_cast<size_t>(static_cast<double>(samples.size()) * share));
    return samples[at];
}

// One row of the table: "FIGURE<tab>figure<tab>service<tab>reference<tab>ratio<tab>goal<tab>met|missed".
// The texts say what was measured, with units; `ratio` is the service's value over the
// reference's (or what the goal compares): three decimals, two significant digits below 0.1.
inline void PrintFigureRow(const wchar_t* figure, const std::wstring& service, const std::wstring& reference,
                           const std::wstring& ratio, const std::wstring& goal, bool met)
{
    ConsolePrint(L"FIGURE\t%s\t%s\t%s\t%s\t%s\t%s\n", figure, service.c_str(), reference.c_str(), ratio.c_str(),
                 goal.c_str(), met ? L"met" : L"missed");
}
inline void PrintFigure(const wchar_t* figure, const std::wstring& service, const std::wstring& reference, double ratio,
                        const wchar_t* goal, bool met)
{
    PrintFigureRow(figure, service, reference, Format(ratio >= 0.1 ? L"%.3fx" : L"%.2gx", ratio), goal, met);
}

// A figure that could not be measured counts as missed: the table says why instead of showing a number.
inline void PrintUnmeasured(const wchar_t* figure, const wchar_t* why, const wchar_t* goal)
{
    ConsolePrint(L"FIGURE\t%s\tnot measured: %s\t-\t-\t%s\tmissed\n", figure, why, goal);
}
