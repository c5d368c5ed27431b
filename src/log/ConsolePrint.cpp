#include "log/ConsolePrint.h"

#include <windows.h>
#include <cstdarg>
#include <cstdio>
#include <string>

void ConsolePrint(const wchar_t* format, ...)
{
    if (format == nullptr) return;
    wchar_t text[1024] = {};
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, 1023, format, args);
    va_end(args);
    text[1023] = L'\0';

    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const DWORD length = static_cast<DWORD>(wcslen(text));
    DWORD written = 0;
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text, length, &written, nullptr);
        return;
    }
    UINT codePage = ::GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_ACP;
    const int bytes = ::WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0,
                                            nullptr, nullptr);
    if (bytes <= 0) return;
    std::string converted(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), &converted[0], bytes, nullptr,
                          nullptr);
    ::WriteFile(out, converted.data(), static_cast<DWORD>(bytes), &written, nullptr);
}
