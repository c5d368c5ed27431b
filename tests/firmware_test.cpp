// The firmware stand-in met through the service's COM sequence, in-process and as the DLL registered in the prefix.
#include "FirmwareStandIn.h"
#include "support/TestSupport.h"
#include "win/Owners.h"
#include <wbemcli.h>
#include <atomic>
#include <thread>
#define TRY(call) if (FAILED(hr = (call))) return hr
using namespace firmware;
struct Bstr { BSTR s; explicit Bstr(const std::wstring& t) : s(::SysAllocString(t.c_str())) {} ~Bstr() { ::SysFreeString(s); } };
struct Setting { bool ofMethod; const wchar_t* value; DWORD data; };  // under kBehaviourKey\<class>, or \<class>\<method>
struct Case {  // input L"": a null string; instance -1: no call recorded
    const wchar_t *cls, *method, *input; std::vector<Setting> settings; HRESULT result; LONG data;
    int instance; const wchar_t *recorded, *led; DWORD ledState; bool hold = false; };
// The service's sequence: the first instance whose path reads, the class looked up once more after a failure.
static HRESULT Call(const Case& c, LONG* data, HRESULT hr = S_OK)
{
    win::ComPtr<IWbemLocator> locator; win::ComPtr<IWbemServices> services; win::ComPtr<IEnumWbemClassObject> found; const Bstr cls(c.cls);
    win::ComPtr<IWbemClassObject> object, in, params, out; win::UniqueVariant path, value;
    TRY(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator, locator.put_void()));
    EXPECT_EQ(WBEM_E_INVALID_NAMESPACE, locator->ConnectServer(Bstr(L"ROOT\\CIMV2").s, 0, 0, 0, 0, 0, 0, services.put()));
    TRY(locator->ConnectServer(Bstr(L"root\\WMI").s, 0, 0, 0, 0, 0, 0, services.put())); TRY(::CoSetProxyBlanket(services.get(), 10, 0, 0, 3, 3, 0, 0));
    TRY(c.cls == kTelruneClass ? services->ExecQuery(Bstr(L"WQL").s, Bstr(std::wstring(L"SELECT * FROM ") + c.cls).s, 0x30, 0, found.put())
                               : services->CreateInstanceEnum(cls.s, 0x30, nullptr, found.put()));
    for (ULONG n = 0; (hr = found->Next(WBEM_INFINITE, 1, object.put(), &n)) == S_OK && FAILED(object->Get(L"__PATH", 0, path.put(), 0, 0));) {}
    if (hr != S_OK) { EXPECT_EQ(c.cls == kUtilityClass ? S_OK : HRESULT(WBEM_E_NOT_FOUND), services->GetObject(cls.s, 0, 0, object.put(), 0)); return hr; }
    if (FAILED(services->GetObject(cls.s, 0, 0, object.put(), 0))) TRY(services->GetObject(cls.s, 0, 0, object.put(), 0));
    TRY(object->GetMethod(c.method, 0, in.put(), nullptr));
    Bstr text(c.input ? c.input : L""); VARIANT input = {}; input.vt = VT_BSTR; input.bstrVal = *text.s ? text.s : nullptr;
    if (in) { TRY(in->SpawnInstance(0, params.put())); TRY(params->Put(L"featuretype", 0, &input, 0)); }
    TRY(services->ExecMethod(path.get()->bstrVal, Bstr(c.method).s, 0, nullptr, params.get(), out.put(), nullptr));
    TRY(out->Get(kData, 0, value.put(), nullptr, nullptr)); return *data = value.get()->lVal, hr;
}
static std::vector<std::wstring> MyCalls(size_t skip = 0)  // this process's calls after the first ones: class, method, path, input
{
    std::vector<std::wstring> calls;
    for (const CallRecord& r : ReadCallRecords())
        if (r.processId == ::GetCurrentProcessId()) calls.push_back(r.className + L"\t" + r.method + L"\t" + r.path + L"\t" + r.input);
    return std::vector<std::wstring>(calls.begin() + static_cast<ptrdiff_t>(std::min(skip, calls.size())), calls.end());
}
TEST(FirmwareStandIn, AnswersTheServiceSequenceAsSetAndRecordsEachCall)
{
    const wchar_t *U = kUtilityClass, *T = kTelruneClass, *SF = L"SetFeature"; const DWORD never = kLedNeverSet;
    const Case cases[] = {
        {U, SF, L"4", {}, S_OK, 0, 0, L"featuretype=\"4\"", kSpeakerLed, 1},
        {U, SF, L"2", {{true, kData, 0xFFFFFFFF}}, S_OK, -1, 0, L"featuretype=\"2\"", kMicMuteLed, 0},
        {U, SF, L"", {}, S_OK, 0, 0, L"featuretype=null", kMicMuteLed, never},
        {U, SF, L"1", {{true, kNoInputSignature, 1}}, S_OK, 0, 0, L"-", kMicMuteLed, never},
        {U, SF, L"4", {{true, kExecMethodError, 0x80041004}}, HRESULT(0x80041004), 0, 0, L"featuretype=\"4\"", kSpeakerLed, never},
        {U, SF, L"5", {{false, kGetObjectFailures, 1}}, S_OK, 0, 0, L"featuretype=\"5\"", kSpeakerLed, 0},
        {U, SF, L"1", {{false, kGetObjectFailures, 2}}, kGetObjectFailure, 0, -1, nullptr, kMicMuteLed, never},
        {U, SF, L"1", {{false, kInstances, 0}}, S_FALSE, 0, -1, nullptr, kMicMuteLed, never},
        {L"OSMIRA_MISSING_DATA", SF, L"1", {}, S_FALSE, 0, -1, nullptr, kMicMuteLed, never},
        {T, L"GetProductInfo", nullptr, {{false, kInstances, 3}, {false, kUnreadablePathInstance, 1}, {true, kData, 101}}, S_OK, 101, 1, L"-",
         kMicMuteLed, never},
        {T, L"GetVersion", nullptr, {{true, kData, 0xFFFFFFFB}, {true, kHold, 1}}, S_OK, -5, 0, L"-", kMicMuteLed, never, true},
    };
    win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, kReleaseEvent));
    ASSERT_EQ(S_OK, ::CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    for (const bool dll : {false, true}) {
        DWORD cookie = 0; ASSERT_EQ(S_OK, dll ? S_OK : RegisterFirmwareClassObject(&cookie));
        for (const Case& c : cases) {
            SCOPED_TRACE(testing::Message() << (dll ? "DLL, row " : "in-process, row ") << &c - cases);
            testsupport::RegistryTreeGuard tree(L"Software\\OsmiraFirmwareStandIn");
            for (const Setting& s : c.settings) ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (std::wstring(kBehaviourKey) + L"\\" + c.cls +
                (s.ofMethod ? L"\\" + std::wstring(c.method) : L"")).c_str(), s.value, REG_DWORD, &s.data, sizeof s.data);
            const size_t before = MyCalls().size();
            std::atomic<bool> released{false};  // a held call is recorded first, then waits for the event
            std::thread releaser([&] { if (c.hold && testsupport::WaitUntil([&] { return MyCalls().size() > before; }, 10000))
                                           released = true, ::SetEvent(release.get()); });
            LONG data = 0; EXPECT_EQ(c.result, Call(c, &data));
            EXPECT_EQ(c.hold, released.load()); releaser.join();
            EXPECT_EQ(c.data, data); EXPECT_EQ(c.ledState, ReadLedState(c.led));
            const std::wstring record = std::wstring(c.cls) + L"\t" + c.method + L"\t" + ObjectPath(InstanceRelativePath(c.cls, c.instance));
            EXPECT_EQ(c.instance < 0 ? std::vector<std::wstring>{} : std::vector<std::wstring>{record + L"\t" + c.recorded}, MyCalls(before));
        }
        EXPECT_EQ(S_OK, dll ? S_OK : ::CoRevokeClassObject(cookie)); EXPECT_EQ(dll, ::GetModuleHandleW(kDllName) != nullptr);
    }
    ::CoUninitialize();
}
