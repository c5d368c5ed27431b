// fn_soak_service: the service under load and faults.
//   storm  [codes=200000] [seed]        random codes and session events through the dispatcher
//   storm-managed [codes=200000] [seed] random codes through the manager to the installed service
//   cycles [count=50] [every=1]          start/stop cycles of the installed service, every so many
//                                        of them staying until both companions run
//   chaos  [kill every ms=3000]          the agent killed during the supervision window
// Exit status: 0 when every property held, 1 otherwise, 2 for a bad command line.
#include "ServiceSoak.h"

#include "log/ConsolePrint.h"

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

DWORD Argument(int argc, wchar_t** argv, int index, DWORD fallback)
{
    return argc > index ? static_cast<DWORD>(std::wcstoul(argv[index], nullptr, 10)) : fallback;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring run = argc > 1 ? argv[1] : L"";
    int violations = 0;
    if (run == L"storm") {
        violations = RunStorm(Argument(argc, argv, 2, 200000), Argument(argc, argv, 3, ::GetTickCount()), false);
    } else if (run == L"storm-managed") {
        violations = RunStorm(Argument(argc, argv, 2, 200000), Argument(argc, argv, 3, ::GetTickCount()), true);
    } else if (run == L"cycles") {
        violations = RunCycles(Argument(argc, argv, 2, 50), Argument(argc, argv, 3, 1), ::GetTickCount());
    } else if (run == L"chaos") {
        violations = RunChaos(Argument(argc, argv, 2, 3000));
    } else {
        ConsolePrint(L"usage: fn_soak_service storm|storm-managed [codes] [seed] | cycles [count] [every] | chaos [kill every ms]\n");
        return 2;
    }
    ConsolePrint(L"%s: %s\n", run.c_str(), violations == 0 ? L"every property held" : L"FAILED");
    return violations == 0 ? 0 : 1;
}
