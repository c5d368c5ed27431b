// The LED path in-process: the firmware client and writers against the firmware stand-in registered here,
// the request workers reached through the dispatcher, and the external keyboards' names and list.
#include "FirmwareStandIn.h"
#include "support/Seams.h"
#include "hardware/HidKbLed.h"
#include "hardware/QvkWmi.h"
#include "registry/RegistryKeys.h"
#include "service/ControlCodes.h"
#include "service/ControlDispatcher.h"
#include "service/LedWorkers.h"
#include "support/RegistryTestSupport.h"

#include <algorithm>
#include <map>
#include <mutex>

using namespace testsupport;
using Texts = std::vector<std::wstring>;

namespace {

const std::wstring kSetFeature = std::wstring(firmware::kUtilityClass) + L"\\SetFeature";
const std::wstring kMicOn = L"featuretype=\"1\"";
const std::wstring kMicOff = L"featuretype=\"2\"";
const std::wstring kSpeakerOn = L"featuretype=\"4\"";
const std::wstring kSpeakerOff = L"featuretype=\"5\"";
const std::wstring kGotMethod = L"WMI:Get method successfully ";
const std::wstring kGetObjectFailed = L"WMI:ExecMethodWMI get object failed! error=0x80041001 ";
const std::wstring kReconnect = L"WMI:ExecMethodWMI reconnect com server. ";
const std::wstring kNoKeyboardList = L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard OpenKey line:%d, lasterror:2";

// Under the stand-in's behaviour key: class or class\\method, value, data.
using Behaviour = std::tuple<std::wstring, const wchar_t*, DWORD>;
void Apply(const Behaviour& behaviour)
{
    const auto& [subKey, name, data] = behaviour;
    ASSERT_TRUE(WriteDword(HKEY_LOCAL_MACHINE, std::wstring(firmware::kBehaviourKey) + L"\\" + subKey, name, data));
}

// The waits that each thread of the service has begun; a worker begins one on every pass, after its call. Never
// destroyed: the workers outlive the test.
std::mutex& g_passLock = *new std::mutex;
std::map<DWORD, unsigned>& g_passes = *new std::map<DWORD, unsigned>;
void CountPass()
{
    const std::lock_guard<std::mutex> guard(g_passLock);
    ++g_passes[::GetCurrentThreadId()];
}
// Every thread that waited begins two more waits: a whole pass of each worker, and any call it makes, lies between.
bool EveryWorkerPassed()
{
    std::unique_lock<std::mutex> guard(g_passLock);
    const std::map<DWORD, unsigned> before = g_passes;
    guard.unlock();
    return WaitUntil([&] {
        const std::lock_guard<std::mutex> lock(g_passLock);
        return std::all_of(before.begin(), before.end(), [](const auto& pass) {
            return g_passes[pass.first] >= pass.second + 2;
        });
    }, 10000);
}

// The firmware stand-in serves this process; its behaviour, states and the keyboard list start empty.
class LedPath : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_EQ(S_OK, RegisterFirmwareClassObject(&m_cookie));
        MarkCalls();
    }
    void TearDown() override
    {
        ::CoRevokeClassObject(m_cookie);
        ::CoUninitialize();
        LoggedTest::TearDown();
    }
    void MarkCalls() { m_callsBefore = firmware::ReadCallRecords().size(); }
    // The inputs of this process's calls since the mark; only those among the given ones when some are given.
    Texts Inputs(const Texts& among = {}) const
    {
        const std::vector<firmware::CallRecord> calls = firmware::ReadCallRecords();
        Texts inputs;
        for (size_t i = m_callsBefore; i < calls.size(); ++i) {
            const bool wanted = among.empty() || std::count(among.begin(), among.end(), calls[i].input) > 0;
            if (calls[i].processId == ::GetCurrentProcessId() && wanted) inputs.push_back(calls[i].input);
        }
        return inputs;
    }
    size_t Count(const std::wstring& pattern) const { return regtest::CountLogged(pattern, LogPath()); }
    DWORD m_cookie = 0;
    size_t m_callsBefore = 0;
    RegistryTreeGuard m_firmware{L"Software\\OsmiraFirmwareStandIn"};
    RegistryTreeGuard m_keyboards{regkeys::kKeyboardListKey};
};

} // namespace

// One client object per call: what reaches the firmware, what comes back, what is logged.
TEST_F(LedPath, FirmwareClientCallsSetFeatureOnceAndReportsItsData)
{
    using namespace firmware;
    // Per row: the stand-in's behaviours, the feature id, the answer, the out-value (7 before the call), the inputs
    // that reach the firmware and the records logged.
    const std::tuple<const char*, std::vector<Behaviour>, UINT32, BOOL, INT32, Texts, Texts> cases[] = {
        {"enumeration held", {{kUtilityClass, kHold, 1}}, 1, FALSE, 7, {},
         {L"WMI:EnumInstances Next timed out after 5000 ms"}},
        {"id 2, Data -1", {{kSetFeature, kData, 0xFFFFFFFF}}, 2, TRUE, 7, {kMicOff}, {kGotMethod}},
        {"id 3", {}, 3, TRUE, 0, {L"featuretype=null"}, {kGotMethod}},
        {"class lookup fails twice", {{kUtilityClass, kGetObjectFailures, 2}}, 1, FALSE, 7, {},
         {kGetObjectFailed, kReconnect, kGetObjectFailed}},
        {"class lookup fails once, largest Data",
         {{kUtilityClass, kGetObjectFailures, 1}, {kSetFeature, kData, 0x7FFFFFFF}}, 4, TRUE, 0x7FFFFFFF, {kSpeakerOn},
         {kGetObjectFailed, kReconnect, kGotMethod}},
        {"no input signature", {{kSetFeature, kNoInputSignature, 1}}, 1, TRUE, 0, {L"-"}, {kGotMethod}},
        {"ExecMethod error", {{kSetFeature, kExecMethodError, 0x80041004}}, 1, FALSE, 7, {kMicOn}, {kGotMethod}},
    };
    for (const auto& [what, behaviours, featureId, result, expectedOut, inputs, records] : cases) {
        SCOPED_TRACE(what);
        RegistryTreeGuard::Delete(L"Software\\OsmiraFirmwareStandIn");
        for (const Behaviour& behaviour : behaviours) Apply(behaviour);
        ClearLog();
        MarkCalls();
        INT32 outValue = 7;
        {
            CQvkWmi client;
            EXPECT_EQ(result, client.QVK_SetFeature(featureId, &outValue));
        }
        EXPECT_EQ(expectedOut, outValue);
        EXPECT_EQ(inputs, Inputs());
        EXPECT_TRUE(regtest::RecordsMatch(Messages(), records));
    }
}

// 100 alternating requests of each kind, sent while each worker's firmware call is held, collapse into
// the last one; later requests and keyboard-connect replays still arrive.
TEST_F(LedPath, BurstsCollapseIntoTheLastRequestAndLaterRequestsArrive)
{
    const Texts micInputs = {kMicOn, kMicOff};
    const Texts speakerInputs = {kSpeakerOn, kSpeakerOff};
    // Idle passes every 100 ms, counted.
    SetWaitDivisorForTesting(20);
    SetWaitObserverForTesting(&CountPass);
    // Before any mic-mute request the replay writes "not muted" to both paths.
    DispatchServiceControl(SVC_CTL_BLUE_KB_CONNECT, 0, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Inputs() == Texts{kMicOff} && Count(kNoKeyboardList) == 1; }, 20000));

    // Every call answers 1 from here on, so that the firmware writers log their "__outParam" lines.
    Apply({kSetFeature, firmware::kData, 1});
    Apply({kSetFeature, firmware::kHold, 1});
    DispatchServiceControl(SVC_CTL_MICMUTE_LED_ON, 0, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return Inputs(micInputs) == Texts{kMicOff, kMicOn}; }, 20000));
    for (int i = 0; i < 100; ++i) {
        DispatchServiceControl(i % 2 ? SVC_CTL_MICMUTE_LED_OFF : SVC_CTL_MICMUTE_LED_ON, 0, nullptr);
        DispatchServiceControl(i % 2 ? SVC_CTL_SPEAKER_LED_ON : SVC_CTL_SPEAKER_LED_OFF, 0, nullptr);
    }
    // The speaker worker's first call is held too: the workers do not wait for each other.
    ASSERT_TRUE(WaitUntil([&] { return Inputs(speakerInputs).size() == 1; }, 20000));
    Apply({kSetFeature, firmware::kHold, 0});
    const win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, firmware::kReleaseEvent));
    ::SetEvent(release.get());
    ::SetEvent(release.get());
    EXPECT_TRUE(WaitUntil([&] { return Inputs(micInputs).size() == 3 && Inputs(speakerInputs).back() == kSpeakerOn; },
                          20000));
    DispatchServiceControl(SVC_CTL_MICMUTE_LED_ON, 0, nullptr);
    DispatchServiceControl(SVC_CTL_SPEAKER_LED_OFF, 0, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Inputs(micInputs).size() == 4 && Inputs(speakerInputs).back() == kSpeakerOff; },
                          20000));
    DispatchServiceControl(SVC_CTL_BLUE_KB_CONNECT, 0, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return Inputs(micInputs).size() >= 5; }, 20000));
    EXPECT_TRUE(EveryWorkerPassed());
    // Between the replays, the mic-mute worker applied "on", the burst's last "off", and "on".
    EXPECT_EQ((Texts{kMicOff, kMicOn, kMicOff, kMicOn, kMicOn}), Inputs(micInputs));
    EXPECT_LE(Inputs(speakerInputs).size(), 3u);
    // Its writer logged each answer of 1.
    EXPECT_EQ(3u, Count(L" g_qvk.QVK_SetFeature __outParam return 1 "));
}

// A keyboard subkey's name gives both ids, or none and leaves the outputs as they were.
TEST(KeyboardNames, ParseIntoVendorAndProductIds)
{
    const std::wstring usb = L"VID_7A7A&PID_0101&";
    const DWORD unset = 0xDEADBEEF;
    const std::tuple<std::wstring, BOOL, DWORD, DWORD> cases[] = {
        {L"{00001124-0000-1000-8000-00805f9b34fb}_vid&ffffffff_pid&ffff&col02", TRUE, 0xFFFFFFFF, 0xFFFF},
        {usb + std::wstring(241, L'X'), TRUE, 0x7A7A, 0x0101}, // 259 characters, the suffix left out
        // Refused, one of each class: too long, no separator, too few digits, a short product, a wrong
        // prefix, not hexadecimal.
        {usb + std::wstring(242, L'X'), FALSE, unset, unset},
        {L"VID_7A7A", FALSE, unset, unset},
        {L"VID_7A7&PID_0101", FALSE, unset, unset},
        {L"VID_7A7A&PID_01", FALSE, unset, unset},
        {L"VID_7A7A&PIX_0101", FALSE, unset, unset},
        {L"VID_7A7G&PID_0101", FALSE, unset, unset},
    };
    for (const auto& [name, parsed, expectedVendor, expectedProduct] : cases) {
        SCOPED_TRACE(Narrow(name));
        DWORD vendor = unset;
        DWORD product = unset;
        EXPECT_EQ(parsed, DeviceIdString2Number(name.c_str(), &vendor, &product));
        EXPECT_EQ(expectedVendor, vendor);
        EXPECT_EQ(expectedProduct, product);
    }
}

// A listed keyboard whose name does not parse, or that is not attached, fails alone and is logged.
TEST_F(LedPath, KeyboardListWithoutAttachedKeyboards)
{
    const std::wstring guard = L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard ";
    regtest::CreateKey(regkeys::kKeyboardListKey + std::wstring(L"\\VID_7A7A"));
    regtest::CreateKey(regkeys::kKeyboardListKey + std::wstring(L"\\VID_7A7A&PID_0101"));
    EXPECT_EQ(FALSE, WriteStatusToRegisteredKeyboards(true));
    EXPECT_EQ(1u, Count(guard + L"DeviceIdString2Number line:%d, lasterror:%d"));
    EXPECT_EQ(1u, Count(guard + L"SetHidKBLedStatus line:%d, lasterror:%d, VID&PID:VID_7A7A&PID_0101"));
}
