#include "BenchMeasures.h"

#include "support/Processes.h"
#include "support/TestSupport.h"
#include "win/Owners.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

double Percentile(std::vector<double> samples, double share)
{
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(double(samples.size()) * share))];
}

namespace {

// A FILETIME's count of 100-ns steps.
double Ticks(const FILETIME& time)
{
    return double((ULONGLONG(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

} // namespace

CpuWindow::CpuWindow(DWORD processId) : m_processId(processId)
{
    Sample(true);
}

void CpuWindow::SampleFor(double seconds, DWORD intervalMs)
{
    const double end = testsupport::Now() + seconds;
    while (testsupport::Now() < end) {
        ::Sleep(intervalMs);
        Sample(false);
    }
}

double CpuWindow::Seconds() const
{
    double sum = 0;
    for (const auto& thread : m_threads) sum += thread.second.last - thread.second.first;
    return sum;
}

double CpuWindow::ThreadsTotal() const
{
    double sum = 0;
    for (const auto& thread : m_threads) sum += thread.second.last;
    return sum;
}

// Under Wine GetProcessTimes of another process reads 0: the window sums its threads' times.
void CpuWindow::Sample(bool baseline)
{
    for (const DWORD threadId : testsupport::ThreadIds(m_processId)) {
        const win::UniqueHandle thread(::OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
        FILETIME creation, exit, kernel, user;
        if (!thread || !::GetThreadTimes(thread.get(), &creation, &exit, &kernel, &user)) continue;
        const double seconds = (Ticks(kernel) + Ticks(user)) / 1e7;
        const auto found = m_threads.find(threadId);
        if (found != m_threads.end()) {
            found->second.last = seconds;
            continue;
        }
        m_threads[threadId] = {baseline ? seconds : 0, seconds};
        if (!baseline) ++m_started;
    }
}

void WaitOutSupervision(double startedAt)
{
    const double settled = startedAt + 45;
    const double now = testsupport::Now();
    if (now < settled) ::Sleep(DWORD((settled - now) * 1000));
}

void FirmwareCallTail::Skip()
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    const bool exists = ::GetFileAttributesExW(firmware::RecordFilePath().c_str(), GetFileExInfoStandard, &data);
    m_offset = exists ? (LONGLONG(data.nFileSizeHigh) << 32) | data.nFileSizeLow : 0;
}

// Reads from the offset on, not the whole file: the latency figure polls every 2 ms while the file grows.
std::vector<firmware::CallRecord> FirmwareCallTail::Read()
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle file(::CreateFileW(firmware::RecordFilePath().c_str(), GENERIC_READ, share, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !::GetFileSizeEx(file.get(), &size) || size.QuadPart <= m_offset) return {};
    LARGE_INTEGER at = {};
    at.QuadPart = m_offset;
    std::wstring text(size_t(size.QuadPart - m_offset) / sizeof(wchar_t), L'\0');
    DWORD read = 0;
    if (!::SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN) ||
        !::ReadFile(file.get(), &text[0], DWORD(text.size() * sizeof(wchar_t)), &read, nullptr)) {
        return {};
    }
    text.resize(read / sizeof(wchar_t));
    const size_t end = text.rfind(L"\r\n");
    if (end == std::wstring::npos) return {};
    m_offset += LONGLONG((end + 2) * sizeof(wchar_t));
    return firmware::ParseCallRecords(text);
}

double LocalMilliseconds()
{
    FILETIME utc = {};
    FILETIME local = {};
    ::GetSystemTimePreciseAsFileTime(&utc);
    ::FileTimeToLocalFileTime(&utc, &local);
    return Ticks(local) / 1e4;
}

double StampMilliseconds(const std::wstring& stamp)
{
    SYSTEMTIME time = {};
    const int fields = swscanf(stamp.c_str(), L"%hu-%hu-%hu %hu:%hu:%hu.%hu", &time.wYear, &time.wMonth, &time.wDay,
                               &time.wHour, &time.wMinute, &time.wSecond, &time.wMilliseconds);
    FILETIME local = {};
    if (fields != 7 || !::SystemTimeToFileTime(&time, &local)) return -1;
    return Ticks(local) / 1e4 + 0.5;
}

namespace {

std::wstring ArrivalStampPath(bool makeFolder)
{
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring folder = std::wstring(windows) + L"\\temp\\osmira-bench";
    if (makeFolder) ::CreateDirectoryW(folder.c_str(), nullptr);
    return folder + L"\\arrival-stamp.txt";
}

} // namespace

// The clock is read first, so that the file's cost stays out of the stamp, as the stand-in's record does.
void WriteArrivalStamp()
{
    SYSTEMTIME now = {};
    ::GetLocalTime(&now);
    wchar_t stamp[40] = {};
    _snwprintf(stamp, 39, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay, now.wHour,
               now.wMinute, now.wSecond, now.wMilliseconds);
    const win::UniqueHandle file(::CreateFileW(ArrivalStampPath(true).c_str(), GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0,
                                               nullptr));
    DWORD written = 0;
    if (file) ::WriteFile(file.get(), stamp, DWORD(wcslen(stamp) * sizeof(wchar_t)), &written, nullptr);
}

double ReadArrivalStamp()
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const win::UniqueHandle file(::CreateFileW(ArrivalStampPath(false).c_str(), GENERIC_READ, share, nullptr,
                                               OPEN_EXISTING, 0, nullptr));
    wchar_t stamp[40] = {};
    DWORD read = 0;
    if (!file || !::ReadFile(file.get(), stamp, sizeof(stamp) - sizeof(wchar_t), &read, nullptr)) return -1;
    return StampMilliseconds(stamp);
}
