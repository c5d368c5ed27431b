#include "service/ProgramEntry.h"

int wmain(int argc, wchar_t* argv[])
{
    return RunProgram(argc, argv);
}
