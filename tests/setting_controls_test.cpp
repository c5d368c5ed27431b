// The setting rows of the control dispatcher against the prefix's registry: the values each code
// leaves in the service key's tree (type and bytes), and the records of its failed writes.
#include "service/ControlDispatcher.h"
#include "support/RegistryTestSupport.h"

using namespace regtest;
using namespace regkeys;

using SettingControls = SettingsTest;

// What each code writes after the given values, worked out by hand; one row per branch: the other indicator on, a
// text of four bytes ('0' and three zeros, a number above 0), missing; a counter missing or unreadable (taken as 3),
// wrapping and counting on.
TEST_F(SettingControls, EachCodeWritesItsValues)
{
    const RawValue on = Dword(1);
    const RawValue off = Dword(0);
    const RawValue textZero = {true, REG_SZ, {'0', 0, 0, 0}};
    const std::tuple<DWORD, Tree, Tree> cases[] = { // code, values before, values written
        {141, {}, {{kCombined, on}, {kCaps, on}, {kNum, on}, {kUserChanged, on}}},
        {142, {{kCombined, on}, {kCaps, on}, {kNum, on}, {kUserChanged, off}},
         {{kCombined, off}, {kCaps, off}, {kNum, off}}},
        {146, {}, {{kCaps, on}, {kUserChanged, on}}},
        {146, {{kNum, textZero}}, {{kCaps, on}, {kCombined, on}, {kUserChanged, on}}},
        {148, {{kCaps, on}}, {{kNum, on}, {kCombined, on}, {kUserChanged, on}}},
        {147, {{kCaps, on}, {kNum, on}, {kCombined, on}}, {{kCaps, off}, {kCombined, off}}},
        {149, {{kCaps, on}, {kNum, on}, {kCombined, on}, {kUserChanged, off}}, {{kNum, off}, {kCombined, off}}},
        {150, {}, {{kPopCount, Dword(4)}}},
        {150, {{kPopCount, Dword(0xFFFFFFFF)}}, {{kPopCount, off}}},
        {144, {{kPopCount, Dword(7)}, {kShownCount, Binary({1, 0, 0, 0, 0, 0, 0, 0})}},
         {{kShownCount, Dword(4)}, {kNeverPop, on}}},
        {145, {{kNeverPop, off}}, {{kNeverPop, on}}},
        {156, {}, {{kOcr, on}}},
        {157, {{kOcr, on}}, {{kOcr, Dword(2)}}},
    };
    for (auto [code, before, expected] : cases) {
        SCOPED_TRACE(testing::Message() << code << " after\n" << Dump(before));
        ClearPackageKeys();
        WriteTree(before);
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
        expected.insert(before.begin(), before.end());
        EXPECT_EQ(Dump(expected), Dump(ReadTree(kServiceKey, false)));
    }
}

// Below a volatile service key no lasting key can be made: the combined indicator's write into the missing OSD key
// fails with the registry's code 1021, which its record carries, and the row goes on with the indicators in the
// toast key there; the user's choice, whose key cannot be made either, is logged as failed too.
TEST_F(SettingControls, FailedWritesAreLoggedWithTheRegistrysCode)
{
    ClearPackageKeys();
    CreateKey(kServiceKey, REG_OPTION_VOLATILE);
    CreateKey(kToastKey, REG_OPTION_VOLATILE);
    ClearLog();
    EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(141, 0, nullptr));
    EXPECT_EQ(Dump({{kCaps, Dword(1)}, {kNum, Dword(1)}}), Dump(ReadTree(kServiceKey, false)));
    for (const wchar_t* failure :
         {L"OsmiraUtilityService OnServiceControlHandle SVC_CTL_SEND_UI_CAPSLOCK_ON  writetoReg fail!Line:%d  "
          L"GetLastError : 1021 ",
          L"CUtilityService SetUserHistoryOn user has changed Status failed. Line: %d  GetLastError: 1021"}) {
        EXPECT_EQ(1u, CountLogged(failure, LogPath())) << testsupport::Narrow(failure);
    }
}
