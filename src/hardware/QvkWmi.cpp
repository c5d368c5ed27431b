#include "hardware/QvkWmi.h"

#include "log/UtilityLog.h"

#include <mutex>

namespace {

// {4590F811-1D3A-11D0-891F-00AA004B2E24}, {DC12A687-737F-11CF-884D-00AA004B2E24}
constexpr CLSID kWbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID kIWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

constexpr const wchar_t* kFirmwareNamespace = L"ROOT\\WMI";
constexpr const wchar_t* kUtilityClass = L"OSMIRA_UTILITY_DATA";
constexpr const wchar_t* kSetFeature = L"SetFeature";
constexpr const wchar_t* kFeatureType = L"featuretype";
// How long an instance enumeration may take before it counts as missed: a firmware that never
// answers must not hold its caller for ever.
constexpr LONG kFirmwareEnumerationMs = 5000;

// Two threads that set up COM or activate the WMI locator at the same moment have been seen to
// deadlock Wine's loader. That, and only that, is what this lock covers: never a method call or
// an enumeration, so that a firmware that never answers holds no one but its own caller.
std::mutex& SetUpLock()
{
    static std::mutex lock;
    return lock;
}

// Process-wide security is set by the first caller; a later refusal as too late is fine.
HRESULT SetProcessSecurity()
{
    std::lock_guard<std::mutex> setUp(SetUpLock());
    const HRESULT hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    return hr == RPC_E_TOO_LATE ? S_OK : hr;
}

HRESULT ActivateLocator(win::ComPtr<IWbemLocator>& locator)
{
    std::lock_guard<std::mutex> setUp(SetUpLock());
    return ::CoCreateInstance(kWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIWbemLocator, locator.put_void());
}

// A string for a WMI call; a failed allocation is logged with the caller's own text.
win::UniqueBstr CheckedBstr(const wchar_t* text, const wchar_t* failure)
{
    win::UniqueBstr string(::SysAllocString(text));
    if (!string) WriteLog(failure);
    return string;
}

// The "featuretype" text of a feature id; null for the ids the firmware does not know.
const wchar_t* FeatureTypeText(UINT32 featureId)
{
    switch (featureId) {
    case SET_KBD_MIC_LED_ON: return L"1";
    case SET_KBD_MIC_LED_OFF: return L"2";
    case SET_KBD_SpkVol_LED_ON: return L"4";
    case SET_KBD_SpkVol_LED_OFF: return L"5";
    default: return nullptr;
    }
}

// One product value's method and the texts of the thread that asks for it.
struct ProductTexts {
    const wchar_t* method;
    const wchar_t* coInitialize;
    const wchar_t* security;
    const wchar_t* locator;
    const wchar_t* connect;
    const wchar_t* enumerator;
    const wchar_t* object;
    const wchar_t* execMethod;
    const wchar_t* data;
    const wchar_t* timedOut;
};

const ProductTexts kProductTypeTexts = {
    L"GetProductInfo",
    L"_Thread_ProductInfoMonitor  CoInitialize has some issue",
    L"_Thread_ProductInfoMonitor IsGameMachine CoInitializeSecurity failed Line: %d  GetLastError: %d",
    L"_Thread_ProductInfoMonitor IsGameMachine CoCreateInstance failed Line: %d  GetLastError: %d",
    L"_Thread_ProductInfoMonitor IsGameMachine ConnectServer failed Line: %d  GetLastError: %d",
    L"_Thread_ProductInfoMonitor Enumerator has some issue",
    L"_Thread_ProductInfoMonitor IsGameMachine Get GetProductInfoObject failed Line: %d  GetLastError: %d",
    L"_Thread_ProductInfoMonitor ExecMethod has some issue",
    L"_Thread_ProductInfoMonitor IsGameMachine Get GetProductInfoData failed Line: %d  GetLastError: %d",
    L"_Thread_ProductInfoMonitor Next timed out after %d ms",
};

const ProductTexts kVersionTexts = {
    L"GetVersion",
    L"_Thread_CheckProductVersion  CoInitialize has some issue",
    L"_Thread_CheckProductVersion ProductVersion CoInitializeSecurity failed Line: %d  GetLastError: %d",
    L"_Thread_CheckProductVersion ProductVersion CoCreateInstance failed Line: %d  GetLastError: %d",
    L"_Thread_CheckProductVersion ProductVersion ConnectServer failed Line: %d  GetLastError: %d",
    L"_Thread_CheckProductVersion ProductVersion Enumerator has some issue",
    L"_Thread_CheckProductVersion  Get ProductVersion Object failed Line: %d  GetLastError: %d",
    L"_Thread_CheckProductVersion ProductVersion ExecMethod has some issue",
    L"_Thread_CheckProductVersion  Get ProductVersion Data failed Line: %d  GetLastError: %d",
    L"_Thread_CheckProductVersion ProductVersion Next timed out after %d ms",
};

} // namespace

FirmwareApartment::FirmwareApartment(DWORD model)
{
    std::lock_guard<std::mutex> setUp(SetUpLock());
    m_result = ::CoInitializeEx(nullptr, model);
}

FirmwareApartment::~FirmwareApartment()
{
    if (FAILED(m_result)) return;
    // The tear-down unloads what the set-up loads, so it is kept apart from another thread's set-up too.
    std::lock_guard<std::mutex> setUp(SetUpLock());
    ::CoUninitialize();
}

CQvkWmi::~CQvkWmi()
{
    m_enumerator.reset();
    m_instance.reset();
    ReleaseWmi();
}

HRESULT CQvkWmi::Connect(const wchar_t* nameSpace)
{
    ReleaseWmi();
    HRESULT hr = ActivateLocator(m_locator);
    if (FAILED(hr)) return hr;

    m_namespace = nameSpace;
    const win::UniqueBstr space(::SysAllocString(m_namespace.c_str()));
    hr = m_locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, m_services.put());
    if (FAILED(hr)) {
        WriteLog(L"WMI:Connect ConnectServer failed!\n Error(%x)\n", hr);
    } else {
        hr = ::CoSetProxyBlanket(m_services.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                 RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    }
    if (FAILED(hr)) {
        WriteLog(L"WMI:Connect Server failed!\n Error(%x)\n", hr);
        ReleaseWmi();
    }
    return hr;
}

void CQvkWmi::ReleaseWmi()
{
    // COM forbids exceptions across Release; this only keeps a misbehaving provider from ending the caller.
    try {
        m_services.reset();
        m_locator.reset();
    } catch (...) {
        WriteLog(L"ReleaseWmi fatal error!\n");
    }
}

BOOL CQvkWmi::EnumInstances()
{
    if (m_initialised) return TRUE;
    if (!m_apartment) m_apartment.emplace(COINIT_MULTITHREADED);
    const HRESULT entered = m_apartment->Result();
    if ((FAILED(entered) && entered != RPC_E_CHANGED_MODE) || FAILED(SetProcessSecurity())) {
        m_apartment.reset();
        return FALSE;
    }

    if (SUCCEEDED(Connect(kFirmwareNamespace))) {
        const win::UniqueBstr className =
            CheckedBstr(kUtilityClass, L"WMI:EnumInstances SysAllocString failed 1! Error ");
        const LONG flags = WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY;
        if (className &&
            SUCCEEDED(m_services->CreateInstanceEnum(className.get(), flags, nullptr, m_enumerator.put()))) {
            ULONG returned = 0;
            const HRESULT next = m_enumerator->Next(kFirmwareEnumerationMs, 1, m_instance.put(), &returned);
            // Only exactly WBEM_S_NO_ERROR brings an instance: WBEM_S_FALSE means there is none.
            if (next == WBEM_S_NO_ERROR && m_instance) {
                m_initialised = 1;
                return TRUE;
            }
            if (next == WBEM_S_TIMEDOUT) {
                WriteLog(L"WMI:EnumInstances Next timed out after %d ms", kFirmwareEnumerationMs);
            }
        }
    }
    ReleaseWmi();
    return FALSE;
}

BOOL CQvkWmi::QVK_SetFeature(UINT32 featureId, INT32* outValue)
{
    if (!m_initialised && !EnumInstances()) return FALSE;
    try {
        return ExecMethodWMI(featureId, outValue);
    } catch (...) {
        WriteLog(L"Utility:: Get WMI Infomation exception2!!! ");
        return FALSE;
    }
}

BOOL CQvkWmi::ExecMethodWMI(UINT32 featureId, INT32* outValue)
{
    // The value owns its string: clearing it frees the text exactly once.
    win::UniqueVariant value;
    value.get()->vt = VT_BSTR;
    const wchar_t* featureType = FeatureTypeText(featureId);
    value.get()->bstrVal = featureType ? ::SysAllocString(featureType) : nullptr;

    win::UniqueVariant path;
    if (FAILED(m_instance->Get(L"__PATH", 0, path.put(), nullptr, nullptr))) return FALSE;

    const win::UniqueBstr methodName = CheckedBstr(kSetFeature, L"WMI:ExecMethodWMI SysAllocString failed! Error 4");
    if (!methodName) return FALSE;
    const win::UniqueBstr className = CheckedBstr(kUtilityClass, L"WMI:ExecMethodWMI SysAllocString failed!  Error 5");
    if (!className) return FALSE;
    // A path that is not a string cannot be named in the call.
    const wchar_t* pathText = path.get()->vt == VT_BSTR ? path.get()->bstrVal : nullptr;
    const win::UniqueBstr instancePath = CheckedBstr(pathText, L"WMI:ExecMethodWMI SysAllocString failed!  Error 6");
    if (!instancePath) return FALSE;
    const win::UniqueBstr propertyName = CheckedBstr(kFeatureType, L"WMI:ExecMethodWMI SysAllocString failed! Error 7");
    if (!propertyName) return FALSE;

    win::ComPtr<IWbemClassObject> classDefinition;
    for (int attempt = 0;; ++attempt) {
        const HRESULT hr = m_services->GetObject(className.get(), 0, nullptr, classDefinition.put(), nullptr);
        if (SUCCEEDED(hr)) break;
        WriteLog(L"WMI:ExecMethodWMI get object failed! error=0x%x ", hr);
        if (attempt > 0) return FALSE;
        WriteLog(L"WMI:ExecMethodWMI reconnect com server. ");
        // Without a new connection there is nothing to ask again.
        if (FAILED(Connect(m_namespace.c_str()))) return FALSE;
    }

    win::ComPtr<IWbemClassObject> inputSignature;
    HRESULT hr = classDefinition->GetMethod(methodName.get(), 0, inputSignature.put(), nullptr);
    if (FAILED(hr)) {
        WriteLog(L"WMI:ExecMethodWMI get method(%s) failed! error=0x%x\n", methodName.get(), hr);
        return FALSE;
    }
    WriteLog(L"WMI:Get method successfully ");

    win::ComPtr<IWbemClassObject> inputParameters;
    if (inputSignature) {
        hr = inputSignature->SpawnInstance(0, inputParameters.put());
        if (FAILED(hr)) {
            WriteLog(L"WMI:ExecMethodWMI SpawnInstance failed! error=0x%x ", hr);
            return FALSE;
        }
        hr = inputParameters->Put(propertyName.get(), 0, value.get(), 0);
        if (FAILED(hr)) {
            WriteLog(L"WMI:ExecMethodWMI put var failed! error=0x%x ", hr);
            return FALSE;
        }
    }

    win::ComPtr<IWbemClassObject> outputParameters;
    hr = m_services->ExecMethod(instancePath.get(), methodName.get(), 0, nullptr, inputParameters.get(),
                                outputParameters.put(), nullptr);
    if (FAILED(hr) || !outputParameters) return FALSE;

    win::UniqueVariant data;
    if (FAILED(outputParameters->Get(L"Data", 0, data.put(), nullptr, nullptr))) return FALSE;
    // "Data" was read, so the call counts; only a non-negative 32-bit value is an answer to pass on.
    const bool integer = ::VariantChangeType(data.get(), data.get(), 0, VT_I4) == S_OK;
    if (integer && data.get()->lVal >= 0 && outValue) *outValue = data.get()->lVal;
    return TRUE;
}

std::optional<LONG> CQvkWmi::ReadProductValue(ProductValue value)
{
    const ProductTexts& texts = value == ProductValue::ProductType ? kProductTypeTexts : kVersionTexts;
    // Declared first: every COM object of the sequence is released before the apartment is left.
    const FirmwareApartment apartment(COINIT_APARTMENTTHREADED);
    if (FAILED(apartment.Result())) WriteLog(texts.coInitialize);
    HRESULT hr = SetProcessSecurity();
    if (FAILED(hr)) {
        WriteLog(texts.security, __LINE__, static_cast<int>(hr));
        return std::nullopt;
    }
    win::ComPtr<IWbemLocator> locator;
    hr = ActivateLocator(locator);
    if (FAILED(hr) || !locator) {
        WriteLog(texts.locator, __LINE__, static_cast<int>(hr));
        return std::nullopt;
    }
    win::ComPtr<IWbemServices> services;
    const win::UniqueBstr space(::SysAllocString(L"root\\WMI"));
    hr = locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
    if (FAILED(hr) || !services) {
        WriteLog(texts.connect, __LINE__, static_cast<int>(hr));
        return std::nullopt;
    }
    const win::UniqueBstr language(::SysAllocString(L"WQL"));
    const win::UniqueBstr query(::SysAllocString(L"SELECT * FROM OSMIRA_TELRUNE_DATA"));
    win::ComPtr<IEnumWbemClassObject> enumerator;
    hr = services->ExecQuery(language.get(), query.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                             nullptr, enumerator.put());
    if (FAILED(hr) || !enumerator) {
        // Without an enumerator there is nothing to ask: the sequence ends as after any other
        // failure before the query.
        WriteLog(texts.enumerator);
        return std::nullopt;
    }

    const win::UniqueBstr methodName(::SysAllocString(texts.method));
    win::ComPtr<IWbemClassObject> output;
    for (;;) {
        win::ComPtr<IWbemClassObject> instance;
        ULONG returned = 0;
        const HRESULT next = enumerator->Next(kFirmwareEnumerationMs, 1, instance.put(), &returned);
        if (next == WBEM_S_TIMEDOUT) WriteLog(texts.timedOut, kFirmwareEnumerationMs);
        if (returned == 0 || !instance) {
            WriteLog(texts.object, __LINE__, static_cast<int>(next));
            return std::nullopt;
        }
        win::UniqueVariant path;
        if (SUCCEEDED(instance->Get(L"__PATH", 0, path.put(), nullptr, nullptr)) && path.get()->vt == VT_BSTR) {
            hr = services->ExecMethod(path.get()->bstrVal, methodName.get(), 0, nullptr, nullptr, output.put(),
                                      nullptr);
            if (FAILED(hr)) WriteLog(texts.execMethod);
        }
        if (output) break;
        if (FAILED(next)) {
            WriteLog(texts.object, __LINE__, static_cast<int>(next));
            return std::nullopt;
        }
    }

    win::UniqueVariant data;
    hr = output->Get(L"Data", 0, data.put(), nullptr, nullptr);
    if (FAILED(hr)) {
        WriteLog(texts.data, __LINE__, static_cast<int>(hr));
        return std::nullopt;
    }
    // "Data" was read; a value that is no 32-bit integer is taken as 0, like a negative one.
    if (::VariantChangeType(data.get(), data.get(), 0, VT_I4) != S_OK) return 0;
    return data.get()->lVal < 0 ? 0 : data.get()->lVal;
}
