// The process entry: the service itself without an argument, its own installer with "-install" and "-remove". The
// exit status is 0 whatever happened. Library search is limited first, for the whole process.
#pragma once

int RunProgram(int argc, wchar_t* argv[]);
