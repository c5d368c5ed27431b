#include "log/ConsolePrint.h"

#include <windows.h>
#include <cstdio>
#include <cwchar>

size_t FormatInto(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args)
{
    if (buffer == nullptr || capacity == 0) return 0;
    buffer[0] = L'\0';
    if (format == nullptr) return 0;
    // A cut text is left unterminated (and answered with -1): the last place ends it.
    _vsnwprintf(buffer, capacity - 1, format, args);
    buffer[capacity - 1] = L'\0';
    return wcslen(buffer);
}

std::wstring FormatList(const wchar_t* format, va_list args)
{
    if (format == nullptr) return std::wstring();
    va_list counting;
    va_copy(counting, args);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) return std::wstring();
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(FormatInto(&text[0], text.size(), format, args));
    return text;
}

std::wstring Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::wstring text = FormatList(format, args);
    va_end(args);
    return text;
}

void ConsolePrint(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatList(format, args);
    va_end(args);
    if (text.empty()) return;

    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    const DWORD length = static_cast<DWORD>(text.size());
    DWORD written = 0;
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        ::WriteConsoleW(out, text.c_str(), length, &written, nullptr);
        return;
    }
    UINT codePage = ::GetConsoleOutputCP();
    if (codePage == 0) codePage = CP_ACP;
    const int bytes = ::WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(length), nullptr, 0,
                                            nullptr, nullptr);
    if (bytes <= 0) return;
    std::string converted(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(codePage, 0, text.c_str(), static_cast<int>(length), &converted[0], bytes, nullptr,
                          nullptr);
    ::WriteFile(out, converted.data(), static_cast<DWORD>(bytes), &written, nullptr);
}
