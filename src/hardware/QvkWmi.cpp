#include "hardware/QvkWmi.h"

#include "hardware/FirmwareCallLock.h"
#include "log/UtilityLog.h"

namespace {

// {4590F811-1D3A-11D0-891F-00AA004B2E24}, {DC12A687-737F-11CF-884D-00AA004B2E24}
constexpr CLSID kWbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID kIWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

constexpr const wchar_t* kFirmwareNamespace = L"ROOT\\WMI";
constexpr const wchar_t* kUtilityClass = L"OSMIRA_UTILITY_DATA";
constexpr const wchar_t* kSetFeature = L"SetFeature";
constexpr const wchar_t* kFeatureType = L"featuretype";

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

} // namespace

CQvkWmi::~CQvkWmi()
{
    m_enumerator.reset();
    m_instance.reset();
    ReleaseWmi();
    if (!m_comInitialised) return;
    // The tear-down unloads what the set-up loads, so it is kept apart from another thread's set-up too.
    std::lock_guard<std::mutex> comSetUp(FirmwareCallLock());
    ::CoUninitialize();
}

HRESULT CQvkWmi::Connect(const wchar_t* nameSpace)
{
    ReleaseWmi();
    HRESULT hr = E_FAIL;
    {
        std::lock_guard<std::mutex> activation(FirmwareCallLock());
        hr = ::CoCreateInstance(kWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIWbemLocator, m_locator.put_void());
    }
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

    {
        std::lock_guard<std::mutex> comSetUp(FirmwareCallLock());
        if (!m_comInitialised) {
            const HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) return FALSE;
            m_comInitialised = SUCCEEDED(hr);
        }
        const HRESULT security = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                        RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        // Process-wide security is set by the first caller; a later refusal as too late is fine.
        if (FAILED(security) && security != RPC_E_TOO_LATE) {
            if (m_comInitialised) ::CoUninitialize();
            m_comInitialised = false;
            return FALSE;
        }
    }

    if (SUCCEEDED(Connect(kFirmwareNamespace))) {
        const win::UniqueBstr className(::SysAllocString(kUtilityClass));
        if (!className) {
            WriteLog(L"WMI:EnumInstances SysAllocString failed 1! Error ");
        } else if (SUCCEEDED(m_services->CreateInstanceEnum(className.get(), WBEM_FLAG_RETURN_IMMEDIATELY | WBEM_FLAG_FORWARD_ONLY,
                                                            nullptr, m_enumerator.put()))) {
            ULONG returned = 0;
            // A firmware that never answers must not hold the LED worker for ever: a bounded wait.
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

    const win::UniqueBstr methodName(::SysAllocString(kSetFeature));
    if (!methodName) {
        WriteLog(L"WMI:ExecMethodWMI SysAllocString failed! Error 4");
        return FALSE;
    }
    const win::UniqueBstr className(::SysAllocString(kUtilityClass));
    if (!className) {
        WriteLog(L"WMI:ExecMethodWMI SysAllocString failed!  Error 5");
        return FALSE;
    }
    // A path that is not a string cannot be named in the call.
    const win::UniqueBstr instancePath(::SysAllocString(path.get()->vt == VT_BSTR ? path.get()->bstrVal : nullptr));
    if (!instancePath) {
        WriteLog(L"WMI:ExecMethodWMI SysAllocString failed!  Error 6");
        return FALSE;
    }
    const win::UniqueBstr propertyName(::SysAllocString(kFeatureType));
    if (!propertyName) {
        WriteLog(L"WMI:ExecMethodWMI SysAllocString failed! Error 7");
        return FALSE;
    }

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
