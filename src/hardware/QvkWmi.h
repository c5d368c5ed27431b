// The client of the firmware's LED method: OSMIRA_UTILITY_DATA.SetFeature in ROOT\WMI, with
// one "featuretype" string in and a 32-bit "Data" out. One object per LED change, owned by the
// thread that creates it: it sets up COM on that thread, takes the class's first instance,
// calls the method once and undoes it all when destroyed.
#pragma once

#include "win/Owners.h"

#include <windows.h>
#include <wbemidl.h>

#include <string>

// The feature ids that QVK_SetFeature sends; 3 is not used.
enum QvkFeature : UINT32 {
    SET_KBD_MIC_LED_ON = 1,
    SET_KBD_MIC_LED_OFF = 2,
    SET_KBD_SpkVol_LED_ON = 4,
    SET_KBD_SpkVol_LED_OFF = 5,
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

private:
    BOOL ExecMethodWMI(UINT32 featureId, INT32* outValue);

    std::wstring m_namespace;
    win::ComPtr<IWbemLocator> m_locator;
    win::ComPtr<IWbemServices> m_services;
    win::ComPtr<IEnumWbemClassObject> m_enumerator;
    win::ComPtr<IWbemClassObject> m_instance;
    LONG m_initialised = 0;
    // Only an initialisation of this object is undone, so that a thread whose apartment was set
    // up otherwise keeps it.
    bool m_comInitialised = false;
};
