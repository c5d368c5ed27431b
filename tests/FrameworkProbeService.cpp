// A service on the framework. Each hook appends one line to the file that the command line
// names: "start"/"stop" with OK or FAIL and what was seen (the state and check point that the
// manager, or during a control the framework, shows), "control N", "event TEXT". Start
// arguments make a hook throw: throw-start=CODE|other, throw-stop=CODE|other. slow-stop and
// refuse-stop fail the stop, then report STOP_PENDING for two seconds and end STOPPED or
// RUNNING: a service that takes its time over a stop, for the removal's tests.
#include "service/ServiceBase.h"
#include "win/Owners.h"

#include <stdexcept>
#include <string>
#include <thread>

namespace {

std::wstring g_records;

void Record(const std::wstring& line)
{
    const std::string bytes(line.begin(), line.end());
    win::UniqueHandle file(::CreateFileW(g_records.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.get(), (bytes + "\n").data(), static_cast<DWORD>(bytes.size() + 1), &written, nullptr);
}

std::wstring Verdict(DWORD state, DWORD checkPoint, DWORD expectedState, DWORD expectedCheckPoint)
{
    return state == expectedState && checkPoint == expectedCheckPoint
               ? L" OK" : L" FAIL state=" + std::to_wstring(state) + L" checkpoint=" + std::to_wstring(checkPoint);
}

class ProbeService : public CServiceBase {
public:
    ProbeService() : CServiceBase(L"FnKeyFrameworkProbe") {}

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override
    {
        for (DWORD i = 1; i < argc; ++i) m_options += std::wstring(argv[i]) + L" ";
        win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        win::UniqueServiceHandle self(::OpenServiceW(manager.get(), argv[0], SERVICE_QUERY_STATUS));
        SERVICE_STATUS seen = {};
        ::QueryServiceStatus(self.get(), &seen);
        Record(L"start" + Verdict(seen.dwCurrentState, seen.dwCheckPoint, SERVICE_START_PENDING, 1));
        ThrowIfAsked(L"throw-start=");
    }

    void OnStop() override
    {
        // The manager answers no status query while a control runs.
        Record(L"stop" + Verdict(StatusSnapshot().dwCurrentState, StatusSnapshot().dwCheckPoint, SERVICE_STOP_PENDING, 2));
        const bool refuse = m_options.find(L"refuse-stop") != std::wstring::npos;
        if (refuse || m_options.find(L"slow-stop") != std::wstring::npos) {
            std::thread([this, refuse] {
                while (StatusSnapshot().dwCurrentState != SERVICE_RUNNING) ::Sleep(10);
                for (int step = 0; step < 4; ++step, ::Sleep(600)) ReportStatus(SERVICE_STOP_PENDING, NO_ERROR);
                ReportStatus(refuse ? SERVICE_RUNNING : SERVICE_STOPPED, NO_ERROR);
            }).detach();
            throw DWORD{ERROR_BUSY};
        }
        ThrowIfAsked(L"throw-stop=");
    }

    DWORD OnServiceControlHandle(DWORD control, DWORD, LPVOID, LPVOID context) override
    {
        Record(L"control " + std::to_wstring(control) + (context == this ? L"" : L" FAIL context"));
        return ERROR_CALL_NOT_IMPLEMENTED; // the framework ignores the answer
    }

    ULONG WriteServiceEvent(const wchar_t* message, UCHAR level) override
    {
        const ULONG result = CServiceBase::WriteServiceEvent(message, level);
        Record((result == ERROR_SUCCESS && level == 2 ? L"event " : L"FAIL event ") + std::wstring(message));
        return result;
    }

private:
    void ThrowIfAsked(const std::wstring& option) const
    {
        const size_t at = m_options.find(option);
        if (at == std::wstring::npos) return;
        const std::wstring value = m_options.substr(at + option.size(), m_options.find(L' ', at) - at - option.size());
        if (value == L"other") throw std::runtime_error("not a code");
        throw static_cast<DWORD>(std::stoul(value));
    }

    std::wstring m_options;
};

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    if (argc > 1) g_records = argv[1];
    ProbeService service;
    return CServiceBase::Run(service) ? 0 : 1;
}
