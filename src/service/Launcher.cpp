#include "service/Launcher.h"

#include "log/UtilityLog.h"
#include "service/ServiceWaits.h"
#include "win/Threads.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

namespace {

// Departs from starting each launch on the control thread, unbounded: a user's flood must grow neither threads
// nor processes without bound, and a double press must still act twice, so repeats wait rather than drop.
constexpr DWORD kSpacingMilliseconds = 500;
constexpr int kMostWaitingPerCode = 2;

struct Request {
    DWORD control;
    LaunchJob job;
    const void* context;
};

struct CodeState {
    int waiting = 0;
    bool startedBefore = false;
    ULONGLONG lastStart = 0;
    bool dropLogged = false;
};

struct Launcher {
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Request> queue;
    std::map<DWORD, CodeState> codes;
    bool threadRuns = false;
};

// Never destroyed: the launcher thread may still run while the process exits.
Launcher& g_launcher = *new Launcher;

// Takes the next request when its code's spacing allows, waiting under the lock until then; the wait ends early
// when a request comes or the queue is dropped.
Request NextRequest(std::unique_lock<std::mutex>& lock)
{
    const ULONGLONG spacing = ScaledWaitMilliseconds(kSpacingMilliseconds);
    for (;;) {
        if (g_launcher.queue.empty()) {
            g_launcher.wake.wait(lock);
            continue;
        }
        const Request next = g_launcher.queue.front();
        CodeState& code = g_launcher.codes[next.control];
        const ULONGLONG now = ::GetTickCount64();
        if (code.startedBefore && now - code.lastStart < spacing) {
            g_launcher.wake.wait_for(lock, std::chrono::milliseconds(spacing - (now - code.lastStart)));
            continue;
        }
        g_launcher.queue.pop_front();
        --code.waiting;
        code.startedBefore = true;
        code.lastStart = now;
        return next;
    }
}

DWORD WINAPI RunLauncher(LPVOID)
{
    std::unique_lock<std::mutex> lock(g_launcher.lock);
    for (;;) {
        const Request request = NextRequest(lock);
        lock.unlock();
        if (!ServiceIsQuitting()) request.job(request.control, request.context);
        lock.lock();
        // Counted from the end of the start as well: a check takes its own time, and the programs' starts, not the
        // requests' turns, must be 500 ms apart.
        g_launcher.codes[request.control].lastStart = ::GetTickCount64();
    }
}

} // namespace

BOOL QueueLaunch(DWORD control, LaunchJob job, const void* context)
{
    std::lock_guard<std::mutex> guard(g_launcher.lock);
    if (ServiceIsQuitting()) return FALSE;
    CodeState& code = g_launcher.codes[control];
    if (code.waiting >= kMostWaitingPerCode) {
        if (!code.dropLogged) {
            WriteLog(L"OsmiraUtilityService dwCtrl : %d dropped: two of its launches are waiting already;"
                     L" repeats are dropped unlogged until one is queued",
                     control);
        }
        code.dropLogged = true;
        return FALSE;
    }
    if (!g_launcher.threadRuns && !win::StartDetachedThread(&RunLauncher)) {
        WriteLog(L"OnServiceControlHandle CreateThread launcher fail GetLastError: %d", ::GetLastError());
        return FALSE;
    }
    g_launcher.threadRuns = true;
    g_launcher.queue.push_back({control, job, context});
    ++code.waiting;
    code.dropLogged = false;
    g_launcher.wake.notify_one();
    return TRUE;
}

void DropWaitingLaunches()
{
    std::lock_guard<std::mutex> guard(g_launcher.lock);
    if (g_launcher.queue.empty()) return;
    WriteLog(L"OsmiraUtilityService %d waiting launches dropped: the service stops",
             static_cast<int>(g_launcher.queue.size()));
    g_launcher.queue.clear();
    for (auto& entry : g_launcher.codes) entry.second.waiting = 0;
}
