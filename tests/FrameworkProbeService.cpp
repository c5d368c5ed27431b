// A service on the framework whose hooks append a line each to the file its command line names: "registered",
// "control N", "event TEXT", "<hook> OK" when the hook saw the state it runs in (pending ones with a check point),
// else "<hook> FAIL state/checkpoint". Codes 129-133 hand code-128 (pause, continue, shutdown, which the manager
// never sends it) to the framework's handler. Start argument: throw-<hook>=CODE|other.
#include "service/ServiceBase.h"
#include "win/Owners.h"

#include <stdexcept>

namespace {
std::wstring g_records;
void Record(const std::wstring& line)
{
    const std::string bytes = std::string(line.begin(), line.end()) + "\n";
    const win::UniqueHandle file(
        ::CreateFileW(g_records.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), bytes.data(), DWORD(bytes.size()), &written, nullptr);
}
class ProbeService : public CServiceBase {
public:
    ProbeService() : CServiceBase(L"FnKeyFrameworkProbe") {}
protected:
    void OnControlHandlerRegistered() override { Record(L"registered"); }
    void OnStart(DWORD argc, LPWSTR* argv) override
    {
        m_option = argc > 1 ? argv[1] : L"";
        Hook(L"start", StatusSnapshot(), SERVICE_START_PENDING);
    }
    void OnPause() override { Hook(L"pause", StatusSnapshot(), SERVICE_PAUSE_PENDING); }
    void OnContinue() override { Hook(L"continue", StatusSnapshot(), SERVICE_CONTINUE_PENDING); }
    void OnShutdown() override { Hook(L"shutdown", StatusSnapshot(), SERVICE_RUNNING); }
    void OnStop() override { Hook(L"stop", StatusSnapshot(), SERVICE_STOP_PENDING); }
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
        const bool checkPointRight = (seen.dwCheckPoint != 0) == (state != SERVICE_RUNNING);
        const bool ok = seen.dwCurrentState == state && checkPointRight;
        const std::wstring seenText = std::to_wstring(seen.dwCurrentState) + L"/" + std::to_wstring(seen.dwCheckPoint);
        Record(name + (ok ? L" OK" : L" FAIL " + seenText));
        if (m_option.rfind(L"throw-" + name + L"=", 0) != 0) return;
        if (m_option.substr(name.size() + 7) == L"other") throw std::runtime_error("not a code");
        throw DWORD(std::stoul(m_option.substr(name.size() + 7)));
    }
    std::wstring m_option;
};
} // namespace
int wmain(int argc, wchar_t* argv[])
{
    g_records = argc > 1 ? argv[1] : L"";
    ProbeService service;
    return CServiceBase::Run(service) ? 0 : 1;
}
