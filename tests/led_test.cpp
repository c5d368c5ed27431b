// The LED path in-process: the firmware client and the firmware writers against the firmware
// stand-in registered in this process (its recorded calls and behaviours), the request workers
// reached through the dispatcher's rows, and the external keyboards' names and list without a
// keyboard attached.
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

using namespace testsupport;
using regtest::CountLogged;
using regtest::RecordsMatch;
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

// A behaviour of the stand-in, under its behaviour key.
struct Behaviour {
    std::wstring subKey;
    const wchar_t* name;
    DWORD data;
};

void Apply(const Behaviour& behaviour)
{
    const std::wstring key = std::wstring(firmware::kBehaviourKey) + L"\\" + behaviour.subKey;
    const LONG status = ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), behaviour.name, REG_DWORD,
                                          &behaviour.data, sizeof behaviour.data);
    ASSERT_EQ(ERROR_SUCCESS, status);
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
    // Later calls count from here.
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
    size_t Count(const std::wstring& pattern) const { return CountLogged(pattern, LogPath()); }

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
    struct Case {
        const char* what;
        std::vector<Behaviour> behaviours;
        UINT32 featureId;
        BOOL result;
        INT32 outValue;  // starts at 7
        Texts inputs;
        Texts records;
    };
    const Case cases[] = {
        {"no instance", {{kUtilityClass, kInstances, 0}}, 1, FALSE, 7, {}, {}},
        {"enumeration held", {{kUtilityClass, kHold, 1}}, 1, FALSE, 7, {},
         {L"WMI:EnumInstances Next timed out after 5000 ms"}},
        {"id 2, Data -1", {{kSetFeature, kData, 0xFFFFFFFF}}, 2, TRUE, 7, {kMicOff}, {kGotMethod}},
        {"id 1, Data null", {{kSetFeature, kNoData, 2}}, 1, TRUE, 7, {kMicOn}, {kGotMethod}},
        {"id 4", {{kSetFeature, kData, 0x7FFFFFFF}}, 4, TRUE, 0x7FFFFFFF, {kSpeakerOn}, {kGotMethod}},
        {"id 3", {}, 3, TRUE, 0, {L"featuretype=null"}, {kGotMethod}},
        {"class lookup fails twice", {{kUtilityClass, kGetObjectFailures, 2}}, 1, FALSE, 7, {},
         {kGetObjectFailed, kReconnect, kGetObjectFailed}},
        {"class lookup fails once", {{kUtilityClass, kGetObjectFailures, 1}}, 4, TRUE, 0, {kSpeakerOn},
         {kGetObjectFailed, kReconnect, kGotMethod}},
        {"no input signature", {{kSetFeature, kNoInputSignature, 1}}, 1, TRUE, 0, {L"-"}, {kGotMethod}},
        {"ExecMethod error", {{kSetFeature, kExecMethodError, 0x80041004}}, 1, FALSE, 7, {kMicOn}, {kGotMethod}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryTreeGuard firmwareKeys(L"Software\\OsmiraFirmwareStandIn");
        for (const Behaviour& behaviour : c.behaviours) Apply(behaviour);
        ClearLog();
        MarkCalls();
        INT32 outValue = 7;
        {
            CQvkWmi client;
            EXPECT_EQ(c.result, client.QVK_SetFeature(c.featureId, &outValue));
        }
        EXPECT_EQ(c.outValue, outValue);
        EXPECT_EQ(c.inputs, Inputs());
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}

// While each worker's firmware call is held, 100 alternating requests of each kind collapse: the
// mic-mute worker makes one more call, the speaker worker at most two, each ending in the last
// request; later requests and keyboard-connect replays still arrive.
TEST_F(LedPath, BurstsCollapseIntoTheLastRequestAndLaterRequestsArrive)
{
    const Texts micInputs = {kMicOn, kMicOff};
    const Texts speakerInputs = {kSpeakerOn, kSpeakerOff};

    // Idle passes every 100 ms: a worker that applied one request per pass would show it at once.
    SetWaitDivisorForTesting(20);
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
    const std::wstring workerOn = L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON ,line:%d";
    EXPECT_TRUE(WaitUntil([&] { return Inputs(micInputs).size() >= 5 && Count(workerOn) >= 2; }, 20000));
    EXPECT_EQ((Texts{kMicOff, kMicOn, kMicOff, kMicOn, kMicOn}), Inputs(micInputs));
    EXPECT_LE(Inputs(speakerInputs).size(), 3u);

    // Each row logged each of its controls once; the mic-mute firmware worker applied three states and
    // its writer logged each of the five mic-mute calls.
    const std::pair<std::wstring, size_t> lineCounts[] = {
        {L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON event !Line:%d  dwCtrl : 160 ", 52},
        {L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF event !Line:%d  dwCtrl : 161 ", 50},
        {L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_ON event !Line:%d  dwCtrl : 154 ", 50},
        {L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_OFF event !Line:%d  dwCtrl : 155 ", 51},
        {L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT event !Line:%d  dwCtrl : 151 ", 2},
        {L"WriteMicMuteLedStatusForConnected::Write  MicMuteL 1 Status ,line:%d", 52},
        {workerOn, 2},
        {L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF ,line:%d", 1},
        {L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:not muted ,line:%d", 1},
        {L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:muted ,line:%d", 1},
        {L" SyncStatusToKeyboard   sMicMute.QVK_SetFeature GetReturn:1", 3},
        {L" g_qvk.QVK_SetFeature __outParam return 1 ", 3},
        {L" SyncStatusToKeyboard   sMicMute.QVK_SetFeature SET_KBD_MIC_LED_ON", 3},
        {L" g_qvk.QVK_SetFeature __outParam return 2 ", 1},
        {L" SyncStatusToKeyboard   sMicMute.bMuted != TRUE", 2},
    };
    for (const auto& [pattern, count] : lineCounts) EXPECT_EQ(count, Count(pattern)) << Narrow(pattern);
}

// A keyboard subkey's name gives both ids, or none and leaves the outputs as they were.
TEST(KeyboardNames, ParseIntoVendorAndProductIds)
{
    const std::wstring bluetooth = L"{00001124-0000-1000-8000-00805F9B34FB}_";
    const std::wstring usb = L"VID_7A7A&PID_0101&";
    const std::tuple<std::wstring, DWORD, DWORD> accepted[] = {
        {L"VID_7A7A&PID_0101", 0x7A7A, 0x0101},
        {L"vid_7a7a&Pid_0101&mi_00", 0x7A7A, 0x0101},
        {bluetooth + L"VID&0002045E_PID&0800", 0x0002045E, 0x0800},
        {L"{00001124-0000-1000-8000-00805f9b34fb}_vid&ffffffff_pid&ffff&col02", 0xFFFFFFFF, 0xFFFF},
        {usb + std::wstring(241, L'X'), 0x7A7A, 0x0101},  // 259 characters
    };
    for (const auto& [name, expectedVendor, expectedProduct] : accepted) {
        SCOPED_TRACE(Narrow(name));
        DWORD vendor = 0;
        DWORD product = 0;
        EXPECT_EQ(TRUE, DeviceIdString2Number(name.c_str(), &vendor, &product));
        EXPECT_EQ(expectedVendor, vendor);
        EXPECT_EQ(expectedProduct, product);
    }
    const std::wstring rejected[] = {
        usb + std::wstring(242, L'X'), L"VID_7A7A", L"VID_7A7&PID_0101", L"VID_7A7A&PID_01", L"USB_7A7A&PID_0101",
        L"VID_7A7G&PID_0101", L"VID_7A7A&PIX_0101", bluetooth + L"VID&045E_PID&0800",
        bluetooth + L"VID_7A7A&PID_0101", L"VID&0002045E_PID&0800",
    };
    for (const std::wstring& name : rejected) {
        DWORD vendor = 0xDEADBEEF;
        DWORD product = 0xDEADBEEF;
        EXPECT_EQ(FALSE, DeviceIdString2Number(name.c_str(), &vendor, &product)) << Narrow(name);
        EXPECT_EQ((std::pair<DWORD, DWORD>{0xDEADBEEF, 0xDEADBEEF}), std::make_pair(vendor, product)) << Narrow(name);
    }
    DWORD id = 0;
    EXPECT_EQ(FALSE, DeviceIdString2Number(nullptr, &id, &id));
    EXPECT_EQ(FALSE, DeviceIdString2Number(L"VID_7A7A&PID_0101", nullptr, &id));
    EXPECT_EQ(FALSE, DeviceIdString2Number(L"VID_7A7A&PID_0101", &id, nullptr));
}

// The keyboard list is read at every call; a keyboard that is not attached, or a name that does
// not parse, fails alone and is logged.
TEST_F(LedPath, KeyboardListWithoutAttachedKeyboards)
{
    const std::wstring guard = L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard ";
    struct Case {
        bool listExists;
        std::vector<const wchar_t*> keyboards;
        bool mute;
        Texts records;
    };
    const Case cases[] = {
        {false, {}, true, {L"WriteStatusToHIDKeyboard ___bMute = TRUE", kNoKeyboardList}},
        {true, {}, false, {L"WriteStatusToHIDKeyboard ___bMute = FALSE", guard + L"GetSubKeys line:%d, lasterror:%d"}},
        {true, {L"VID_7A7A", L"VID_7A7A&PID_0101"}, true,
         {L"WriteStatusToHIDKeyboard ___bMute = TRUE", L"\nNumber of subkeys: 2",
          guard + L"DeviceIdString2Number line:%d, lasterror:%d",
          L"CHidKBLedInterface::FindHidDeviceHandle vid:31354, pid:257 warnning line:%d",
          guard + L"SetHidKBLedStatus line:%d, lasterror:%d, VID&PID:VID_7A7A&PID_0101"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        RegistryTreeGuard list(regkeys::kKeyboardListKey);
        if (c.listExists) regtest::CreateKey(regkeys::kKeyboardListKey);
        for (const wchar_t* name : c.keyboards) {
            regtest::CreateKey(regkeys::kKeyboardListKey + (L"\\" + std::wstring(name)));
        }
        ClearLog();
        EXPECT_EQ(FALSE, WriteStatusToRegisteredKeyboards(c.mute));
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}
