// A bare service that takes its time over a stop, so that the removal's waiting loop can
// be watched: on the stop control it reports STOP_PENDING and returns; a moment later it
// reports STOPPED ("slow-stop"), or RUNNING again ("refuse-stop").
// Command line: StoppingService.exe MODE
#include <windows.h>
#include <cwchar>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
HANDLE g_stopRequested = nullptr;
bool g_refuse = false;

void Report(DWORD state, DWORD checkPoint)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = state == SERVICE_STOP_PENDING ? 5000 : 0;
    ::SetServiceStatus(g_status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 1);
        ::SetEvent(g_stopRequested);
    }
    return NO_ERROR;
}

void WINAPI Main(DWORD, LPWSTR*)
{
    g_status = ::RegisterServiceCtrlHandlerExW(L"OsmiraUtilityService", Handler, nullptr);
    Report(SERVICE_RUNNING, 0);
    for (;;) {
        ::WaitForSingleObject(g_stopRequested, INFINITE);
        for (DWORD step = 2; step < 6; ++step) {
            ::Sleep(600);
            Report(SERVICE_STOP_PENDING, step);
        }
        if (!g_refuse) break;
        Report(SERVICE_RUNNING, 0);
    }
    Report(SERVICE_STOPPED, 0);
}

} // namespace

int wmain(int argc, wchar_t* argv[])
{
    g_refuse = argc > 1 && wcscmp(argv[1], L"refuse-stop") == 0;
    g_stopRequested = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"OsmiraUtilityService"), Main}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
