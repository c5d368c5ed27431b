// The setting rows of the control dispatcher against the prefix's registry: the values each code
// leaves in the service key's tree (type and bytes), and the records of its failed writes.
#include "service/ControlDispatcher.h"
#include "support/RegistryTestSupport.h"

using namespace regtest;
using namespace regkeys;

using SettingControls = SettingsTest;

// What each code leaves after the given values is the support's settings model; one row per branch of it: a
// readable and an unreadable other indicator, a counter unreadable, wrapping and counting on.
TEST_F(SettingControls, EachCodeWritesItsValues)
{
    const RawValue on = Dword(1);
    const RawValue off = Dword(0);
    const RawValue textZero = {true, REG_SZ, {'0', 0, 0, 0}};
    const RawValue textOn = {true, REG_SZ, {'o', 0, 'n', 0, 0, 0}};
    const std::pair<DWORD, Tree> cases[] = {
        {141, {}},
        {142, {{kCombined, on}, {kCaps, on}, {kNum, on}, {kUserChanged, off}}},
        {146, {}},
        {146, {{kNum, textZero}}},
        {148, {{kCaps, on}}},
        {147, {{kCaps, textOn}, {kNum, on}, {kCombined, on}}},
        {149, {{kCaps, on}, {kNum, on}, {kCombined, on}, {kUserChanged, off}}},
        {150, {}},
        {150, {{kPopCount, Dword(0xFFFFFFFF)}}},
        {144, {{kPopCount, Dword(7)}, {kShownCount, Binary({1, 0, 0, 0, 0, 0, 0, 0})}}},
        {145, {{kNeverPop, off}}},
        {156, {}},
        {157, {{kOcr, on}}},
    };
    for (const auto& [code, before] : cases) {
        SCOPED_TRACE(testing::Message() << code << " after\n" << Dump(before));
        ClearPackageKeys();
        WriteTree(before);
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
        Tree expected = SettingWrites(code, before);
        expected.insert(before.begin(), before.end());
        EXPECT_EQ(Dump(expected), Dump(ReadTree(kServiceKey, false)));
    }
}

// Below a volatile service key no lasting key can be made: a write into a missing key fails with the registry's code
// 1021 and is logged with the row's text, and the row goes on. Every write of a row logs its failure alike: one
// row of each way, the paired indicator's write and the capability row, which logs its result.
TEST_F(SettingControls, FailedWritesAreLoggedWithTheRegistrysCode)
{
    const std::wstring on = L"SVC_CTL_SEND_UI_CAPSLOCK_ON";
    const std::wstring failed = L"OsmiraUtilityService OnServiceControlHandle " + on;
    const std::wstring failure = L" writetoReg fail!Line:%d  GetLastError : 1021 ";
    const std::wstring history =
        L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: 1021";
    const struct Case {
        DWORD code;
        std::vector<std::wstring> records;
        bool numLockOn; // the toast key there, the OSD key not made
    } cases[] = {
        {141,
         {on, failed + L" " + failure, failed + L" REG_SHOW_CAPS_LK_OSD" + failure,
          failed + L" REG_SHOW_NUM_LK_OSD" + failure, history},
         false},
        {146, {L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON", failed + L" " + failure, history}, true},
        {156, {L"OsmiraUtilityService SVC_CTL_OCR_CAPABILITY_PRC event !Line:%d  dwCtrl : 156 result:[0] "}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ClearPackageKeys();
        CreateKey(kServiceKey, REG_OPTION_VOLATILE);
        if (c.numLockOn) {
            CreateKey(kToastKey, REG_OPTION_VOLATILE);
            WriteTree({{kNum, Dword(1)}});
        }
        ClearLog();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(c.code, 0, nullptr));
        EXPECT_TRUE(RecordsMatch(Messages(), c.records));
    }
}
