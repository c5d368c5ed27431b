// Threads that nobody joins: started with the platform's plain creation, the handle closed at
// once.
#pragma once

#include "win/Owners.h"

namespace win {

// TRUE when the thread was created; otherwise FALSE with the creation's error as the last error.
inline BOOL StartDetachedThread(LPTHREAD_START_ROUTINE routine)
{
    return UniqueHandle(::CreateThread(nullptr, 0, routine, nullptr, 0, nullptr)) ? TRUE : FALSE;
}

} // namespace win
