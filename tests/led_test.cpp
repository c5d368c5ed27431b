// The LED path in-process: the firmware client against the firmware stand-in registered in this
// process (its recorded calls, LED states and behaviours), the request workers reached through
// the dispatcher's rows, and the external keyboards' names and list without a keyboard attached.
#include "FirmwareStandIn.h"
#include "support/Seams.h"
#include "hardware/HidKbLed.h"
#include "hardware/QvkWmi.h"
#include "registry/RegistryKeys.h"
#include "service/ControlCodes.h"
#include "service/ControlDispatcher.h"
#include "support/RegistryTestSupport.h"

#include <algorithm>

using namespace testsupport;
using regtest::RecordMatches;
using regtest::RecordsMatch;

namespace {

const std::wstring kUtility = firmware::kUtilityClass, kSetFeature = kUtility + L"\\SetFeature";
const std::wstring kGotMethod = L"WMI:Get method successfully ",
                   kGetObjectFailed = L"WMI:ExecMethodWMI get object failed! error=0x80041001 ";

void SetBehaviour(const std::wstring& key, const wchar_t* value, DWORD data)
{
    const std::wstring path = std::wstring(firmware::kBehaviourKey) + L"\\" + key;
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), value, REG_DWORD, &data, sizeof data));
}

// The firmware stand-in serves this process; its behaviour, states and the keyboard list start empty.
class LedPath : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        ASSERT_EQ(S_OK, RegisterFirmwareClassObject(&m_cookie));
        m_callsBefore = MyCalls().size();
    }
    void TearDown() override
    {
        ::CoRevokeClassObject(m_cookie);
        ::CoUninitialize();
        LoggedTest::TearDown();
    }
    // This process's recorded calls after the first m_callsBefore.
    std::vector<firmware::CallRecord> MyCalls() const
    {
        std::vector<firmware::CallRecord> mine;
        for (const firmware::CallRecord& call : firmware::ReadCallRecords()) if (call.processId == ::GetCurrentProcessId()) mine.push_back(call);
        return {mine.begin() + static_cast<ptrdiff_t>(std::min(m_callsBefore, mine.size())), mine.end()};
    }
    // Their inputs, only those among the given ones when some are given.
    std::vector<std::wstring> Inputs(std::vector<std::wstring> of = {}) const
    {
        std::vector<std::wstring> inputs;
        for (const firmware::CallRecord& call : MyCalls()) if (of.empty() || std::count(of.begin(), of.end(), call.input)) inputs.push_back(call.input);
        return inputs;
    }
    size_t Count(const std::wstring& pattern) const
    {
        const std::vector<std::wstring> records = Messages();
        return std::count_if(records.begin(), records.end(), [&](const std::wstring& r) { return RecordMatches(r, pattern); });
    }

    DWORD m_cookie = 0;
    size_t m_callsBefore = 0;
    RegistryTreeGuard m_firmware{L"Software\\OsmiraFirmwareStandIn"};
    RegistryTreeGuard m_keyboards{regkeys::kKeyboardListKey};
};

const std::wstring In1 = L"featuretype=\"1\"", In2 = L"featuretype=\"2\"", In4 = L"featuretype=\"4\"", In5 = L"featuretype=\"5\"";

} // namespace

// One object per call, as the writers use it: what reaches the firmware, what comes back, what is logged.
TEST_F(LedPath, FirmwareClientCallsSetFeatureOnceAndReportsItsData)
{
    using firmware::kLedNeverSet;
    const wchar_t *Mic = firmware::kMicMuteLed, *Spk = firmware::kSpeakerLed;
    struct Setting { std::wstring key; const wchar_t* value; DWORD data; };
    struct Case {
        const char* what; std::vector<Setting> settings; UINT32 id; BOOL result; INT32 out;  // out-value starts at 7
        std::vector<std::wstring> calls; const wchar_t* led; DWORD ledState; std::vector<std::wstring> records;
    };
    const std::wstring reconnect = L"WMI:ExecMethodWMI reconnect com server. ";
    const Case cases[] = {
        {"no instance", {{kUtility, firmware::kInstances, 0}}, 1, FALSE, 7, {}, Mic, kLedNeverSet, {}},
        {"enumeration held", {{kUtility, firmware::kHold, 1}}, 1, FALSE, 7, {}, Mic, kLedNeverSet,
         {L"WMI:EnumInstances Next timed out after 5000 ms"}},
        {"id 1", {{kSetFeature, firmware::kData, 1}}, 1, TRUE, 1, {In1}, Mic, 1, {kGotMethod}},
        {"id 2, Data -1", {{kSetFeature, firmware::kData, 0xFFFFFFFF}}, 2, TRUE, 7, {In2}, Mic, 0, {kGotMethod}},
        {"id 1, Data null", {{kSetFeature, firmware::kNoData, 2}}, 1, TRUE, 7, {In1}, Mic, 1, {kGotMethod}},
        {"id 4", {{kSetFeature, firmware::kData, 0x7FFFFFFF}}, 4, TRUE, 0x7FFFFFFF, {In4}, Spk, 1, {kGotMethod}},
        {"id 5", {}, 5, TRUE, 0, {In5}, Spk, 0, {kGotMethod}},
        {"id 3", {}, 3, TRUE, 0, {L"featuretype=null"}, Mic, kLedNeverSet, {kGotMethod}},
        {"class lookup fails twice", {{kUtility, firmware::kGetObjectFailures, 2}}, 1, FALSE, 7, {}, Mic, kLedNeverSet,
         {kGetObjectFailed, reconnect, kGetObjectFailed}},
        {"class lookup fails once", {{kUtility, firmware::kGetObjectFailures, 1}}, 4, TRUE, 0, {In4}, Spk, 1,
         {kGetObjectFailed, reconnect, kGotMethod}},
        {"no input signature", {{kSetFeature, firmware::kNoInputSignature, 1}}, 1, TRUE, 0, {L"-"}, Mic, kLedNeverSet, {kGotMethod}},
        {"ExecMethod error", {{kSetFeature, firmware::kExecMethodError, 0x80041004}}, 1, FALSE, 7, {In1}, Mic, kLedNeverSet, {kGotMethod}},
    };
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};  // the first instance's path
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(::GetComputerNameW(computer, &size));
    const std::wstring path = std::wstring(L"\\\\") + computer + L"\\ROOT\\WMI:" + kUtility + L".InstanceName=\"ACPI\\\\PNP0C14\\\\0_0\"";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryTreeGuard firmwareKeys(L"Software\\OsmiraFirmwareStandIn");
        for (const Setting& s : c.settings) SetBehaviour(s.key, s.value, s.data);
        ClearLog();
        m_callsBefore += MyCalls().size();
        INT32 out = 7;
        {
            CQvkWmi qvk;
            EXPECT_EQ(c.result, qvk.QVK_SetFeature(c.id, &out));
        }
        EXPECT_EQ(c.out, out);
        EXPECT_EQ(c.calls, Inputs());
        for (const firmware::CallRecord& call : MyCalls()) EXPECT_EQ(kUtility + L"|SetFeature|" + path, call.className + L"|" + call.method + L"|" + call.path);
        EXPECT_EQ(c.ledState, firmware::ReadLedState(c.led));
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}

// While each worker's firmware call is held, 100 alternating requests of each kind collapse: the
// mic-mute worker makes one more call, the speaker worker at most two, each ending in the last request;
// later requests and keyboard-connect replays still arrive.
TEST_F(LedPath, BurstsCollapseIntoTheLastRequestAndLaterRequestsArrive)
{
    const auto dispatch = [](DWORD code) { EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(code, 0, nullptr)); };
    const auto last = [](const std::vector<std::wstring>& inputs) { return inputs.empty() ? L"" : inputs.back(); };
    const std::vector<std::wstring> mic = {In1, In2}, speaker = {In4, In5};
    const std::wstring noKeyboardList = L" CMicMuteStatusGuard.WriteStatusToHIDKeyboard OpenKey line:%d, lasterror:2";

    // Idle passes every 100 ms: a worker that applied one request per pass would show it at once.
    SetWaitDivisorForTesting(20);
    // Before any mic-mute request the replay writes "not muted" to both paths.
    dispatch(SVC_CTL_BLUE_KB_CONNECT);
    ASSERT_TRUE(WaitUntil([&] { return Inputs() == std::vector<std::wstring>{In2} && Count(noKeyboardList) == 1; }, 20000));

    SetBehaviour(kSetFeature, firmware::kHold, 1);
    dispatch(SVC_CTL_MICMUTE_LED_ON);
    ASSERT_TRUE(WaitUntil([&] { return Inputs(mic) == std::vector<std::wstring>{In2, In1}; }, 20000));
    for (int i = 0; i < 100; ++i) {
        dispatch(i % 2 ? SVC_CTL_MICMUTE_LED_OFF : SVC_CTL_MICMUTE_LED_ON);
        dispatch(i % 2 ? SVC_CTL_SPEAKER_LED_ON : SVC_CTL_SPEAKER_LED_OFF);
    }
    // The speaker worker's first call is held too: the workers do not wait for each other.
    ASSERT_TRUE(WaitUntil([&] { return Inputs(speaker).size() == 1; }, 20000));
    SetBehaviour(kSetFeature, firmware::kHold, 0);
    win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, firmware::kReleaseEvent));
    for (int held = 0; held < 2; ++held) ::SetEvent(release.get());

    const std::wstring hidOn = L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON To HID ,line:%d",
                       hidOff = L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF To HID ,line:%d";
    const auto lastHidLine = [&] {
        const std::vector<std::wstring> records = Messages();
        const auto it = std::find_if(records.rbegin(), records.rend(), [&](const std::wstring& r) {
            return RecordMatches(r, hidOn) || RecordMatches(r, hidOff);
        });
        return it == records.rend() ? std::wstring() : *it;
    };
    EXPECT_TRUE(WaitUntil([&] {
        return last(Inputs(mic)) == In2 && firmware::ReadLedState(firmware::kMicMuteLed) == 0 && last(Inputs(speaker)) == In4 &&
               firmware::ReadLedState(firmware::kSpeakerLed) == 1 && RecordMatches(lastHidLine(), hidOff);
    }, 20000));
    EXPECT_EQ((std::vector<std::wstring>{In2, In1, In2}), Inputs(mic));
    EXPECT_LE(Inputs(speaker).size(), 2u);

    dispatch(SVC_CTL_MICMUTE_LED_ON);
    dispatch(SVC_CTL_SPEAKER_LED_OFF);
    EXPECT_TRUE(WaitUntil([&] {
        return last(Inputs(mic)) == In1 && firmware::ReadLedState(firmware::kMicMuteLed) == 1 && last(Inputs(speaker)) == In5 &&
               firmware::ReadLedState(firmware::kSpeakerLed) == 0 && RecordMatches(lastHidLine(), hidOn);
    }, 20000));
    dispatch(SVC_CTL_BLUE_KB_CONNECT);
    const std::wstring workerOn = L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON ,line:%d";
    EXPECT_TRUE(WaitUntil([&] {
        return Inputs(mic).size() >= 5 && Count(workerOn) >= 2 &&
               Count(L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:muted ,line:%d") == 1;
    }, 20000));
    EXPECT_EQ((std::vector<std::wstring>{In2, In1, In2, In1, In1}), Inputs(mic));
    EXPECT_LE(Inputs(speaker).size(), 3u);

    // Each row logged each of its controls once; the mic-mute firmware worker applied three states.
    const struct { const wchar_t* pattern; size_t count; } rows[] = {
        {L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_ON event !Line:%d  dwCtrl : 160 ", 52},
        {L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF event !Line:%d  dwCtrl : 161 ", 50},
        {L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_ON event !Line:%d  dwCtrl : 154 ", 50},
        {L"OsmiraUtilityService SVC_CTL_SPEAKER_LED_OFF event !Line:%d  dwCtrl : 155 ", 51},
        {L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT event !Line:%d  dwCtrl : 151 ", 2},
        {L"WriteMicMuteLedStatusForConnected::Write  MicMuteL 1 Status ,line:%d", 52},
        {workerOn.c_str(), 2},
        {L"OsmiraUtilityService SVC_CTL_MICMUTE_LED_OFF ,line:%d", 1},
        {L"OsmiraUtilityService SVC_CTL_BLUE_KB_CONNECT MicMute:not muted ,line:%d", 1},
    };
    for (const auto& row : rows) EXPECT_EQ(row.count, Count(row.pattern)) << Narrow(row.pattern);
}

// A keyboard subkey's name gives both ids or none.
TEST(KeyboardNames, ParseIntoVendorAndProductIds)
{
    const std::wstring bt = L"{00001124-0000-1000-8000-00805F9B34FB}_", usb = L"VID_7A7A&PID_0101&";
    struct Case { std::wstring name; BOOL result; DWORD vendor, product; };
    const Case cases[] = {
        {L"VID_7A7A&PID_0101", TRUE, 0x7A7A, 0x0101},
        {L"vid_7a7a&pid_0101&mi_00", TRUE, 0x7A7A, 0x0101},
        {L"Vid_7B7B&Pid_02010", TRUE, 0x7B7B, 0x0201},
        {bt + L"VID&0002045E_PID&0800", TRUE, 0x0002045E, 0x0800},
        {L"{00001124-0000-1000-8000-00805f9b34fb}_vid&ffffffff_pid&ffff&col02", TRUE, 0xFFFFFFFF, 0xFFFF},
        {usb + std::wstring(241, L'X'), TRUE, 0x7A7A, 0x0101},  // 259 characters
        {usb + std::wstring(242, L'X'), FALSE, 0, 0},
        {L"VID_7A7A", FALSE, 0, 0},
        {L"VID_7A7&PID_0101", FALSE, 0, 0},
        {L"VID_7A7A&PID_01", FALSE, 0, 0},
        {L"USB_7A7A&PID_0101", FALSE, 0, 0},
        {L"VID_7A7G&PID_0101", FALSE, 0, 0},
        {L"VID_7A7A&PIX_0101", FALSE, 0, 0},
        {bt + L"VID&045E_PID&0800", FALSE, 0, 0},
        {bt + L"VID_7A7A&PID_0101", FALSE, 0, 0},
        {L"VID&0002045E_PID&0800", FALSE, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        DWORD vendor = 0xDEADBEEF, product = 0xDEADBEEF;
        EXPECT_EQ(c.result, DeviceIdString2Number(c.name.c_str(), &vendor, &product));
        EXPECT_EQ(c.result ? c.vendor : 0xDEADBEEF, vendor);
        EXPECT_EQ(c.result ? c.product : 0xDEADBEEF, product);
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
    struct Case { bool keyExists; std::vector<const wchar_t*> keyboards; bool mute; std::vector<std::wstring> records; };
    const Case cases[] = {
        {false, {}, true, {L"WriteStatusToHIDKeyboard ___bMute = TRUE", guard + L"OpenKey line:%d, lasterror:2"}},
        {true, {}, false, {L"WriteStatusToHIDKeyboard ___bMute = FALSE", guard + L"GetSubKeys line:%d, lasterror:%d"}},
        {true, {L"VID_7A7A", L"VID_7A7A&PID_0101"}, true,
         {L"WriteStatusToHIDKeyboard ___bMute = TRUE", L"\nNumber of subkeys: 2", guard + L"DeviceIdString2Number line:%d, lasterror:%d",
          L"CHidKBLedInterface::FindHidDeviceHandle vid:31354, pid:257 warnning line:%d",
          guard + L"SetHidKBLedStatus line:%d, lasterror:%d, VID&PID:VID_7A7A&PID_0101"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        RegistryTreeGuard list(regkeys::kKeyboardListKey);
        if (c.keyExists) regtest::CreateKey(regkeys::kKeyboardListKey);
        for (const wchar_t* name : c.keyboards) regtest::CreateKey(regkeys::kKeyboardListKey + (L"\\" + std::wstring(name)));
        ClearLog();
        EXPECT_EQ(FALSE, CMicMuteStatusGuard::WriteStatusToHIDKeyboard(c.mute));
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}
