// Keeps a Wine prefix's system processes (the service control manager among them) alive
// while end-to-end tests run: a prefix shuts them down soon after its last user process.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    ::Sleep(INFINITE);
    return 0;
}
