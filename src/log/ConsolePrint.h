#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// The program's one wide formatter: the Microsoft CRT's, where %s takes a wide string (MinGW's
// C99 family would read it as a narrow one). Every format of the program goes through here.

// Into a caller's buffer: at most capacity - 1 characters, cut where the text does not fit,
// always terminated. Returns the characters written.
size_t FormatInto(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
// The whole text, however long.
std::wstring FormatList(const wchar_t* format, va_list args);
std::wstring Format(const wchar_t* format, ...);

// printf to standard output for the command-line roles, any length.
// Writes to the console when there is one, otherwise converts to the console's code page
// so that a pipe receives readable text. Never writes to standard error.
void ConsolePrint(const wchar_t* format, ...);
