#include "service/LedWorkers.h"

#include "hardware/HidKbLed.h"
#include "hardware/QvkWmi.h"
#include "log/UtilityLog.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "service/ServiceWaits.h"
#include "win/Threads.h"

#include <atomic>
#include <mutex>
#include <optional>

namespace {

constexpr wchar_t kSpeakerLedEventName[] = L"31E6BDD1-18E4-4B84-B28E-0D6CFB1978F9_FNHOTKEY";
constexpr wchar_t kMicMuteLedEventName[] = L"EF55FD20-D641-4B65-A7C5-F93618116671";
constexpr wchar_t kHidMicMuteLedEventName[] = L"EDCDA4EE-C605-4BA8-95ED-D93A91EDA7ED";

// The wake events, made in every run of the executable and left to end with the process. The
// static initialisers run before the log can be written, so why each is not the named one
// waits here for LogLedEventFallbacks.
DWORD g_ledEventFallbacks[3] = {};
HANDLE g_hSpeakerLedEvent = CreateOwnEvent(kSpeakerLedEventName, &g_ledEventFallbacks[0]);
HANDLE g_hMicMuteLedEvent = CreateOwnEvent(kMicMuteLedEventName, &g_ledEventFallbacks[1]);
HANDLE g_hHidMicMuteLedEvent = CreateOwnEvent(kHidMicMuteLedEventName, &g_ledEventFallbacks[2]);
std::atomic<bool> g_ledFallbacksLogged{false};

// The request records: the last wanted state and how many requests the worker has not applied.
struct SpeakerLedRequest {
    std::mutex lock;
    LONG pending = 0;
    DWORD value = 0;
};
struct MicMuteLedRequest {
    std::mutex lock;
    DWORD value = 0;
    LONG firmwarePending = 0;
    LONG hidPending = 0;
};
// The last mic-mute state, for the keyboard-connect replay; taken inside the request lock only.
struct MicMuteStatus {
    std::mutex lock;
    DWORD bMuted = 0;
};

SpeakerLedRequest g_speakerRequest;
MicMuteLedRequest g_micMuteRequest;
MicMuteStatus sMicMute;

// Set by the dispatcher after a start and by each worker on every pass; read without a lock.
std::atomic<bool> g_speakerWorkerRunning{false};
std::atomic<bool> g_micMuteWorkerRunning{false};
std::atomic<bool> g_hidMicMuteWorkerRunning{false};

// What differs between the three workers.
struct WorkerPath {
    std::mutex& lock;
    LONG& pending;
    DWORD& value;
    HANDLE& wakeEvent;
    std::atomic<bool>& running;
    BOOL (*writer)(DWORD);
    bool firmware;  // the writer talks to the firmware, in the worker's COM apartment
    const wchar_t* onLine;
    const wchar_t* offLine;
    const wchar_t* exitLine;
};

BOOL WriteHidKeyboards(DWORD muted)
{
    WriteStatusToRegisteredKeyboards(muted != 0);
    return TRUE;
}

const WorkerPath kSpeakerPath = {
    g_speakerRequest.lock, g_speakerRequest.pending, g_speakerRequest.value, g_hSpeakerLedEvent, g_speakerWorkerRunning,
    &WriteSpkVolStateToKeyboard, true,
    L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_ON ,line:%d",
    L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_OFF ,line:%d",
    L"___ThreadWriteSpeakerLedStatus will exit line:%d"};
const WorkerPath kMicMutePath = {
    g_micMuteRequest.lock, g_micMuteRequest.firmwarePending, g_micMuteRequest.value, g_hMicMuteLedEvent,
    g_micMuteWorkerRunning, &SyncStatusToKeyboard, true,
    L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON ,line:%d",
    L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF ,line:%d",
    L"___ThreadWriteMicmuteLedStatus will exit line:%d"};
const WorkerPath kHidMicMutePath = {
    g_micMuteRequest.lock, g_micMuteRequest.hidPending, g_micMuteRequest.value, g_hHidMicMuteLedEvent,
    g_hidMicMuteWorkerRunning, &WriteHidKeyboards, false,
    L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON To HID ,line:%d",
    L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF To HID ,line:%d",
    L"___WriteHIDMicmuteLedStatus will exit line:%d"};

// Applies the latest request, if any, then sleeps until woken or for 2 s. The wake event is
// never closed, so only a failed wait ends the loop.
DWORD RunWorker(const WorkerPath& path)
{
    // A firmware worker stays in the process's multithreaded apartment for its whole life, so
    // each firmware conversation joins a lasting apartment instead of building one and tearing
    // it down again: that round cost about 8 ms and 4 KiB that were never given back per call.
    // Entered at the first firmware call, so that no worker waits for another thread's set-up
    // before it runs.
    std::optional<FirmwareApartment> apartment;
    for (;;) {
        bool apply = false;
        DWORD value = 0;
        {
            std::lock_guard<std::mutex> guard(path.lock);
            if (path.pending >= 1) {
                value = path.value;
                path.pending = 0;
                apply = true;
            }
        }
        if (apply && path.firmware && !apartment) apartment.emplace(COINIT_MULTITHREADED);
        // No lock is held while a keyboard is written: requests keep arriving meanwhile.
        if (apply) {
            path.writer(value);
            WriteLog(value ? path.onLine : path.offLine, __LINE__);
        }
        path.running.exchange(true);
        const DWORD wait = ::WaitForSingleObject(path.wakeEvent, ScaledWaitMilliseconds(2000));
        if (wait != WAIT_OBJECT_0 && wait != WAIT_TIMEOUT) break;
    }
    WriteLog(path.exitLine, __LINE__);
    apartment.reset();
    path.running.exchange(false);
    return 0;
}

// One LED write to the firmware and the lines logged around it; the numbers after "return" name the write.
struct FirmwareWrite {
    UINT32 feature;
    const wchar_t* failed;
    const wchar_t* answer;  // with the out-value; null: not logged
    const wchar_t* answerOne;
    const wchar_t* done;
};
const FirmwareWrite kMicMuteOn = {SET_KBD_MIC_LED_ON, L" g_qvk.QVK_SetFeature(SET_KBD_MIC_LED_ON return failed",
                                  L" SyncStatusToKeyboard   sMicMute.QVK_SetFeature GetReturn:%d",
                                  L" g_qvk.QVK_SetFeature __outParam return 1 ",
                                  L" SyncStatusToKeyboard   sMicMute.QVK_SetFeature SET_KBD_MIC_LED_ON"};
const FirmwareWrite kMicMuteOff = {SET_KBD_MIC_LED_OFF, L" g_qvk.QVK_SetFeature(SET_KBD_MIC_LED_OFF return failed",
                                   nullptr, L" g_qvk.QVK_SetFeature __outParam return 2 ",
                                   L" SyncStatusToKeyboard   sMicMute.bMuted != TRUE"};
const FirmwareWrite kSpeakerOn = {SET_KBD_SpkVol_LED_ON, L" g_qvk.QVK_SetFeature(SET_KBD_SpkVol_LED_ON return failed",
                                  nullptr, L" g_qvk.QVK_SetFeature __outParam return 3 ",
                                  L" WriteSpkVolStateToKeyboard  SET_KBD_SpkVol_LED_ON SET_KBD_SpkVol_LED_ON"};
const FirmwareWrite kSpeakerOff = {SET_KBD_SpkVol_LED_OFF,
                                   L" g_qvk.QVK_SetFeature(SET_KBD_SpkVol_LED_OFF return failed", nullptr,
                                   L" g_qvk.QVK_SetFeature SET_KBD_SpkVol_LED_OFF __outParam return 1 ",
                                   L" WriteSpkVolStateToKeyboard  SET_KBD_SpkVol_LED_OFF != TRUE"};

// One firmware conversation of its own; the object is destroyed after the last line.
void WriteFirmware(const FirmwareWrite& write)
{
    CQvkWmi qvk;
    INT32 outParam = 0;
    if (!qvk.QVK_SetFeature(write.feature, &outParam)) WriteLog(write.failed);
    if (write.answer) WriteLog(write.answer, outParam);
    if (outParam == 1) WriteLog(write.answerOne);
    WriteLog(write.done);
}

// Starts a worker that is not running; false, logged, when it cannot be created.
bool EnsureWorker(std::atomic<bool>& running, LPTHREAD_START_ROUTINE worker, const wchar_t* failure)
{
    if (running.load()) return true;
    if (!win::StartDetachedThread(worker)) {
        WriteLog(failure, ::GetLastError());
        return false;
    }
    running.exchange(true);
    return true;
}

// The keyboard-connect replays: one thread at a time, and at most one more request behind it.
struct ReplayRequests {
    std::mutex lock;
    bool running = false;
    bool again = false;
};
// Never destroyed: a replay thread may still run while the process exits.
ReplayRequests& g_replays = *new ReplayRequests;

// A replay's firmware call, on a thread of its own so that a firmware that never answers holds only that thread:
// while it is out, later replays leave the firmware alone instead of stacking threads behind it. The done event is
// set before the call counts as back, so that a later replay's reset cannot lose it.
constexpr DWORD kReplayFirmwareDeadlineMilliseconds = 1000;
std::atomic<bool> g_replayFirmwareOut{false};
std::atomic<bool> g_replayFirmwareSkipLogged{false};
HANDLE g_replayFirmwareDone = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);

DWORD WINAPI ReplayToFirmware(LPVOID muted)
{
    SyncStatusToKeyboard(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(muted)));
    ::SetEvent(g_replayFirmwareDone);
    g_replayFirmwareOut.store(false);
    return 0;
}

void ReplayToFirmwareWithDeadline(DWORD muted)
{
    if (g_replayFirmwareOut.exchange(true)) {
        if (!g_replayFirmwareSkipLogged.exchange(true)) {
            WriteLog(L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT the firmware call of an earlier replay is still"
                     L" out; replays go to the external keyboards only until it returns");
        }
        return;
    }
    g_replayFirmwareSkipLogged.store(false);
    ::ResetEvent(g_replayFirmwareDone);
    if (!win::StartDetachedThread(&ReplayToFirmware, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(muted)))) {
        g_replayFirmwareOut.store(false);
        WriteLog(L"OnServiceControlHandle CreateThread ReplayToFirmware fail GetLastError: %d", ::GetLastError());
        return;
    }
    if (::WaitForSingleObject(g_replayFirmwareDone, kReplayFirmwareDeadlineMilliseconds) == WAIT_TIMEOUT) {
        WriteLog(L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT firmware not done within %d ms; the external"
                 L" keyboards go on without it",
                 static_cast<int>(kReplayFirmwareDeadlineMilliseconds));
    }
}

// Departs from writing the firmware and then the keyboards in one thread: a firmware call that does not return
// within the deadline no longer holds the keyboards; the order stays firmware first.
void ReplayMicMuteState()
{
    DWORD muted = 0;
    {
        std::lock_guard<std::mutex> status(sMicMute.lock);
        muted = sMicMute.bMuted;
    }
    WriteLog(muted ? L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:muted ,line:%d"
                   : L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:not muted ,line:%d",
             __LINE__);
    ReplayToFirmwareWithDeadline(muted);
    WriteStatusToRegisteredKeyboards(muted != 0);
}

} // namespace

void LogLedEventFallbacks()
{
    if (g_ledFallbacksLogged.exchange(true)) return;
    LogOwnEventFallback(kSpeakerLedEventName, g_ledEventFallbacks[0]);
    LogOwnEventFallback(kMicMuteLedEventName, g_ledEventFallbacks[1]);
    LogOwnEventFallback(kHidMicMuteLedEventName, g_ledEventFallbacks[2]);
}

DWORD WINAPI ThreadWriteSpeakerLedStatus(LPVOID) { return RunWorker(kSpeakerPath); }
DWORD WINAPI ThreadWriteMicmuteLedStatus(LPVOID) { return RunWorker(kMicMutePath); }
DWORD WINAPI ___WriteHIDMicmuteLedStatus(LPVOID) { return RunWorker(kHidMicMutePath); }

void WriteSpeakerLedStatus(DWORD state)
{
    {
        std::lock_guard<std::mutex> guard(g_speakerRequest.lock);
        ++g_speakerRequest.pending;
        g_speakerRequest.value = state;
        ::SetEvent(g_hSpeakerLedEvent);
    }
    // A request whose worker cannot start stays recorded for the next worker.
    EnsureWorker(g_speakerWorkerRunning, &ThreadWriteSpeakerLedStatus,
                 L"OnServiceControlHandle CreateThread ThreadWriteSpeakerLedStatus fail GetLastError: %d");
}

void WriteMicMuteLedStatusForConnected(DWORD state)
{
    {
        std::lock_guard<std::mutex> request(g_micMuteRequest.lock);
        g_micMuteRequest.value = state;
        ++g_micMuteRequest.firmwarePending;
        ++g_micMuteRequest.hidPending;
        {
            std::lock_guard<std::mutex> status(sMicMute.lock);
            sMicMute.bMuted = state;
        }
        WriteLog(L"WriteMicMuteLedStatusForConnected::Write  MicMuteL %d Status ,line:%d", state, __LINE__);
        ::SetEvent(g_hMicMuteLedEvent);
        ::SetEvent(g_hHidMicMuteLedEvent);
    }
    const wchar_t* failure = L"OnServiceControlHandle CreateThread ThreadWriteMicmuteLedStatus fail GetLastError: %d";
    if (!EnsureWorker(g_micMuteWorkerRunning, &ThreadWriteMicmuteLedStatus, failure)) return;
    EnsureWorker(g_hidMicMuteWorkerRunning, &___WriteHIDMicmuteLedStatus, failure);
}

void ReplayMicMuteForConnectedKeyboard(DWORD)
{
    {
        std::lock_guard<std::mutex> guard(g_replays.lock);
        if (g_replays.running) {
            g_replays.again = true;
            return;
        }
        g_replays.running = true;
    }
    if (win::StartDetachedThread(&ThreadBlueKeyBoardConnect)) return;
    WriteLog(L"OnServiceControlHandle CreateThread ThreadBlueKeyBoardConnect fail GetLastError: %d", ::GetLastError());
    std::lock_guard<std::mutex> guard(g_replays.lock);
    g_replays.running = false;
}

DWORD WINAPI ThreadBlueKeyBoardConnect(LPVOID)
{
    for (;;) {
        ReplayMicMuteState();
        std::lock_guard<std::mutex> guard(g_replays.lock);
        if (!g_replays.again) {
            g_replays.running = false;
            return 0;
        }
        g_replays.again = false;
    }
}

BOOL WriteStatusToRegisteredKeyboards(bool mute)
{
    WriteLog(mute ? L"WriteStatusToHIDKeyboard ___bMute = TRUE" : L"WriteStatusToHIDKeyboard ___bMute = FALSE");
    std::vector<std::wstring> keyboards;
    {
        win::UniqueRegKey key;
        const LONG status = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, regkeys::kKeyboardListKey, 0, KEY_READ, key.put());
        if (status != ERROR_SUCCESS) {
            WriteLog(L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard OpenKey line:%d, lasterror:%d", __LINE__, status);
            return FALSE;
        }
        keyboards = GetSubKeys(key.get());
    }
    if (keyboards.empty()) {
        WriteLog(L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard GetSubKeys line:%d, lasterror:%d", __LINE__,
                 ::GetLastError());
        return FALSE;
    }
    return CMicMuteStatusGuard::WriteStatusToHIDKeyboard(mute, keyboards);
}

BOOL SyncStatusToKeyboard(DWORD muted)
{
    WriteFirmware(muted ? kMicMuteOn : kMicMuteOff);
    return TRUE;
}

BOOL WriteSpkVolStateToKeyboard(DWORD on)
{
    WriteFirmware(on ? kSpeakerOn : kSpeakerOff);
    return TRUE;
}
