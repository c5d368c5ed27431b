#include "service/ProgramEntry.h"

#include "log/ConsolePrint.h"
#include "log/UtilityLog.h"
#include "service/ServiceInstaller.h"
#include "service/UtilityService.h"

#include <cwchar>

namespace {

void PrintUsage()
{
    ConsolePrint(L"Parameters:\n");
    ConsolePrint(L" -install  to install the service.\n");
    ConsolePrint(L" -remove   to remove the service.\n");
    ConsolePrint(L" -console  to run in console mode.\n");
}

void RunAsService()
{
    CUtilityService service;
    if (!CServiceBase::Run(service)) {
        ConsolePrint(L"Service failed to run w/err 0x%08lx\n", ::GetLastError());
    }
}

} // namespace

int RunProgram(int argc, wchar_t* argv[])
{
    // Before anything loads a library by name: only the program's and the system's folders are
    // searched, never the current folder or the search path, which other accounts may write to.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    CUtilityLog::InitLogFilePath();
    CUtilityLog::LoadModuleVersion();

    if (argc > 1 && (argv[1][0] == L'-' || argv[1][0] == L'/')) {
        const wchar_t* word = argv[1] + 1;
        if (_wcsicmp(word, L"install") == 0) {
            InstallService();
            return 0;
        }
        if (_wcsicmp(word, L"remove") == 0) {
            UninstallService();
            return 0;
        }
        if (_wcsicmp(word, L"console") == 0) {
            CUtilityService service;
            return 0;
        }
    } else {
        RunAsService();
    }
    PrintUsage();
    return 0;
}
