// A service on the framework whose hooks append one line each to the file that its command line
// names: "control N", "event TEXT", and "<hook> OK" when the hook saw the state it runs in (its
// pending state, with a check point; the manager's START_PENDING at check point 1 for the start),
// else "<hook> FAIL state/checkpoint". Codes 129-133 hand code-128 (pause, continue, shutdown:
// controls that the manager itself never sends such a service) to the framework's handler.
// Start arguments: throw-<hook>=CODE|other makes the hook throw; slow-stop and refuse-stop fail
// the stop, then report STOP_PENDING for two seconds and end STOPPED or RUNNING.
#include "service/ServiceBase.h"
#include "win/Owners.h"

#include <stdexcept>
#include <thread>

namespace {

std::wstring g_records;

void Record(const std::wstring& line)
{
    const std::string bytes = std::string(line.begin(), line.end()) + "\n";
    win::UniqueHandle file(::CreateFileW(g_records.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

class ProbeService : public CServiceBase {
public:
    ProbeService() : CServiceBase(L"FnKeyFrameworkProbe") {}

protected:
    void OnStart(DWORD argc, LPWSTR* argv) override
    {
        for (DWORD i = 1; i < argc; ++i) m_options += std::wstring(argv[i]) + L" ";
        win::UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        SERVICE_STATUS seen = {};
        ::QueryServiceStatus(win::UniqueServiceHandle(::OpenServiceW(manager.get(), argv[0], SERVICE_QUERY_STATUS)).get(), &seen);
        Hook(L"start", seen, SERVICE_START_PENDING);
    }
    void OnPause() override { Hook(L"pause", StatusSnapshot(), SERVICE_PAUSE_PENDING); }
    void OnContinue() override { Hook(L"continue", StatusSnapshot(), SERVICE_CONTINUE_PENDING); }
    void OnShutdown() override { Hook(L"shutdown", StatusSnapshot(), SERVICE_RUNNING); }
    void OnStop() override
    {
        const bool refuse = m_options.find(L"refuse-stop") != std::wstring::npos;
        if (!refuse && m_options.find(L"slow-stop") == std::wstring::npos) return Hook(L"stop", StatusSnapshot(), SERVICE_STOP_PENDING);
        std::thread([this, refuse] {
            while (StatusSnapshot().dwCurrentState != SERVICE_RUNNING) ::Sleep(10); // the failed stop's report
            for (int step = 0; step < 4; ++step, ::Sleep(600)) ReportStatus(SERVICE_STOP_PENDING, NO_ERROR);
            ReportStatus(refuse ? SERVICE_RUNNING : SERVICE_STOPPED, NO_ERROR);
        }).detach();
        throw DWORD{ERROR_BUSY};
    }

    DWORD OnServiceControlHandle(DWORD control, DWORD, LPVOID, LPVOID context) override
    {
        Record(L"control " + std::to_wstring(control) + (context == this ? L"" : L" FAIL context"));
        if (control > 128 && control <= 133) ServiceCtrlHandlerEx(control - 128, 0, nullptr, this);
        return ERROR_CALL_NOT_IMPLEMENTED; // the framework ignores the answer
    }

    ULONG WriteServiceEvent(const wchar_t* message, UCHAR level) override
    {
        const ULONG result = CServiceBase::WriteServiceEvent(message, level);
        Record((result == ERROR_SUCCESS && level == 2 ? L"event " : L"FAIL event ") + std::wstring(message));
        return result;
    }

private:
    void Hook(const std::wstring& name, const SERVICE_STATUS& seen, DWORD state)
    {
        const bool ok = seen.dwCurrentState == state &&
                        (state == SERVICE_START_PENDING ? seen.dwCheckPoint == 1 : (seen.dwCheckPoint != 0) == (state != SERVICE_RUNNING));
        Record(name + (ok ? L" OK" : L" FAIL " + std::to_wstring(seen.dwCurrentState) + L"/" + std::to_wstring(seen.dwCheckPoint)));
        const size_t at = m_options.find(L"throw-" + name + L"=");
        if (at == std::wstring::npos) return;
        const std::wstring value = m_options.substr(at + name.size() + 7, m_options.find(L' ', at) - at - name.size() - 7);
        if (value == L"other") throw std::runtime_error("not a code");
        throw DWORD(std::stoul(value));
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
