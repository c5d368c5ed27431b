// fn_soak: the soak runs (scripts/soak runs them long, the tests short).
//   storm [codes=200000] [seed]          random codes and session events through the dispatcher
//   storm-managed [codes=200000] [seed]  random codes through the manager to the installed service
//   cycles [count=50] [every=1]          start/stop cycles, every so many staying for both companions
//   chaos [kill every ms=3000]           the agent killed during the supervision window
//   digest [count=5000] [seed]           mutated signed executables through the PE digest
//   log [seconds=60] [writers=8]         concurrent records, rotation and the log switch
//   trust [runs=100]                     refused libraries and companions start nothing
// Exit status: 0 when every property held, 1 otherwise, 2 for a bad command line.
#include "Soak.h"

#include "log/ConsolePrint.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <functional>
#include <string>

namespace soak {

namespace {
std::atomic<unsigned> g_violations{0};
}

void Violation(const wchar_t* format, ...)
{
    if (++g_violations > 100) return;
    wchar_t text[1024] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 1023, format, args);
    va_end(args);
    ConsolePrint(L"VIOLATION: %s\n", text);
}

} // namespace soak

int wmain(int argc, wchar_t** argv)
{
    using namespace soak;
    const auto number = [&](int index, uint64_t fallback) {
        return argc > index ? std::wcstoull(argv[index], nullptr, 0) : fallback;
    };
    const DWORD now = ::GetTickCount();
    const struct Run {
        const wchar_t* name;
        std::function<void()> body;
    } runs[] = {
        {L"storm", [&] { Storm(DWORD(number(2, 200000)), DWORD(number(3, now)), false); }},
        {L"storm-managed", [&] { Storm(DWORD(number(2, 200000)), DWORD(number(3, now)), true); }},
        {L"cycles", [&] { Cycles(DWORD(number(2, 50)), DWORD(number(3, 1)), now); }},
        {L"chaos", [&] { Chaos(DWORD(number(2, 3000))); }},
        {L"digest", [&] { Digest(number(2, 5000), number(3, now)); }},
        {L"log", [&] { Log(DWORD(number(2, 60)), DWORD(number(3, 8))); }},
        {L"trust", [&] { Trust(DWORD(number(2, 100))); }},
    };
    const std::wstring wanted = argc > 1 ? argv[1] : L"";
    for (const Run& run : runs) {
        if (wanted != run.name) continue;
        run.body();
        const unsigned violations = g_violations.load();
        ConsolePrint(L"%s: %s (%u violations)\n", run.name, violations == 0 ? L"every property held" : L"FAILED",
                     violations);
        return violations == 0 ? 0 : 1;
    }
    ConsolePrint(L"usage: fn_soak storm|storm-managed [codes] [seed] | cycles [count] [every] | chaos [kill every ms]"
                 L" | digest [count] [seed] | log [seconds] [writers] | trust [runs]\n");
    return 2;
}
