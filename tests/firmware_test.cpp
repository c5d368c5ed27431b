// The firmware stand-in met through the service's COM sequence: its class factory registered in
// this process, then the DLL registered in the prefix. Calls, LED states and set behaviours.
#include "FirmwareStandIn.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <wbemcli.h>
#include <atomic>
#include <thread>

namespace {
using namespace firmware;
struct Bstr { BSTR s; explicit Bstr(const std::wstring& t) : s(::SysAllocString(t.c_str())) {} ~Bstr() { ::SysFreeString(s); } };
struct Setting { const wchar_t* key; const wchar_t* value; DWORD data; };  // under kBehaviourKey
struct Case {
    const wchar_t *cls, *method, *input;  // input nullptr: none sent; L"": a null string
    std::vector<Setting> settings;
    HRESULT result; LONG data; int instance; const wchar_t* recordedInput;  // instance -1: no call recorded
    const wchar_t* led; DWORD ledState;  // ~0u: the value stays absent
    bool hold = false;
};
const wchar_t *U = kUtilityClass, *T = kTelruneClass, *SF = L"OSMIRA_UTILITY_DATA\\SetFeature", *GV = L"OSMIRA_TELRUNE_DATA\\GetVersion";

HRESULT Call(const Case& c, LONG* data, win::ComPtr<IWbemServices>& services)
{
    win::ComPtr<IWbemLocator> locator; win::ComPtr<IEnumWbemClassObject> found; win::ComPtr<IWbemClassObject> def, in, params, out;
    win::UniqueVariant path, value;
    HRESULT hr = ::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.put_void());
    if (FAILED(hr) || FAILED(hr = locator->ConnectServer(Bstr(L"root\\WMI").s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put())) ||
        FAILED(hr = ::CoSetProxyBlanket(services.get(), 10, 0, nullptr, 3, 3, nullptr, 0))) return hr;
    hr = c.cls == T ? services->ExecQuery(Bstr(L"WQL").s, Bstr(std::wstring(L"SELECT * FROM ") + c.cls).s, 0x30, nullptr, found.put())
                    : services->CreateInstanceEnum(Bstr(c.cls).s, 0x30, nullptr, found.put());
    for (ULONG n = 0; SUCCEEDED(hr) && (hr = found->Next(WBEM_INFINITE, 1, def.put(), &n)) == S_OK && FAILED(def->Get(L"__PATH", 0, path.put(), nullptr, nullptr));) {}
    if (hr == S_OK && FAILED(hr = services->GetObject(Bstr(c.cls).s, 0, nullptr, def.put(), nullptr)))  // retried once
        hr = services->GetObject(Bstr(c.cls).s, 0, nullptr, def.put(), nullptr);
    if (hr != S_OK || FAILED(hr = def->GetMethod(c.method, 0, in.put(), nullptr))) return hr;
    VARIANT input = {}; input.vt = VT_BSTR;
    Bstr text(c.input ? c.input : L""); input.bstrVal = c.input && *c.input ? text.s : nullptr;
    if (in && (FAILED(hr = in->SpawnInstance(0, params.put())) || FAILED(hr = params->Put(L"featuretype", 0, &input, 0)))) return hr;
    if (FAILED(hr = services->ExecMethod(path.get()->bstrVal, Bstr(c.method).s, 0, nullptr, params.get(), out.put(), nullptr))) return hr;
    if (SUCCEEDED(hr = out->Get(kData, 0, value.put(), nullptr, nullptr))) *data = value.get()->lVal;
    return hr;
}
std::vector<std::wstring> MyCalls()  // this process's records, each without its time stamp
{
    wchar_t windows[MAX_PATH] = {}; ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring text = testsupport::ReadUtf16File(std::wstring(windows) + L"\\" + kRecordFolder + L"\\" + kRecordFile), pid = L"\t" + std::to_wstring(::GetCurrentProcessId()) + L"\t";
    std::vector<std::wstring> calls;
    for (size_t at = 0, end; (end = text.find(L"\r\n", at)) != std::wstring::npos; at = end + 2)
        if (text.compare(text.find(L'\t', at), pid.size(), pid) == 0) calls.push_back(text.substr(text.find(L'\t', at) + pid.size(), end - text.find(L'\t', at) - pid.size()));
    return calls;
}
DWORD Led(const wchar_t* name) { DWORD v = ~0u, size = sizeof v; ::RegGetValueW(HKEY_LOCAL_MACHINE, kStateKey, name, RRF_RT_REG_DWORD, nullptr, &v, &size); return v; }

TEST(FirmwareStandIn, AnswersTheServiceSequenceAsSetAndRecordsEachCall)
{
    const Case cases[] = {
        {U, L"SetFeature", L"4", {}, S_OK, 0, 0, L"featuretype=\"4\"", kSpeakerLed, 1},
        {U, L"SetFeature", L"2", {{SF, kData, 0xFFFFFFFF}}, S_OK, -1, 0, L"featuretype=\"2\"", kMicMuteLed, 0},
        {U, L"SetFeature", L"", {}, S_OK, 0, 0, L"featuretype=null", kMicMuteLed, ~0u},
        {U, L"SetFeature", L"1", {{SF, kNoInputSignature, 1}}, S_OK, 0, 0, L"-", kMicMuteLed, ~0u},
        {U, L"SetFeature", L"5", {{SF, kExecMethodError, 0x80041004}}, static_cast<HRESULT>(0x80041004), 0, 0, L"featuretype=\"5\"", kSpeakerLed, ~0u},
        {U, L"SetFeature", L"1", {{U, kGetObjectFailures, 1}}, S_OK, 0, 0, L"featuretype=\"1\"", kMicMuteLed, 1},
        {U, L"SetFeature", L"1", {{U, kGetObjectFailures, 2}}, kGetObjectFailure, 0, -1, nullptr, kMicMuteLed, ~0u},
        {U, L"SetFeature", L"1", {{U, kInstances, 0}}, S_FALSE, 0, -1, nullptr, kMicMuteLed, ~0u},
        {L"OSMIRA_MISSING_DATA", L"SetFeature", L"1", {}, S_FALSE, 0, -1, nullptr, kMicMuteLed, ~0u},
        {T, L"GetProductInfo", nullptr, {{T, kInstances, 3}, {T, kUnreadablePathInstance, 1}, {L"OSMIRA_TELRUNE_DATA\\GetProductInfo", kData, 101}}, S_OK, 101, 1, L"-", kMicMuteLed, ~0u},
        {T, L"GetVersion", nullptr, {{GV, kData, 0xFFFFFFFB}, {GV, kHold, 1}}, S_OK, -5, 0, L"-", kMicMuteLed, ~0u, true},
    };
    win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, kReleaseEvent));
    for (const bool dll : {false, true}) {
        ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        DWORD cookie = 0;
        ASSERT_EQ(S_OK, dll ? S_OK : RegisterFirmwareClassObject(&cookie));
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << (dll ? "dll " : "in-process ") << testsupport::Narrow(c.method) << " row " << (&c - cases));
            testsupport::RegistryTreeGuard tree(L"Software\\OsmiraFirmwareStandIn");
            for (const Setting& s : c.settings) ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(kBehaviourKey) + L"\\" + s.key).c_str(), s.value, REG_DWORD, &s.data, sizeof s.data);
            const size_t before = MyCalls().size();
            std::atomic<bool> returned{false}, heldUntilReleased{!c.hold};
            ::ResetEvent(release.get());
            std::thread releaser([&] { if (c.hold && testsupport::WaitUntil([&] { return MyCalls().size() > before; }, 10000)) heldUntilReleased = !returned; ::SetEvent(release.get()); });
            LONG data = 0; win::ComPtr<IWbemServices> services;
            EXPECT_EQ(c.result, Call(c, &data, services));
            returned = true; releaser.join();
            EXPECT_TRUE(heldUntilReleased);
            EXPECT_EQ(c.data, data);
            wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {}; DWORD size = MAX_COMPUTERNAME_LENGTH + 1; ::GetComputerNameW(computer, &size);
            const std::wstring path = std::wstring(L"\\\\") + computer + L"\\ROOT\\WMI:" + c.cls + L".InstanceName=\"ACPI\\\\PNP0C14\\\\0_" + std::to_wstring(c.instance) + L"\"";
            const std::vector<std::wstring> expected = c.instance < 0 ? std::vector<std::wstring>{} : std::vector<std::wstring>{std::wstring(c.cls) + L"\t" + c.method + L"\t" + path + L"\t" + c.recordedInput};
            const std::vector<std::wstring> calls = MyCalls();
            EXPECT_EQ(expected, std::vector<std::wstring>(calls.begin() + static_cast<ptrdiff_t>(before), calls.end()));
            EXPECT_EQ(c.ledState, Led(c.led));
        }
        if (!dll) { EXPECT_EQ(S_OK, ::CoRevokeClassObject(cookie)); }
        EXPECT_EQ(dll, ::GetModuleHandleW(kDllName) != nullptr);
        ::CoUninitialize();
    }
}
} // namespace
