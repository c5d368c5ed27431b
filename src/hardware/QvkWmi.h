// The service's one client of the firmware's WMI provider in ROOT\WMI. It owns what every
// conversation with the firmware shares: the lock that keeps COM set-ups of different threads
// apart, the COM apartment of the calling thread and the locator's activation. It speaks two
// sequences:
//  - the LED method OSMIRA_UTILITY_DATA.SetFeature, with one "featuretype" string in and a
//    32-bit "Data" out: one CQvkWmi object per LED change, owned by the thread that creates it,
//    which enters COM on that thread, takes the class's first instance, calls the method once
//    and undoes it all when destroyed;
//  - the product information, OSMIRA_TELRUNE_DATA.GetProductInfo and GetVersion, each a whole
//    sequence in an apartment of its own (CQvkWmi::ReadProductValue).
#pragma once

#include "win/Owners.h"

#include <windows.h>
#include <objbase.h>
#include <wbemidl.h>

#include <optional>
#include <string>

// The feature ids that QVK_SetFeature sends; 3 is not used.
enum QvkFeature : UINT32 {
    SET_KBD_MIC_LED_ON = 1,
    SET_KBD_MIC_LED_OFF = 2,
    SET_KBD_SpkVol_LED_ON = 4,
    SET_KBD_SpkVol_LED_OFF = 5,
};

// What the product information asks of the firmware; each is logged in its own thread's texts.
enum class ProductValue {
    ProductType,  // "GetProductInfo", the texts of _Thread_ProductInfoMonitor
    Version,      // "GetVersion", the texts of _Thread_CheckProductVersion
};

// The calling thread's COM apartment for as long as this lives, entered and left under the
// client's set-up lock. Only an apartment that this entered is left again, so that a thread
// whose apartment was set up otherwise keeps it.
class FirmwareApartment {
public:
    explicit FirmwareApartment(DWORD model = COINIT_MULTITHREADED);
    ~FirmwareApartment();
    FirmwareApartment(const FirmwareApartment&) = delete;
    FirmwareApartment& operator=(const FirmwareApartment&) = delete;

    // The initialisation's result; RPC_E_CHANGED_MODE when the thread has another model already.
    HRESULT Result() const { return m_result; }

private:
    HRESULT m_result;
};

class CQvkWmi {
public:
    CQvkWmi() = default;
    ~CQvkWmi();
    CQvkWmi(const CQvkWmi&) = delete;
    CQvkWmi& operator=(const CQvkWmi&) = delete;

    // Connects a fresh locator to the namespace; the HRESULT of the last step attempted.
    HRESULT Connect(const wchar_t* nameSpace);
    // Lets go of the connection (services, then locator); the instance stays.
    void ReleaseWmi();
    // COM, security, connection and the first instance of the class, once: 1 when initialised.
    BOOL EnumInstances();
    // Calls SetFeature with the id's "featuretype"; 1 when the method ran and its "Data" was
    // read. The out-value takes "Data" only when that is not negative.
    BOOL QVK_SetFeature(UINT32 featureId, INT32* outValue);

    // Calls the value's method on the first instance of OSMIRA_TELRUNE_DATA that yields an
    // output object, in a single-threaded apartment of the calling thread, and returns its
    // "Data" (negative, or no 32-bit integer, taken as 0); nothing when the sequence failed, logged.
    static std::optional<LONG> ReadProductValue(ProductValue value);

private:
    BOOL ExecMethodWMI(UINT32 featureId, INT32* outValue);

    // Declared first, so that it is left after every COM object of this one is released.
    std::optional<FirmwareApartment> m_apartment;
    std::wstring m_namespace;
    win::ComPtr<IWbemLocator> m_locator;
    win::ComPtr<IWbemServices> m_services;
    win::ComPtr<IEnumWbemClassObject> m_enumerator;
    win::ComPtr<IWbemClassObject> m_instance;
    LONG m_initialised = 0;
};
