// What the three soak runs share: their report of figures and violations, a seeded random
// source, a clock, and the few file helpers they need.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

// Collects one line per violated property; Finish prints them and gives the exit code.
class Violations {
public:
    void Add(const wchar_t* format, ...);
    size_t Count() const { return m_count; }
    // 0 when nothing was violated, otherwise 1 after a line per violation (the first 100).
    int Finish() const;

private:
    std::vector<std::wstring> m_lines;
    size_t m_count = 0;
};

// splitmix64: every mutation is reproducible from its own seed.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t bound) { return bound == 0 ? 0 : static_cast<uint32_t>(Next() % bound); }
    bool OneIn(uint32_t n) { return Below(n) == 0; }

private:
    uint64_t m_state;
};

class Stopwatch {
public:
    Stopwatch();
    double Seconds() const;

private:
    LARGE_INTEGER m_start;
};

std::wstring ModuleFolder(); // of the running program, without the trailing backslash
std::wstring TempFolder();   // the prefix's temporary folder, without the trailing backslash
bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>& bytes);
bool WriteWholeFile(const std::wstring& path, const unsigned char* bytes, size_t size);
void RemoveTree(const std::wstring& path);

// argv[index] as a positive number, or the default when absent; false when it is not one.
bool CountArgument(int argc, wchar_t** argv, int index, uint64_t fallback, uint64_t& value);

int DigestSoak(uint64_t count, uint64_t seed);
int LogSoak(uint64_t seconds, uint64_t writers);
int TrustSoak(uint64_t runs);

} // namespace soak
