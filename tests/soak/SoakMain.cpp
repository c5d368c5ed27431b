// fn_soak RUN [ARGUMENTS]: one soak run, its arguments and their defaults below; exit 1 when a property broke,
// 2 for a bad command line.
#include "Soak.h"

#include "log/ConsolePrint.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <functional>
#include <map>
#include <string>

namespace soak {

static std::atomic<unsigned> g_violations{0};

void Violation(const wchar_t* format, ...)
{
    if (++g_violations > 100) return;
    va_list args;
    va_start(args, format);
    ConsolePrint(L"VIOLATION: %s\n", FormatList(format, args).c_str());
    va_end(args);
}

} // namespace soak

int wmain(int argc, wchar_t** argv)
{
    const std::wstring run = argc > 1 ? argv[1] : L"";
    const auto number = [&](int index, DWORD fallback) {
        return argc > index ? DWORD(std::wcstoul(argv[index], nullptr, 0)) : fallback;
    };
    const std::map<std::wstring, std::function<void()>> runs = {
        {L"storm", [&] { soak::Storm(number(2, 200000), number(3, ::GetTickCount())); }},
        {L"chaos", [&] { soak::Chaos(number(2, 3000)); }},
        {L"digest", [&] { soak::Digest(number(2, 5000), number(3, ::GetTickCount())); }},
        {L"log", [&] { soak::Log(number(2, 60), number(3, 8)); }},
    };
    if (runs.count(run) == 0) {
        ConsolePrint(L"usage: fn_soak storm|chaos|digest|log [arguments]\n");
        return 2;
    }
    runs.at(run)();
    const unsigned violations = soak::g_violations.load();
    ConsolePrint(L"%s: %s (%u violations)\n", run.c_str(), violations == 0 ? L"every property held" : L"FAILED",
                 violations);
    return violations == 0 ? 0 : 1;
}
