// What the benchmarks read of the prefix around the service: its companions, the firmware
// stand-in's records, and the service's logging switch.
#pragma once

#include "BenchClock.h"
#include "FirmwareStandIn.h"
#include "process/ProcessToolkit.h"
#include "win/Owners.h"

inline bool BothCompanionsRun()
{
    return !FindRunningProcess(L"FnKeyAgent.exe").empty() && !FindRunningProcess(L"FnKeyLockOsd.exe").empty();
}

// Polls until the firmware stand-in has recorded at least `count` calls.
inline bool WaitForFirmwareCalls(size_t count, double limit = 10)
{
    return WaitFor([&] { return firmware::ReadCallRecords().size() >= count; }, limit);
}

// Creates or removes the service's logging switch (HKLM\Software\Osmira\OsmiraUtility\log);
// returns whether it existed before.
inline bool SwitchServiceLogging(bool on)
{
    constexpr const wchar_t* kSwitch = L"Software\\Osmira\\OsmiraUtility\\log";
    win::UniqueRegKey key;
    const bool existed = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSwitch, 0, KEY_READ, key.put()) == ERROR_SUCCESS;
    key.reset();
    if (on && !existed) {
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSwitch, 0, nullptr, 0, KEY_READ, nullptr, key.put(), nullptr);
    } else if (!on && existed) {
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, kSwitch);
    }
    return existed;
}
