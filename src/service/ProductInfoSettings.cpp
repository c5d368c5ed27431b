#include "service/ProductInfoSettings.h"

#include "hardware/QvkWmi.h"
#include "log/UtilityLog.h"
#include "registry/Registry.h"
#include "registry/RegistryKeys.h"
#include "win/Threads.h"

namespace {

// True when written; a failure is logged, the hive written as its usual short name.
bool WriteLoggingFailure(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD value)
{
    if (TrySetRegKeyValueInt(root, subKey, name, value)) return true;
    WriteLog(L"_Thread_ProductInfoMonitor TrySetRegKeyValueInt  %s/%s/%s Failed. Line: %d  GetLastError: %d",
             root == HKEY_CURRENT_USER ? L"HKCU" : L"HKLM", subKey, name, __LINE__, ::GetLastError());
    return false;
}

bool IsGamingProduct(LONG type) { return type == 100 || type == 101 || type == 102; }

void RecordProductVersion(LONG version)
{
    using namespace regkeys;
    if (WriteLoggingFailure(HKEY_LOCAL_MACHINE, kCapabilityKey, kGameMachineVersion, static_cast<DWORD>(version))) {
        return;
    }
    WriteLog(L"_Thread_CheckProductVersion  SetReg ProductVersion failed Line: %d  GetLastError: %d", __LINE__,
             ::GetLastError());
}

} // namespace

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

DWORD WINAPI _Thread_ProductInfoMonitor(LPVOID)
{
    if (const std::optional<LONG> type = CQvkWmi::ReadProductValue(ProductValue::ProductType)) RecordProductType(*type);
    return 0;
}

DWORD WINAPI _Thread_CheckProductVersion(LPVOID)
{
    if (const std::optional<LONG> version = CQvkWmi::ReadProductValue(ProductValue::Version)) {
        RecordProductVersion(*version);
    }
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
