// What the benchmarks measure with and no test needs: percentiles of samples, another process's CPU
// time over a window, the firmware stand-in's call records with their stamps on a local clock, and
// the minimal reference service's stamp of a code's arrival on that same clock.
#pragma once

#include "FirmwareStandIn.h"

#include <windows.h>

#include <map>
#include <string>
#include <vector>

// The value below which `share` (0..1) of the samples lie; 0 without samples.
double Percentile(std::vector<double> samples, double share);

// The CPU time (kernel plus user) that another process spends over a window, summed over its threads:
// a thread present at the first sample counts from that sample, a thread seen later counts whole. A
// thread that starts and ends between two samples is missed, so the window counts the threads it saw start.
class CpuWindow {
public:
    explicit CpuWindow(DWORD processId);
    void SampleFor(double seconds, DWORD intervalMs = 100);
    double Seconds() const;
    int ThreadsStarted() const { return m_started; }
    // The CPU time of the threads seen, since each began: zero means their times cannot be read here.
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

// The firmware stand-in's records that arrive after a point: each Read returns the complete lines
// written since the last Read (or Skip), so that a poll reads only what is new.
class FirmwareCallTail {
public:
    FirmwareCallTail() { Skip(); }
    void Skip();
    std::vector<firmware::CallRecord> Read();

private:
    LONGLONG m_offset = 0;
};

// The companions' supervision threads end about 38 s after the service's start (an 8 s wait, then 15
// passes of 2 s); a figure of the settled service begins after them. `startedAt` is on the Now() clock.
void WaitOutSupervision(double startedAt);

// Milliseconds of the local time now, on the scale of the firmware stand-in's record stamps (local
// times cut to the millisecond), with the fraction kept.
double LocalMilliseconds();
// The middle of the millisecond that a stamp "YYYY-MM-DD hh:mm:ss.mmm" names, on the scale of
// LocalMilliseconds; negative when the stamp cannot be read.
double StampMilliseconds(const std::wstring& stamp);

// The minimal reference service stamps, in its control hook, the arrival of code kStampedCode: the latest
// arrival only, a file of the prefix holding "YYYY-MM-DD hh:mm:ss.mmm" of the local time. The firmware stand-in
// stamps its records the same way, so that a reference ends at the same kind of point as the service's sample.
constexpr DWORD kStampedCode = 160;
void WriteArrivalStamp();
// The latest arrival stamp on the scale of StampMilliseconds; negative when there is none.
double ReadArrivalStamp();
