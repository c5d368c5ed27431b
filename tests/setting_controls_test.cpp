// The setting rows of the control dispatcher against the prefix's registry: the values each code
// leaves in the service key's tree (type and bytes), and the records of its failed writes.
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
const RawValue kOn = Dword(1);
const RawValue kOff = Dword(0);

using SettingControls = SettingsTest;

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
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(c.code, 0, nullptr));
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
    const std::wstring on = L"SVC_CTL_SEND_UI_CAPSLOCK_ON";
    const std::wstring off = L"SVC_CTL_SEND_UI_CAPSLOCK_OFF ";
    const std::wstring pexaroOn = L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON";
    const std::wstring pexaroOff = L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF";
    const std::wstring toast = L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS";
    const std::wstring history =
        L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: 1021";
    const struct Case {
        DWORD code;
        std::vector<std::wstring> records;
        bool numLockOn; // the toast key there, the OSD key not made
    } cases[] = {
        {141,
         {on, failed(on + L" "), failed(on + L" REG_SHOW_CAPS_LK_OSD"), failed(on + L" REG_SHOW_NUM_LK_OSD"), history},
         false},
        {144, {toast, failed(toast), failed(L"SVC_CTL_PEXARO_NEVER_POP_TOAST")}, false},
        {146, {pexaroOn, failed(pexaroOn), history}, false},
        {146, {pexaroOn, failed(on + L" "), history}, true},
        {149, {pexaroOff, failed(pexaroOff), failed(off)}, false},
        {156, {L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_PRC event !Line:%d  dwCtrl : 156 result:[0] "}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ClearPackageKeys();
        CreateKey(kServiceKey, REG_OPTION_VOLATILE);
        if (c.numLockOn) {
            CreateKey(kToastKey, REG_OPTION_VOLATILE);
            WriteTree({{kNumLockOsd, kOn}});
        }
        ClearLog();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(c.code, 0, nullptr));
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}
