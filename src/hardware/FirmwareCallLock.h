// Two threads that set up COM or activate the WMI locator at the same moment have been seen to
// deadlock Wine's loader. That, and only that, is what this lock covers: never a method call or
// an enumeration, so that a firmware that never answers holds no one but its own caller.
#pragma once

#include <windows.h>

#include <mutex>

inline std::mutex& FirmwareCallLock()
{
    static std::mutex lock;
    return lock;
}

// How long an instance enumeration of the firmware's classes may take before it counts as missed.
constexpr LONG kFirmwareEnumerationMs = 5000;
