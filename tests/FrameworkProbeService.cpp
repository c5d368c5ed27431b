// A service built on the framework whose hooks record what reached them and wait or throw
// as the test asks through the service's start arguments:
// Its own command line names the file where every hook appends one line.
//   wait-start            blocks OnStart until the test sets "Global\FnKeyProbeRelease"
//   throw-start=<code>    OnStart throws that 32-bit code; throw-start=other throws a non-code
//   throw-stop=<code>     the same for OnStop
#include "service/ServiceBase.h"

#include "win/Owners.h"

#include <cstdio>
#include <stdexcept>
#include <string>

namespace {

std::wstring g_recordPath;

void Record(const wchar_t* format, ...)
{
    wchar_t line[512] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(line, 510, format, args);
    va_end(args);
    line[510] = L'\0';
    wcscat(line, L"\n");
    char narrow[1024] = {};
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line, -1, narrow, sizeof narrow, nullptr, nullptr);
    win::UniqueHandle file(::CreateFileW(g_recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file && bytes > 1) ::WriteFile(file.get(), narrow, static_cast<DWORD>(bytes - 1), &written, nullptr);
}

const wchar_t* kStateNames[] = {L"?", L"STOPPED", L"START_PENDING", L"STOP_PENDING", L"RUNNING",
                                L"CONTINUE_PENDING", L"PAUSE_PENDING", L"PAUSED"};

class ProbeService : public CServiceBase {
public:
    ProbeService() : CServiceBase(L"FnKeyFrameworkProbe") {}

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override
    {
        for (DWORD i = 1; i < argc; ++i) {
            m_options += L" " + std::wstring(argv[i]) + L" ";
        }
        Record(L"OnStart state=%s checkpoint=%u", StateName(), StatusSnapshot().dwCheckPoint);
        if (Has(L"wait-start")) WaitForRelease();
        ThrowIfAsked(L"throw-start=");
    }

    void OnStop() override
    {
        Record(L"OnStop state=%s checkpoint=%u", StateName(), StatusSnapshot().dwCheckPoint);
        ThrowIfAsked(L"throw-stop=");
    }

    void OnShutdown() override { Record(L"OnShutdown state=%s", StateName()); }

    DWORD OnServiceControlHandle(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context) override
    {
        Record(L"control %u event=%u data=%s context=%s state=%s", control, eventType,
               eventData == nullptr ? L"null" : L"set", context == this ? L"self" : L"other", StateName());
        // The framework ignores what the hook answers.
        return ERROR_CALL_NOT_IMPLEMENTED;
    }

    ULONG WriteServiceEvent(const wchar_t* message, UCHAR level) override
    {
        const ULONG result = CServiceBase::WriteServiceEvent(message, level);
        Record(L"event level=%u result=%u text=%s", level, result, message);
        return result;
    }

private:
    const wchar_t* StateName() const
    {
        const DWORD state = StatusSnapshot().dwCurrentState;
        return state < 8 ? kStateNames[state] : L"?";
    }

    bool Has(const wchar_t* option) const
    {
        return m_options.find(L" " + std::wstring(option) + L" ") != std::wstring::npos;
    }

    void WaitForRelease() const
    {
        win::UniqueHandle release(::CreateEventW(nullptr, FALSE, FALSE, L"Global\\FnKeyProbeRelease"));
        Record(L"waiting");
        ::WaitForSingleObject(release.get(), 60000);
    }

    void ThrowIfAsked(const std::wstring& prefix) const
    {
        const size_t at = m_options.find(L" " + prefix);
        if (at == std::wstring::npos) return;
        const std::wstring value = m_options.substr(at + 1 + prefix.size(), m_options.find(L' ', at + 1) - at - 1 - prefix.size());
        if (value == L"other") throw std::runtime_error("not a code");
        throw static_cast<DWORD>(std::stoul(value));
    }

    std::wstring m_options;
};

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc > 1) g_recordPath = argv[1];
    ProbeService service;
    return CServiceBase::Run(service) ? 0 : 1;
}
