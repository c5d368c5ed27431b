// fnkeyctl: sends one of the service's control codes, as the companions and the settings
// application do, and prints what the service control manager answered.
#include "FnkeyctlArgs.h"

#include "log/ConsolePrint.h"
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

std::wstring ErrorText(DWORD error)
{
    wchar_t* buffer = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = length != 0 && buffer != nullptr ? std::wstring(buffer, length) : L"(no description)";
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    return text;
}

// The console printer takes a bounded message: long texts go out a line at a time.
void PrintText(const std::wstring& text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        end = end == std::wstring::npos ? text.size() : end + 1;
        ConsolePrint(L"%s", text.substr(start, end - start).c_str());
        start = end;
    }
}

int Fail(const wchar_t* step, DWORD error)
{
    ConsolePrint(L"fnkeyctl: %s failed: error %u (%s)\n", step, error, ErrorText(error).c_str());
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

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    std::vector<std::wstring> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    const fnkeyctl::Arguments parsed = fnkeyctl::ParseArguments(args);
    switch (parsed.action) {
    case fnkeyctl::Action::List:
        PrintText(fnkeyctl::ListText());
        return 0;
    case fnkeyctl::Action::Help:
        PrintText(fnkeyctl::UsageText());
        return 0;
    case fnkeyctl::Action::Usage:
        ConsolePrint(L"fnkeyctl: %s\n", parsed.error.c_str());
        PrintText(fnkeyctl::UsageText());
        return 2;
    case fnkeyctl::Action::Send:
        break;
    }
    return Send(parsed);
}
