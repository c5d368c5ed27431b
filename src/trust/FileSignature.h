// The platform's verdict on a file's embedded Authenticode signature.
#pragma once

#include <windows.h>

// TRUE when the file carries a signature that the platform trusts. A chain that does not
// reach a trusted root is tolerated only on systems older than 6.2, whose root stores
// are often stale.
BOOL VerifyFileSignature(const wchar_t* path);
