// Threads that nobody joins: started with the platform's plain creation, the handle closed at
// once.
#pragma once

#include "win/Owners.h"

namespace win {

// TRUE when the thread was created; otherwise FALSE with the creation's error as the last error.
// The parameter must outlive the thread.
inline BOOL StartDetachedThread(LPTHREAD_START_ROUTINE routine, LPVOID parameter = nullptr)
{
    return UniqueHandle(::CreateThread(nullptr, 0, routine, parameter, 0, nullptr)) ? TRUE : FALSE;
}

} // namespace win
