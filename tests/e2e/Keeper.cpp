// Keeps a prefix's system processes (the service manager among them) alive while tests need them.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { ::Sleep(INFINITE); return 0; }
