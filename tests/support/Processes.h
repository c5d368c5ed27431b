// Process walks of the kit: processes by file name, and the threads, handles and CPU time of another
// process. Under Wine GetProcessHandleCount and GetProcessTimes of another process read 0, so these
// count from the system's handle table and sum thread times.
#pragma once

#include <windows.h>

#include <map>
#include <vector>

namespace testsupport {

// Ids of the processes of that file name (letter case ignored), in every session.
std::vector<DWORD> ProcessIds(const wchar_t* fileName);
// Both companions that the service keeps running: the agent and the lock indicator.
bool BothCompanionsRun();
DWORD ThreadCount(DWORD processId);
DWORD HandleCount(DWORD processId);

// The CPU time (kernel plus user) that another process spends over a window, summed over its threads:
// a thread present at the first sample counts from that sample, a thread seen later counts whole. A
// thread that starts and ends between two samples is missed, so the window counts the threads it saw start.
class CpuWindow {
public:
    explicit CpuWindow(DWORD processId);
    void Sample() { Sample(false); }
    // Samples every `intervalMs` for `seconds`.
    void SampleFor(double seconds, DWORD intervalMs = 100);
    double Seconds() const;
    int ThreadsStarted() const { return m_started; }
    // The CPU time of the threads seen, since each began: shows that the reading works.
    double ThreadsTotal() const;

private:
    struct Times {
        double first;
        double last;
    };
    void Sample(bool baseline);
    DWORD m_processId;
    std::map<DWORD, Times> m_threads;
    int m_started = 0;
};

} // namespace testsupport
