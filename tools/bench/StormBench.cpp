// The installed service under a storm of the codes that start programs or threads, sent through the manager for a
// fixed time: one thread cycles over 139, 140, 151, 158 and 163-168 as fast as the manager takes them (nine of them
// launch FnKeyLockOsd.exe with a switch; 151 replays the mic-mute state). Beside it, all through the run, one thread
// times code 200 every 20 ms and one samples every 20 ms the service's threads, the lock-indicator processes and the
// service's state. In order: half of a storm of the ignored code 200 sent the same way (the reference of the rate);
// the firmware's SetFeature calls held for ever, so that a replay's firmware call never returns (the worst case of
// the thread bound); three quiet seconds; the storm; its drain; the other half of the code-200 storm; a 2 s refill
// of the storm; the stop; the hold released.
// One figure a row, each judged alone:
//  - codes accepted a second against the code-200 storm's, RUNNING at every sample;
//  - the round trip of code 200 during the storm against the 2 s before it (medians);
//  - peak threads from the storm to the stop against the most in the second before it;
//  - the launches still waiting at the end: lock-indicator starts after the last code, until none for 2 s;
//  - the most starts of one code within any 500 ms, from the stand-ins' records (switch and start time);
//  - the stop right after the refill, with every launch queue full.
// The storm ends early, and every row is missed, when the lock-indicator processes pass 40: a service that does not
// bound its launches would fill the machine. Prints figure rows; asserts nothing.   storm_bench [seconds]
#include "BenchFigures.h"
#include "BenchMeasures.h"
#include "FirmwareStandIn.h"
#include "support/Processes.h"
#include "support/StandIns.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <map>
#include <thread>

using namespace testsupport;

namespace {

struct StormCode {
    DWORD code;
    const wchar_t* lockSwitch; // null: the keyboard-connect replay, which starts no program
};
constexpr StormCode kStormCodes[] = {
    {139, L" -UIMERTICSON"},       {163, L" -SWITCH_AIRPLANE"}, {140, L" -UIMERTICSOFF"},
    {164, L" -TOUCHPAD_SWITCH"},   {151, nullptr},              {165, L" -VOIP_TEAMS_CALL"},
    {158, L" -CSREENCUT"},         {166, L" -VOIP_TEAMS_END"},  {167, L" -CALL_SMART_CONNECT"},
    {168, L" -CALL_SET_LAYOUT"}};
constexpr int kLaunchingCodes = 9;
constexpr int kMostWaitingPerCode = 2;
constexpr int kAddedThreads = 3; // the launcher, one replay, one firmware call out
constexpr DWORD kIgnoredCode = 200;
constexpr int kCompanionCap = 40;
constexpr DWORD kEveryMs = 20;
constexpr ULONGLONG kFiletimeMs = 10000;
constexpr ULONGLONG kSpacing = 500 * kFiletimeMs;

const wchar_t* const kAcceptedGoal = L">= 0.80x, RUNNING throughout";
const wchar_t* const kTripGoal = L"<= 2x";
const wchar_t* const kThreadsGoal = L"<= before + 3 (launcher, replay, one firmware call)";
const wchar_t* const kQueueGoal = L"<= 19 (2 waiting per launching code, 1 under way)";
const wchar_t* const kSpacingGoal = L"<= 1";
const wchar_t* const kStopGoal = L"STOPPED <= 1 s";

std::wstring AcceptedFigure(double seconds)
{
    return Format(L"storm of %.0f s over the ten starting codes: codes accepted a second", seconds);
}
const wchar_t* const kTripFigure = L"storm: round trip of code 200 sent during it (median)";
const wchar_t* const kThreadsFigure = L"storm: peak threads of the service, firmware calls held";
const wchar_t* const kQueueFigure = L"storm: launches waiting at its end (starts after the last code)";
const wchar_t* const kSpacingFigure = L"storm: most starts of one code within 500 ms";
const wchar_t* const kStopFigure = L"storm: stop right after a 2 s refill of the storm";

ULONGLONG FiletimeNow()
{
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    return (ULONGLONG(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

void HoldFirmware(bool hold)
{
    const std::wstring key = std::wstring(firmware::kBehaviourKey) + L"\\" + firmware::kUtilityClass + L"\\SetFeature";
    if (hold) {
        const DWORD forever = firmware::kHoldForever;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kHold, REG_DWORD, &forever, sizeof forever);
        return;
    }
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), firmware::kHold);
    const win::UniqueHandle release(::OpenEventW(EVENT_MODIFY_STATE, FALSE, firmware::kReleaseEvent));
    if (release) ::SetEvent(release.get());
}

std::wstring PackageFolder(DWORD processId)
{
    const win::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!process || !::QueryFullProcessImageNameW(process.get(), 0, image, &size)) return L"";
    const std::wstring path(image, size);
    return path.substr(0, path.find_last_of(L'\\'));
}

struct Sample {
    double at;
    int threads, lockIndicators;
    bool running;
};
struct Trip {
    double at, seconds;
};

// The sampler and the code-200 prober, from construction to End; what they saw is read after End.
class Watch {
public:
    Watch(DWORD processId, win::UniqueServiceHandle status, win::UniqueServiceHandle probe)
        : m_status(std::move(status)), m_probe(std::move(probe)),
          m_sampler([this, processId] { SampleUntilEnd(processId); }), m_prober([this] { ProbeUntilEnd(); })
    {
    }
    ~Watch() { End(); }
    void End()
    {
        m_end = true;
        if (m_sampler.joinable()) m_sampler.join();
        if (m_prober.joinable()) m_prober.join();
    }
    int LockIndicators() const { return m_lockIndicators; }
    std::vector<Sample> samples;
    std::vector<Trip> trips;
    int tripFailures = 0;

private:
    void SampleUntilEnd(DWORD processId)
    {
        for (; !m_end; ::Sleep(kEveryMs)) {
            const int threads = static_cast<int>(ThreadCount(processId));
            m_lockIndicators = static_cast<int>(ProcessIds(L"FnKeyLockOsd.exe").size());
            SERVICE_STATUS state = {};
            const bool running =
                ::QueryServiceStatus(m_status.get(), &state) && state.dwCurrentState == SERVICE_RUNNING;
            samples.push_back({Now(), threads, m_lockIndicators, running});
        }
    }
    void ProbeUntilEnd()
    {
        for (; !m_end; ::Sleep(kEveryMs)) {
            SERVICE_STATUS state = {};
            const double start = Now();
            const BOOL ok = ::ControlService(m_probe.get(), kIgnoredCode, &state);
            const double seconds = Now() - start;
            if (ok)
                trips.push_back({start, seconds});
            else
                ++tripFailures;
        }
    }
    win::UniqueServiceHandle m_status, m_probe;
    std::atomic<bool> m_end{false};
    std::atomic<int> m_lockIndicators{0};
    std::thread m_sampler, m_prober;
};

struct Burst {
    int accepted = 0, refused = 0;
    double start = 0, seconds = 0;
    bool capped = false;
};

// Codes as fast as the manager takes them, for `seconds`: the storm's cycle, or code 200 alone.
Burst Send(SC_HANDLE service, bool storm, double seconds, const Watch& watch)
{
    Burst burst;
    burst.start = Now();
    for (size_t i = 0; (burst.seconds = Now() - burst.start) < seconds; ++i) {
        if (watch.LockIndicators() > kCompanionCap) {
            burst.capped = true;
            break;
        }
        const DWORD code = storm ? kStormCodes[i % std::size(kStormCodes)].code : kIgnoredCode;
        SERVICE_STATUS status = {};
        if (::ControlService(service, code, &status))
            ++burst.accepted;
        else
            ++burst.refused;
    }
    return burst;
}

// The lock indicator's start times by switch, of the starts at or after `since` (FILETIME).
std::map<std::wstring, std::vector<ULONGLONG>> StartsBySwitch(const std::wstring& package, ULONGLONG since)
{
    std::map<std::wstring, std::vector<ULONGLONG>> starts;
    for (const StandInRecord& record : StandInRecordsIn(package, L"FnKeyLockOsd.exe")) {
        const size_t at = record.commandLine.find(L" -");
        const std::wstring lockSwitch = at == std::wstring::npos ? L"" : record.commandLine.substr(at);
        const bool stormed = std::any_of(std::begin(kStormCodes), std::end(kStormCodes), [&](const StormCode& code) {
            return code.lockSwitch != nullptr && lockSwitch == code.lockSwitch;
        });
        if (stormed && record.startTime >= since) starts[lockSwitch].push_back(record.startTime);
    }
    for (auto& entry : starts) std::sort(entry.second.begin(), entry.second.end());
    return starts;
}

struct Run {
    Burst referenceBefore, referenceAfter, storm, refill; // the code-200 storm in halves, against the load's drift
    double stormStart = 0, stormEnd = 0, stopStart = 0, stop = 0;
    ULONGLONG stormStartTime = 0, lastSentTime = 0;
    int waiting = 0, waitingMostOfOne = 0;
    bool drained = false, stopped = false;
    std::map<std::wstring, std::vector<ULONGLONG>> starts;
};

// Polls until no lock-indicator start has come for 2 s (at most 15 s): the starts after the last code.
void Drain(Run& run, const std::wstring& package)
{
    const double limit = Now() + 15;
    double lastNew = Now();
    for (int seen = -1; Now() < limit; ::Sleep(250)) {
        const auto starts = StartsBySwitch(package, run.lastSentTime + 1);
        int total = 0;
        for (const auto& entry : starts) total += static_cast<int>(entry.second.size());
        if (total != seen) lastNew = Now();
        seen = total;
        run.waiting = total;
        run.waitingMostOfOne = 0;
        for (const auto& entry : starts)
            run.waitingMostOfOne = std::max(run.waitingMostOfOne, static_cast<int>(entry.second.size()));
        run.drained = Now() - lastNew >= 2;
        if (run.drained) return;
    }
}

std::vector<double> TripsIn(const Watch& watch, double from, double to)
{
    std::vector<double> seconds;
    for (const Trip& trip : watch.trips)
        if (trip.at >= from && trip.at < to) seconds.push_back(trip.seconds);
    return seconds;
}

int MostThreadsIn(const Watch& watch, double from, double to)
{
    int most = 0;
    for (const Sample& sample : watch.samples)
        if (sample.at >= from && sample.at < to) most = std::max(most, sample.threads);
    return most;
}

void AcceptedRow(const Run& run, const Watch& watch, const std::wstring& cut)
{
    const std::wstring figure = AcceptedFigure(run.storm.seconds);
    const int referenceAccepted = run.referenceBefore.accepted + run.referenceAfter.accepted;
    const double referenceSeconds = run.referenceBefore.seconds + run.referenceAfter.seconds;
    if (referenceAccepted == 0)
        return PrintUnmeasured(figure.c_str(), L"the code-200 storm was refused", kAcceptedGoal);
    int notRunning = 0, samples = 0;
    for (const Sample& sample : watch.samples) {
        if (sample.at < run.stormStart || sample.at >= run.stopStart) continue;
        ++samples;
        notRunning += sample.running ? 0 : 1;
    }
    const double rate = run.storm.accepted / run.storm.seconds;
    const double reference = referenceAccepted / referenceSeconds;
    PrintFigure(figure.c_str(),
                Format(L"%.0f a second (%d accepted, %d refused), %d of %d samples not RUNNING%s", rate,
                       run.storm.accepted, run.storm.refused, notRunning, samples, cut.c_str()),
                Format(L"%.0f a second (code 200 alone, %.0f s)", reference, referenceSeconds), rate / reference,
                kAcceptedGoal, cut.empty() && notRunning == 0 && samples > 0 && rate >= 0.8 * reference);
}

void TripRow(const Run& run, const Watch& watch, const std::wstring& cut)
{
    const std::vector<double> during = TripsIn(watch, run.stormStart, run.stormEnd);
    const std::vector<double> before = TripsIn(watch, run.stormStart - 2, run.stormStart);
    std::vector<double> alone;
    for (const Burst* half : {&run.referenceBefore, &run.referenceAfter}) {
        const std::vector<double> trips = TripsIn(watch, half->start, half->start + half->seconds);
        alone.insert(alone.end(), trips.begin(), trips.end());
    }
    if (during.empty() || before.empty())
        return PrintUnmeasured(kTripFigure, Format(L"%d round trips failed", watch.tripFailures).c_str(), kTripGoal);
    const double service = Percentile(during, 0.5), reference = Percentile(before, 0.5);
    PrintFigure(kTripFigure, Format(L"%.0f us (%zu trips)%s", service * 1e6, during.size(), cut.c_str()),
                Format(L"%.0f us in the 2 s before (%.0f us in the code-200 storm)", reference * 1e6,
                       Percentile(alone, 0.5) * 1e6),
                service / reference, kTripGoal, cut.empty() && service <= 2 * reference);
}

void ThreadsRow(const Run& run, const Watch& watch, const std::wstring& cut)
{
    const int before = MostThreadsIn(watch, run.stormStart - 1, run.stormStart);
    const int peak = MostThreadsIn(watch, run.stormStart, run.stopStart);
    if (before == 0 || peak == 0)
        return PrintUnmeasured(kThreadsFigure, L"the service's threads cannot be read", kThreadsGoal);
    // How many samples passed the bound tells a thread that lingers from one that overlaps its successor briefly.
    int above = 0, samples = 0;
    for (const Sample& sample : watch.samples) {
        if (sample.at < run.stormStart || sample.at >= run.stopStart) continue;
        ++samples;
        above += sample.threads > before + kAddedThreads ? 1 : 0;
    }
    PrintFigureRow(kThreadsFigure,
                   Format(L"%d threads, storm to stop; %d of %d samples above +%d%s", peak, above, samples,
                          kAddedThreads, cut.c_str()),
                   Format(L"%d threads in the second before", before), Format(L"+%d", peak - before), kThreadsGoal,
                   cut.empty() && peak <= before + kAddedThreads);
}

void QueueRow(const Run& run, const std::wstring& cut)
{
    if (run.starts.empty())
        return PrintUnmeasured(kQueueFigure, L"no lock-indicator start was recorded", kQueueGoal);
    // The one launcher may be inside a launch when the last code goes: that start comes after it too.
    const int bound = kLaunchingCodes * kMostWaitingPerCode + 1;
    PrintFigure(kQueueFigure,
                Format(L"%d starts%s (most of one code: %d)%s", run.waiting,
                       run.drained ? L"" : L", still coming after 15 s", run.waitingMostOfOne, cut.c_str()),
                Format(L"%d (%d per launching code, 1 under way)", bound, kMostWaitingPerCode),
                double(run.waiting) / bound, kQueueGoal, cut.empty() && run.drained && run.waiting <= bound);
}

void SpacingRow(const Run& run, const std::wstring& cut)
{
    if (run.starts.empty())
        return PrintUnmeasured(kSpacingFigure, L"no lock-indicator start was recorded", kSpacingGoal);
    int most = 0, total = 0, close = 0, codesOver = 0;
    ULONGLONG shortest = ~0ULL;
    for (const auto& entry : run.starts) {
        const std::vector<ULONGLONG>& times = entry.second;
        total += static_cast<int>(times.size());
        int mostOfCode = 0;
        for (size_t first = 0, last = 0; first < times.size(); ++first) {
            while (last < times.size() && times[last] < times[first] + kSpacing) ++last;
            mostOfCode = std::max(mostOfCode, int(last - first));
            if (first == 0) continue;
            shortest = std::min(shortest, times[first] - times[first - 1]);
            close += times[first] - times[first - 1] < kSpacing ? 1 : 0;
        }
        most = std::max(most, mostOfCode);
        codesOver += mostOfCode > 1 ? 1 : 0;
    }
    PrintFigure(kSpacingFigure,
                Format(L"%d in a window (%d of %zu codes above 1), %d starts; %d gaps under 500 ms, shortest %.0f ms%s",
                       most, codesOver, run.starts.size(), total, close,
                       shortest == ~0ULL ? 0.0 : double(shortest) / kFiletimeMs, cut.c_str()),
                L"1 start per 500 ms", most, kSpacingGoal, cut.empty() && most <= 1);
}

void StopRow(const Run& run, const std::wstring& cut)
{
    PrintFigure(kStopFigure,
                run.stopped ? Format(L"%.0f ms%s", run.stop * 1000, cut.c_str())
                            : Format(L"not STOPPED in 10 s%s", cut.c_str()),
                L"1 s", run.stop, kStopGoal, cut.empty() && run.stopped && run.stop <= 1.0);
}

void PrintUnmeasuredRows(double seconds, const wchar_t* why)
{
    PrintUnmeasured(AcceptedFigure(seconds).c_str(), why, kAcceptedGoal);
    PrintUnmeasured(kTripFigure, why, kTripGoal);
    PrintUnmeasured(kThreadsFigure, why, kThreadsGoal);
    PrintUnmeasured(kQueueFigure, why, kQueueGoal);
    PrintUnmeasured(kSpacingFigure, why, kSpacingGoal);
    PrintUnmeasured(kStopFigure, why, kStopGoal);
}

// The code-200 halves stand on either side of the storm, so that a drift of the shared machine's load falls on both;
// the refill fills every launch queue again for the stop. The watch ends before the stop.
void Storm(Run& run, SC_HANDLE service, Watch& watch, const std::wstring& package, double seconds)
{
    const double referenceHalf = std::max(3.0, seconds / 8);
    run.referenceBefore = Send(service, false, referenceHalf, watch);
    HoldFirmware(true);
    ::Sleep(3000);
    run.stormStartTime = FiletimeNow();
    run.stormStart = Now();
    run.storm = Send(service, true, seconds, watch);
    run.lastSentTime = FiletimeNow();
    run.stormEnd = Now();
    if (run.storm.capped) return watch.End();
    Drain(run, package);
    run.referenceAfter = Send(service, false, referenceHalf, watch);
    run.refill = Send(service, true, 2, watch);
    watch.End();
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const double seconds = argc > 1 ? std::max(5, _wtoi(argv[1])) : 60;
    SetLogSwitch(false);
    TestService service(L"OsmiraUtilityService");
    service.Stop(); // a start of its own, so that the supervision window can be timed
    const double started = Now();
    if (!service.EnsureRunning()) {
        PrintUnmeasuredRows(seconds, L"the service does not start");
        return 1;
    }
    const DWORD processId = service.ProcessId();
    const std::wstring package = PackageFolder(processId);
    const win::UniqueServiceHandle serviceHandle = service.Open();
    if (!WaitUntil(BothCompanionsRun, 60000)) ConsolePrint(L"the companions did not both start within 60 s\n");
    WaitOutSupervision(started); // the supervision's threads are no part of the bound

    Run run;
    Watch watch(processId, service.Open(), service.Open());
    Storm(run, serviceHandle.get(), watch, package, seconds);
    run.stopStart = Now();
    SERVICE_STATUS status = {};
    ::ControlService(serviceHandle.get(), SERVICE_CONTROL_STOP, &status);
    run.stopped = WaitUntil([&] {
        SERVICE_STATUS now = {};
        return ::QueryServiceStatus(serviceHandle.get(), &now) && now.dwCurrentState == SERVICE_STOPPED;
    }, 10000, 1);
    run.stop = Now() - run.stopStart;
    HoldFirmware(false);
    ::Sleep(500);
    run.starts = StartsBySwitch(package, run.stormStartTime);

    int lockIndicators = 0;
    for (const Sample& sample : watch.samples) lockIndicators = std::max(lockIndicators, sample.lockIndicators);
    ConsolePrint(L"storm: %s; code 200 alone %d accepted in %.1f s; storm %d accepted, %d refused in %.1f s; "
                 L"%d starts after the last code%s; refill %d accepted; %zu samples, %zu round trips (%d failed); "
                 L"FnKeyLockOsd.exe peak %d processes; stop %s after %.3f s\n",
                 package.c_str(), run.referenceBefore.accepted + run.referenceAfter.accepted,
                 run.referenceBefore.seconds + run.referenceAfter.seconds, run.storm.accepted, run.storm.refused,
                 run.storm.seconds, run.waiting, run.drained ? L"" : L" (not drained)", run.refill.accepted,
                 watch.samples.size(), watch.trips.size(), watch.tripFailures, lockIndicators,
                 run.stopped ? L"STOPPED" : L"not STOPPED", run.stop);
    const std::wstring cut = run.storm.capped
        ? Format(L", cut short after %.1f s at %d lock-indicator processes", run.storm.seconds, kCompanionCap)
        : L"";
    AcceptedRow(run, watch, cut);
    TripRow(run, watch, cut);
    ThreadsRow(run, watch, cut);
    QueueRow(run, cut);
    SpacingRow(run, cut);
    StopRow(run, cut);
    return 0;
}
