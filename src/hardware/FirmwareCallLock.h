// Every conversation with the firmware's WMI provider, from any thread, is held under this one
// lock: the providers are not built for concurrent callers, and concurrent COM set-up of two
// threads has been seen to deadlock the loader.
#pragma once

#include <mutex>

inline std::mutex& FirmwareCallLock()
{
    static std::mutex lock;
    return lock;
}
