// The setting rows of the control dispatcher against the prefix's registry: the values each code leaves in the service
// key's tree (type and bytes), and its records, the first of which names the code as fnkeyctl lists it.
#include "FnkeyctlArgs.h"
#include "service/ControlDispatcher.h"
#include "support/RegistryTestSupport.h"

using namespace regtest;
using namespace regkeys;

namespace {

const std::wstring T = kToastKey + std::wstring(L"\\"), C = kCapabilityKey + std::wstring(L"\\"), Caps = T + kShowCapslkOsd,
                   Num = T + kShowNumlkOsd, Pop = T + kPopToast, Count = T + kCountTimesPopToast, Never = T + kNeverPopToast,
                   Both = kOsdKey + (L"\\" + std::wstring(kShowCapsNumlkOsd)), History = C + kIsUserChangedCapsNumLk, Ocr = C + kOcrSnippingKey,
                   kHistory = L"CUtilityService SetUserHistoryOn user has changed Status ";
const RawValue On = Dword(1), Off = Dword(0);

std::wstring Name(DWORD code) { return fnkeyctl::FindControl(code)->enumName; }

class SettingControls : public SettingsTest {
protected:
    // Sends the code: its name, then the given records; the OCR rows log their result in place of the name.
    void Send(DWORD code, std::vector<std::wstring> records, int ocrResult)
    {
        const std::wstring ocr = L"OsmiraUtilityService " + Name(code) + L" event !Line:%d  dwCtrl : " + std::to_wstring(code) + L" result:[" +
                                 std::to_wstring(ocrResult) + L"]";
        records.insert(records.begin(), code < 156 ? Name(code) : code == 156 ? ocr + L" " : ocr);
        ClearLog();
        EXPECT_EQ(static_cast<DWORD>(NO_ERROR), DispatchServiceControl(code, 0, nullptr));
        EXPECT_TRUE(RecordsMatch(Messages(), records));
    }
};

} // namespace

// The combined indicator goes on when the other one is on (an unreadable one is off, four bytes of any type are a
// number); a counter that cannot be read counts as three, the largest wraps.
TEST_F(SettingControls, EachCodeWritesItsValues)
{
    struct Case { DWORD code; Tree before, written; };
    const Case cases[] = {
        {141, {}, {{Both, On}, {Caps, On}, {Num, On}, {History, On}}},
        {142, {{Both, On}, {Caps, On}, {Num, On}, {History, Off}}, {{Both, Off}, {Caps, Off}, {Num, Off}}},
        {146, {}, {{Caps, On}, {History, On}}}, {146, {{Num, {true, REG_SZ, {'0', 0, 0, 0}}}}, {{Caps, On}, {Both, On}, {History, On}}},
        {148, {{Caps, Off}}, {{Num, On}, {History, On}}}, {148, {{Caps, On}}, {{Num, On}, {Both, On}, {History, On}}},
        {147, {{Caps, {true, REG_SZ, {'o', 0, 'n', 0, 0, 0}}}, {Num, On}, {Both, On}}, {{Caps, Off}, {Both, Off}}},
        {149, {{Caps, On}, {Num, On}, {Both, On}, {History, Off}}, {{Num, Off}, {Both, Off}}},
        {150, {}, {{Pop, Dword(4)}}}, {150, {{Pop, Dword(0xFFFFFFFF)}}, {{Pop, Off}}},
        {144, {{Pop, Dword(7)}, {Count, Binary({1, 0, 0, 0, 0, 0, 0, 0})}}, {{Count, Dword(4)}, {Never, On}}},
        {144, {{Count, Dword(7)}, {Never, Off}}, {{Count, Dword(8)}, {Never, On}}},
        {145, {{Never, Off}}, {{Never, On}}}, {156, {}, {{Ocr, On}}}, {157, {{Ocr, On}}, {{Ocr, Dword(2)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.code << " after\n" << Dump(c.before));
        ClearPackageKeys();
        WriteTree(c.before);
        std::vector<std::wstring> records;
        if (c.written.count(History)) records.push_back(kHistory + L"success. Line: %d  GetLastError: %d");
        Send(c.code, records, 1);
        Tree expected = c.written;
        expected.insert(c.before.begin(), c.before.end());
        EXPECT_EQ(Dump(expected), Dump(ReadTree(kServiceKey, false)));
    }
}

// Below a volatile service key no lasting key can be made: each write into a missing key fails with the registry's code
// 1021 and is logged with the row's text, and the row goes on.
TEST_F(SettingControls, FailedWritesAreLoggedWithTheRegistrysCode)
{
    const auto F = [](const std::wstring& w) { return L"OsmiraUtilityService OnServiceControlHandle " + w + L" writetoReg fail!Line:%d  GetLastError : 1021 "; };
    const std::wstring on = Name(141) + L" ", off = Name(142) + L" ", history = kHistory + L"failed. Line: %d  GetLastError: 1021";
    struct Case { DWORD code; std::vector<std::wstring> records; bool numLockOn = false; };
    const Case cases[] = {
        {141, {F(on), F(on + L"REG_SHOW_CAPS_LK_OSD"), F(on + L"REG_SHOW_NUM_LK_OSD"), history}},
        {142, {F(off), F(off + L"REG_SHOW_CAPS_LK_OSD"), F(off + L"REG_SHOW_NUM_LK_OSD")}},
        {144, {F(Name(144)), F(Name(145))}}, {145, {F(Name(145))}}, {147, {F(Name(147)), F(off)}},
        {146, {F(Name(146)), history}}, {146, {F(on), history}, true}, // the toast key there, the OSD key not made
        {148, {F(Name(148)), history}}, {149, {F(Name(149)), F(off)}}, {150, {F(Name(150))}}, {156, {}}, {157, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        ClearPackageKeys();
        CreateKey(kServiceKey, REG_OPTION_VOLATILE);
        if (c.numLockOn) CreateKey(kToastKey, REG_OPTION_VOLATILE), WriteTree({{Num, On}});
        Send(c.code, c.records, 0);
    }
}
