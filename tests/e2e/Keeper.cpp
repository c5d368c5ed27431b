// Keeps a prefix's system processes (the service manager among them) alive: a prefix shuts
// them down soon after its last user process.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { ::Sleep(INFINITE); return 0; }
