// The setting rows of the control dispatcher against the prefix's registry: the values each code
// leaves in the service key's tree (type and bytes), and its records, the first of which names
// the code.
#include "service/ControlDispatcher.h"
#include "support/RegistryTestSupport.h"

using namespace regtest;
using namespace regkeys;

namespace {

const std::wstring kToast = kToastKey + std::wstring(L"\\");
const std::wstring kCapability = kCapabilityKey + std::wstring(L"\\");
const std::wstring kCapsLockOsd = kToast + kShowCapslkOsd;
const std::wstring kNumLockOsd = kToast + kShowNumlkOsd;
const std::wstring kCombinedOsd = kOsdKey + (L"\\" + std::wstring(kShowCapsNumlkOsd));
const std::wstring kPopCount = kToast + kPopToast;
const std::wstring kShownCount = kToast + kCountTimesPopToast;
const std::wstring kNeverPop = kToast + kNeverPopToast;
const std::wstring kUserChanged = kCapability + kIsUserChangedCapsNumLk;
const std::wstring kOcr = kCapability + kOcrSnippingKey;
const std::wstring kHistoryLine = L"CUtilityService SetUserHistoryOn user has changed Status ";
const RawValue kOn = Dword(1);
const RawValue kOff = Dword(0);

// The record each row writes first.
std::wstring FirstRecord(DWORD code, int ocrResult)
{
    const std::wstring result = L" result:[" + std::to_wstring(ocrResult) + L"]";
    switch (code) {
    case 141: return L"SVC_CTL_SEND_UI_CAPSLOCK_ON";
    case 142: return L"SVC_CTL_SEND_UI_CAPSLOCK_OFF";
    case 144: return L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS";
    case 145: return L"SVC_CTL_PEXARO_NEVER_POP_TOAST";
    case 146: return L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON";
    case 147: return L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF";
    case 148: return L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON";
    case 149: return L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF";
    case 150: return L"SVC_CTL_TRIGER_PEXARO_POP_TOAST";
    case 156: return L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_PRC event !Line:%d  dwCtrl : 156" + result + L" ";
    case 157: return L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_ROW event !Line:%d  dwCtrl : 157" + result;
    default: return L"no row";
    }
}

class SettingControls : public SettingsTest {
protected:
    // Sends the code: its first record, then the given ones.
    void Send(DWORD code, std::vector<std::wstring> records, int ocrResult)
    {
        records.insert(records.begin(), FirstRecord(code, ocrResult));
        ClearLog();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
        EXPECT_TRUE(RecordsMatch(Messages(), records));
    }
};

} // namespace

// The combined indicator goes on when the other one is on (an unreadable one is off, four bytes
// of any type are a number); a counter that cannot be read counts as three, the largest wraps.
// The rule and the counter are shared: each branch is one code's row.
TEST_F(SettingControls, EachCodeWritesItsValues)
{
    const RawValue textZero = {true, REG_SZ, {'0', 0, 0, 0}};
    const RawValue textOn = {true, REG_SZ, {'o', 0, 'n', 0, 0, 0}};
    const struct Case {
        DWORD code;
        Tree before;
        Tree written;
    } cases[] = {
        {141, {}, {{kCombinedOsd, kOn}, {kCapsLockOsd, kOn}, {kNumLockOsd, kOn}, {kUserChanged, kOn}}},
        {142,
         {{kCombinedOsd, kOn}, {kCapsLockOsd, kOn}, {kNumLockOsd, kOn}, {kUserChanged, kOff}},
         {{kCombinedOsd, kOff}, {kCapsLockOsd, kOff}, {kNumLockOsd, kOff}}},
        {146, {}, {{kCapsLockOsd, kOn}, {kUserChanged, kOn}}},
        {146, {{kNumLockOsd, textZero}}, {{kCapsLockOsd, kOn}, {kCombinedOsd, kOn}, {kUserChanged, kOn}}},
        {148, {{kCapsLockOsd, kOn}}, {{kNumLockOsd, kOn}, {kCombinedOsd, kOn}, {kUserChanged, kOn}}},
        {147,
         {{kCapsLockOsd, textOn}, {kNumLockOsd, kOn}, {kCombinedOsd, kOn}},
         {{kCapsLockOsd, kOff}, {kCombinedOsd, kOff}}},
        {149,
         {{kCapsLockOsd, kOn}, {kNumLockOsd, kOn}, {kCombinedOsd, kOn}, {kUserChanged, kOff}},
         {{kNumLockOsd, kOff}, {kCombinedOsd, kOff}}},
        {150, {}, {{kPopCount, Dword(4)}}},
        {150, {{kPopCount, Dword(0xFFFFFFFF)}}, {{kPopCount, kOff}}},
        {144,
         {{kPopCount, Dword(7)}, {kShownCount, Binary({1, 0, 0, 0, 0, 0, 0, 0})}},
         {{kShownCount, Dword(4)}, {kNeverPop, kOn}}},
        {145, {{kNeverPop, kOff}}, {{kNeverPop, kOn}}},
        {156, {}, {{kOcr, kOn}}},
        {157, {{kOcr, kOn}}, {{kOcr, Dword(2)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << " after\n" << Dump(c.before));
        ClearPackageKeys();
        WriteTree(c.before);
        std::vector<std::wstring> records;
        if (c.written.count(kUserChanged)) records.push_back(kHistoryLine + L"success. Line: %d  GetLastError: %d");
        Send(c.code, records, 1);
        Tree expected = c.written;
        expected.insert(c.before.begin(), c.before.end());
        EXPECT_EQ(Dump(expected), Dump(ReadTree(kServiceKey, false)));
    }
}

// Below a volatile service key no lasting key can be made: each write into a missing key fails
// with the registry's code 1021 and is logged with the row's text, and the row goes on.
TEST_F(SettingControls, FailedWritesAreLoggedWithTheRegistrysCode)
{
    const auto failed = [](const std::wstring& what) {
        const std::wstring prefix = L"OsmiraUtilityService OnServiceControlHandle ";
        return prefix + what + L" writetoReg fail!Line:%d  GetLastError : 1021 ";
    };
    const std::wstring on = L"SVC_CTL_SEND_UI_CAPSLOCK_ON ";
    const std::wstring off = L"SVC_CTL_SEND_UI_CAPSLOCK_OFF ";
    const std::wstring history = kHistoryLine + L"failed. Line: %d  GetLastError: 1021";
    const struct Case {
        DWORD code;
        std::vector<std::wstring> records;
        bool numLockOn; // the toast key there, the OSD key not made
    } cases[] = {
        {141, {failed(on), failed(on + L"REG_SHOW_CAPS_LK_OSD"), failed(on + L"REG_SHOW_NUM_LK_OSD"), history}, false},
        {142, {failed(off), failed(off + L"REG_SHOW_CAPS_LK_OSD"), failed(off + L"REG_SHOW_NUM_LK_OSD")}, false},
        {144, {failed(L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS"), failed(L"SVC_CTL_PEXARO_NEVER_POP_TOAST")}, false},
        {145, {failed(L"SVC_CTL_PEXARO_NEVER_POP_TOAST")}, false},
        {147, {failed(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF"), failed(off)}, false},
        {146, {failed(L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON"), history}, false},
        {146, {failed(on), history}, true},
        {148, {failed(L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON"), history}, false},
        {149, {failed(L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF"), failed(off)}, false},
        {150, {failed(L"SVC_CTL_TRIGER_PEXARO_POP_TOAST")}, false},
        {156, {}, false},
        {157, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ClearPackageKeys();
        CreateKey(kServiceKey, REG_OPTION_VOLATILE);
        if (c.numLockOn) {
            CreateKey(kToastKey, REG_OPTION_VOLATILE);
            WriteTree({{kNumLockOsd, kOn}});
        }
        Send(c.code, c.records, 0);
    }
}
