#include "hardware/ProductInfoMonitor.h"

#include "hardware/FirmwareCallLock.h"
#include "log/UtilityLog.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "win/Owners.h"
#include "win/Threads.h"

#include <wbemidl.h>

#include <mutex>
#include <optional>

namespace {

// {4590F811-1D3A-11D0-891F-00AA004B2E24}, {DC12A687-737F-11CF-884D-00AA004B2E24}
constexpr CLSID kWbemLocator = {0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
constexpr IID kIWbemLocator = {0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};

// One thread's texts; both threads run the same sequence.
struct Messages {
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

const Messages kProductInfo = {
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

const Messages kVersion = {
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

bool EnterApartment()
{
    std::lock_guard<std::mutex> comSetUp(FirmwareCallLock());
    return SUCCEEDED(::CoInitialize(nullptr));
}

// Balances the thread's COM initialisation on every path, released last. A failed
// initialisation is not balanced: that would end an apartment the thread had before.
struct ComApartment {
    explicit ComApartment(const Messages& messages) : initialised(EnterApartment())
    {
        if (!initialised) WriteLog(messages.coInitialize);
    }
    ~ComApartment()
    {
        if (!initialised) return;
        std::lock_guard<std::mutex> comSetUp(FirmwareCallLock());
        ::CoUninitialize();
    }
    const bool initialised;
};

// Process security and the locator, the steps that must not overlap another thread's set-up.
win::ComPtr<IWbemLocator> ActivateLocator(const Messages& messages)
{
    std::lock_guard<std::mutex> comSetUp(FirmwareCallLock());
    HRESULT hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                        RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    // Already set for the process, for example by the other thread: fine.
    if (FAILED(hr) && hr != RPC_E_TOO_LATE) {
        WriteLog(messages.security, __LINE__, static_cast<int>(hr));
        return {};
    }
    win::ComPtr<IWbemLocator> locator;
    hr = ::CoCreateInstance(kWbemLocator, nullptr, CLSCTX_INPROC_SERVER, kIWbemLocator, locator.put_void());
    if (FAILED(hr) || !locator) {
        WriteLog(messages.locator, __LINE__, static_cast<int>(hr));
        return {};
    }
    return locator;
}

// Calls the method on the first instance of the firmware's class that yields an output object
// and returns its "Data" (negative taken as 0); nothing when the sequence failed, logged.
std::optional<LONG> CallFirmwareMethod(const wchar_t* method, const Messages& messages)
{
    ComApartment apartment(messages);
    const win::ComPtr<IWbemLocator> locator = ActivateLocator(messages);
    if (!locator) return std::nullopt;
    win::ComPtr<IWbemServices> services;
    const win::UniqueBstr space(::SysAllocString(L"root\\WMI"));
    HRESULT hr = locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr, services.put());
    if (FAILED(hr) || !services) {
        WriteLog(messages.connect, __LINE__, static_cast<int>(hr));
        return std::nullopt;
    }
    const win::UniqueBstr language(::SysAllocString(L"WQL"));
    const win::UniqueBstr query(::SysAllocString(L"SELECT * FROM OSMIRA_TELRUNE_DATA"));
    win::ComPtr<IEnumWbemClassObject> enumerator;
    hr = services->ExecQuery(language.get(), query.get(), WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                             nullptr, enumerator.put());
    if (FAILED(hr) || !enumerator) {
        // Without an enumerator there is nothing to ask: the thread ends as after any other
        // failure before the query.
        WriteLog(messages.enumerator);
        return std::nullopt;
    }

    const win::UniqueBstr methodName(::SysAllocString(method));
    win::ComPtr<IWbemClassObject> output;
    for (;;) {
        win::ComPtr<IWbemClassObject> instance;
        ULONG returned = 0;
        // A firmware that never answers must not keep this thread for ever: a bounded wait.
        const HRESULT next = enumerator->Next(kFirmwareEnumerationMs, 1, instance.put(), &returned);
        if (next == WBEM_S_TIMEDOUT) WriteLog(messages.timedOut, kFirmwareEnumerationMs);
        if (returned == 0 || !instance) {
            if (output) break;
            WriteLog(messages.object, __LINE__, static_cast<int>(next));
            return std::nullopt;
        }
        win::UniqueVariant path;
        if (SUCCEEDED(instance->Get(L"__PATH", 0, path.put(), nullptr, nullptr)) && path.get()->vt == VT_BSTR) {
            hr = services->ExecMethod(path.get()->bstrVal, methodName.get(), 0, nullptr, nullptr, output.put(), nullptr);
            if (FAILED(hr)) WriteLog(messages.execMethod);
        }
        if (output) break;
        if (FAILED(next)) {
            WriteLog(messages.object, __LINE__, static_cast<int>(next));
            return std::nullopt;
        }
    }

    win::UniqueVariant data;
    hr = output->Get(L"Data", 0, data.put(), nullptr, nullptr);
    if (FAILED(hr)) {
        WriteLog(messages.data, __LINE__, static_cast<int>(hr));
        return std::nullopt;
    }
    // "Data" was read; a value that is no 32-bit integer is taken as 0, like a negative one.
    if (::VariantChangeType(data.get(), data.get(), 0, VT_I4) != S_OK) return 0;
    return data.get()->lVal < 0 ? 0 : data.get()->lVal;
}

// The hive is written as its usual short name.
void WriteLoggingFailure(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    if (TrySetRegKeyValueInt(root, subKey, name, value)) return;
    WriteLog(L"_Thread_ProductInfoMonitor TrySetRegKeyValueInt  %s/%s/%s Failed. Line: %d  GetLastError: %d",
             root == HKEY_CURRENT_USER ? L"HKCU" : L"HKLM", subKey, name, __LINE__, ::GetLastError());
}

bool IsGamingProduct(LONG type) { return type == 100 || type == 101 || type == 102; }

void RecordProductType(LONG type)
{
    using namespace regkeys;
    if (!IsGamingProduct(type)) {
        WriteLoggingFailure(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine, 0);
        return;
    }
    DWORD userChanged = 0;
    const BOOL read = ReadRegDwordValue(kCapabilityKey, kIsUserChangedCapsNumLk, &userChanged);
    WriteLog(L"_Thread_ProductInfoMonitor GetRegForUserHistory:[%d]", read);
    WriteLoggingFailure(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsGameMachine, 1);
    if (read && userChanged == 1) return; // the user's own indicator setting stays

    WriteLog(L"_Thread_ProductInfoMonitor start SVC_CTL_SEND_UI_CAPSNUMLOCK_OFF Line:%d Error:%d", __LINE__,
             ::GetLastError());
    WriteLoggingFailure(HKEY_LOCAL_MACHINE, kCapabilityKey, kIsUserChangedCapsNumLk, 0);
    WriteLoggingFailure(HKEY_LOCAL_MACHINE, kToastKey, kShowCapslkOsd, 0);
    WriteLoggingFailure(HKEY_LOCAL_MACHINE, kOsdKey, kShowCapsNumlkOsd, 0);
    WriteLoggingFailure(HKEY_CURRENT_USER, kUserOsdKey, kShowCapsNumlkOsd, 0);
    WriteLoggingFailure(HKEY_LOCAL_MACHINE, kToastKey, kShowNumlkOsd, 0);
}

} // namespace

DWORD WINAPI _Thread_ProductInfoMonitor(LPVOID)
{
    if (const std::optional<LONG> type = CallFirmwareMethod(L"GetProductInfo", kProductInfo)) RecordProductType(*type);
    return 0;
}

DWORD WINAPI _Thread_CheckProductVersion(LPVOID)
{
    const std::optional<LONG> version = CallFirmwareMethod(L"GetVersion", kVersion);
    if (!version) return 0;
    if (TrySetRegKeyValueInt(HKEY_LOCAL_MACHINE, regkeys::kCapabilityKey, regkeys::kGameMachineVersion,
                             static_cast<DWORD>(*version))) {
        return 0;
    }
    WriteLog(L"_Thread_ProductInfoMonitor TrySetRegKeyValueInt  %s/%s/%s Failed. Line: %d  GetLastError: %d", L"HKLM",
             regkeys::kCapabilityKey, regkeys::kGameMachineVersion, __LINE__, ::GetLastError());
    WriteLog(L"_Thread_CheckProductVersion  SetReg ProductVersion failed Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
    return 0;
}

namespace MoniterProductInfoHelper {

// A thread that cannot be created is not logged: the start goes on without it.
void StartProductInfoMonitor()
{
    if (win::StartDetachedThread(&_Thread_ProductInfoMonitor)) {
        WriteLog(L"MoniterProductInfoHelper StartProductInfoMonitor Monitor QVKEvent button done.");
    }
}

void StartCheckProductVersionMonitor()
{
    if (win::StartDetachedThread(&_Thread_CheckProductVersion)) {
        WriteLog(L"MoniterProductInfoHelper StartCheckProductVersionMonitor Monitor QVKEvent button done.");
    }
}

} // namespace MoniterProductInfoHelper
