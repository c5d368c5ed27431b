#include "Soak.h"

#include "log/ConsolePrint.h"
#include "win/Owners.h"

#include <cstdarg>
#include <cwchar>
#include <filesystem>

namespace soak {

void Violations::Add(const wchar_t* format, ...)
{
    ++m_count;
    if (m_lines.size() >= 100) return;
    va_list args;
    va_start(args, format);
    m_lines.push_back(FormatList(format, args));
    va_end(args);
}

int Violations::Finish() const
{
    for (const std::wstring& line : m_lines) ConsolePrint(L"VIOLATION: %s\n", line.c_str());
    if (m_count > m_lines.size()) {
        ConsolePrint(L"VIOLATION: ... and %llu more\n", static_cast<unsigned long long>(m_count - m_lines.size()));
    }
    ConsolePrint(m_count == 0 ? L"result: every property held\n" : L"result: %llu violations\n",
                 static_cast<unsigned long long>(m_count));
    return m_count == 0 ? 0 : 1;
}

uint64_t Random::Next()
{
    uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

Stopwatch::Stopwatch() { ::QueryPerformanceCounter(&m_start); }

double Stopwatch::Seconds() const
{
    LARGE_INTEGER now, frequency;
    ::QueryPerformanceCounter(&now);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring ModuleFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH, path);
    std::wstring folder(path, length);
    while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

bool ReadWholeFile(const std::wstring& path, std::vector<unsigned char>& bytes)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    if (error) return false;
    const win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return false;
    bytes.resize(static_cast<size_t>(size));
    DWORD read = 0;
    return size == 0 || (::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(size), &read, nullptr) && read == size);
}

bool WriteWholeFile(const std::wstring& path, const unsigned char* bytes, size_t size)
{
    const win::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return size == 0 || (::WriteFile(file.get(), bytes, static_cast<DWORD>(size), &written, nullptr) && written == size);
}

void RemoveTree(const std::wstring& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

bool CountArgument(int argc, wchar_t** argv, int index, uint64_t fallback, uint64_t& value)
{
    if (index >= argc) {
        value = fallback;
        return true;
    }
    wchar_t* end = nullptr;
    value = std::wcstoull(argv[index], &end, 0);
    return end != argv[index] && *end == L'\0';
}

} // namespace soak
