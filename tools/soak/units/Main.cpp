// Soak runs of the service's parts, in-process. Each subcommand prints its figures and exits 0
// when every property held, 1 with a line per violation otherwise, 2 on a usage error.
//   fn_soak_units digest [count=5000] [seed]   mutated signed executables through the PE digest
//   fn_soak_units log [seconds=60] [writers=8] concurrent records, rotation and the log switch
//   fn_soak_units trust [runs=100]             rejected libraries and companions start nothing
#include "Soak.h"

#include "log/ConsolePrint.h"

#include <cwchar>

int wmain(int argc, wchar_t** argv)
{
    using namespace soak;
    const wchar_t* command = argc > 1 ? argv[1] : L"";
    uint64_t first = 0, second = 0;
    if (std::wcscmp(command, L"digest") == 0 && CountArgument(argc, argv, 2, 5000, first) &&
        CountArgument(argc, argv, 3, ::GetTickCount64(), second)) {
        return DigestSoak(first, second);
    }
    if (std::wcscmp(command, L"log") == 0 && CountArgument(argc, argv, 2, 60, first) &&
        CountArgument(argc, argv, 3, 8, second) && first > 0 && second > 0 && second <= 64) {
        return LogSoak(first, second);
    }
    if (std::wcscmp(command, L"trust") == 0 && CountArgument(argc, argv, 2, 100, first) && first > 0) {
        return TrustSoak(first);
    }
    ConsolePrint(L"usage: fn_soak_units digest [count] [seed] | log [seconds] [writers] | trust [runs]\n");
    return 2;
}
