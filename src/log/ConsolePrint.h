#pragma once

// printf to standard output for the command-line roles; %s takes a wide string.
// Writes to the console when there is one, otherwise converts to the console's code page
// so that a pipe receives readable text. Never writes to standard error.
void ConsolePrint(const wchar_t* format, ...);
