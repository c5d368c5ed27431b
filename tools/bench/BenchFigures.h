// The figure rows that scripts/bench gathers into its table, and the short texts they are made of.
#pragma once

#include "log/ConsolePrint.h"

#include <string>

// One row of the table: "FIGURE<tab>figure<tab>service<tab>reference<tab>ratio<tab>goal<tab>met|missed".
// The texts say what was measured, with units; `ratio` is the service's value over the
// reference's (or what the goal compares): three decimals, two significant digits below 0.1.
inline void PrintFigureRow(const wchar_t* figure, const std::wstring& service, const std::wstring& reference,
                           const std::wstring& ratio, const std::wstring& goal, bool met)
{
    ConsolePrint(L"FIGURE\t%s\t%s\t%s\t%s\t%s\t%s\n", figure, service.c_str(), reference.c_str(), ratio.c_str(),
                 goal.c_str(), met ? L"met" : L"missed");
}
inline void PrintFigure(const wchar_t* figure, const std::wstring& service, const std::wstring& reference, double ratio,
                        const wchar_t* goal, bool met)
{
    PrintFigureRow(figure, service, reference, Format(ratio >= 0.1 ? L"%.3fx" : L"%.2gx", ratio), goal, met);
}

// A figure that could not be measured counts as missed: the table says why instead of showing a number.
inline void PrintUnmeasured(const wchar_t* figure, const wchar_t* why, const wchar_t* goal)
{
    ConsolePrint(L"FIGURE\t%s\tnot measured: %s\t-\t-\t%s\tmissed\n", figure, why, goal);
}
