// fnkeyctl: sends one of the service's control codes, as the companions and the settings
// application do, and prints what the service control manager answered; also prints the
// service's status and switches its logging.
#include "FnkeyctlArgs.h"
#include "FnkeyctlStatus.h"

#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"
#include "win/Owners.h"

namespace {

// The right that ControlService checks for a code.
DWORD AccessFor(DWORD code)
{
    switch (code) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_PARAMCHANGE:
    case SERVICE_CONTROL_NETBINDADD:
    case SERVICE_CONTROL_NETBINDREMOVE:
    case SERVICE_CONTROL_NETBINDENABLE:
    case SERVICE_CONTROL_NETBINDDISABLE:
        return SERVICE_PAUSE_CONTINUE;
    default:
        return code >= 128 ? SERVICE_USER_DEFINED_CONTROL : SERVICE_INTERROGATE;
    }
}

int Fail(const wchar_t* step, DWORD error)
{
    ConsolePrint(L"fnkeyctl: %s failed: error %u (%s)\n", step, error, fnkeyctl::SystemErrorText(error).c_str());
    return 1;
}

int Send(const fnkeyctl::Arguments& args)
{
    const fnkeyctl::ControlName* known = fnkeyctl::FindControl(args.code);
    ConsolePrint(L"fnkeyctl: sending %u (%s) to %s\n", args.code, known != nullptr ? known->name : L"unnamed",
                 args.serviceName.c_str());

    win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return Fail(L"OpenSCManager", ::GetLastError());
    win::UniqueServiceHandle service(::OpenServiceW(manager.get(), args.serviceName.c_str(), AccessFor(args.code)));
    if (!service) return Fail(L"OpenService", ::GetLastError());

    SERVICE_STATUS status = {};
    if (!::ControlService(service.get(), args.code, &status)) return Fail(L"ControlService", ::GetLastError());
    ConsolePrint(L"fnkeyctl: success, service state %u\n", status.dwCurrentState);
    return 0;
}

// Creates or deletes the switch key that the service's log checks before every record.
int SwitchLogging(bool on)
{
    const std::wstring key = std::wstring(L"HKLM\\") + CUtilityLog::kSwitchKey;
    if (on) {
        win::UniqueRegKey created;
        DWORD disposition = 0;
        const LONG status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, CUtilityLog::kSwitchKey, 0, nullptr, 0, KEY_READ,
                                              nullptr, created.put(), &disposition);
        if (status != ERROR_SUCCESS) return Fail(L"creating the logging switch key", static_cast<DWORD>(status));
        ConsolePrint(disposition == REG_CREATED_NEW_KEY ? L"fnkeyctl: logging switched on: created %s\n"
                                                        : L"fnkeyctl: logging already on: %s exists\n",
                     key.c_str());
        return 0;
    }
    const LONG status = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, CUtilityLog::kSwitchKey);
    if (status == ERROR_FILE_NOT_FOUND) {
        ConsolePrint(L"fnkeyctl: logging already off: %s does not exist\n", key.c_str());
        return 0;
    }
    if (status != ERROR_SUCCESS) return Fail(L"deleting the logging switch key", static_cast<DWORD>(status));
    ConsolePrint(L"fnkeyctl: logging switched off: deleted %s\n", key.c_str());
    return 0;
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    const fnkeyctl::Arguments parsed = fnkeyctl::ParseArguments(args);
    switch (parsed.action) {
    case fnkeyctl::Action::List:
        ConsolePrint(L"%s", fnkeyctl::ListText().c_str());
        return 0;
    case fnkeyctl::Action::Help:
        ConsolePrint(L"%s", fnkeyctl::UsageText().c_str());
        return 0;
    case fnkeyctl::Action::Usage:
        ConsolePrint(L"fnkeyctl: %s\n", parsed.error.c_str());
        ConsolePrint(L"%s", fnkeyctl::UsageText().c_str());
        return 2;
    case fnkeyctl::Action::Status:
        ConsolePrint(L"%s", fnkeyctl::FormatStatus(fnkeyctl::GatherStatus(parsed.serviceName)).c_str());
        return 0;
    case fnkeyctl::Action::LogOn:
    case fnkeyctl::Action::LogOff:
        return SwitchLogging(parsed.action == fnkeyctl::Action::LogOn);
    case fnkeyctl::Action::Send:
        break;
    }
    return Send(parsed);
}
