#include "trust/FileSignature.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstddef>

namespace {

// CERT_E_CHAINING and TRUST_E_NOSIGNATURE, spelled out so the mapping reads as a table.
constexpr LONG kChainDoesNotReachRoot = static_cast<LONG>(0x800B010A);
constexpr LONG kNoSignature = static_cast<LONG>(0x800B0100);

// The trust record without the signature-settings field that newer SDKs append when they target
// Windows 8 or later: its size tells the platform which layout it gets, so the service passes the
// same 80-byte record whichever SDK builds it.
constexpr DWORD kTrustDataBytes = static_cast<DWORD>(offsetof(WINTRUST_DATA, dwUIContext) + sizeof(DWORD));
#ifdef _WIN64
static_assert(kTrustDataBytes == 80, "the x64 trust record is 80 bytes");
#endif

bool IsWindows8OrLater()
{
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 6;
    version.dwMinorVersion = 2;
    version.wServicePackMajor = 0;
    version.wServicePackMinor = 0;
    ULONGLONG mask = 0;
    mask = ::VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = ::VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

} // namespace

BOOL VerifyFileSignature(const wchar_t* path)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    fileInfo.hFile = nullptr;
    fileInfo.pgKnownSubject = nullptr;

    WINTRUST_DATA trustData = {};
    trustData.cbStruct = kTrustDataBytes;
    trustData.pPolicyCallbackData = nullptr;
    trustData.pSIPClientData = nullptr;
    trustData.dwUIChoice = WTD_UI_NONE;
    trustData.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = WTD_STATEACTION_VERIFY;
    trustData.hWVTStateData = nullptr;
    trustData.pwszURLReference = nullptr;
    // Revocation from the local cache only: the service must not wait on the network.
    trustData.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN | WTD_CACHE_ONLY_URL_RETRIEVAL;
    trustData.dwUIContext = 0;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(nullptr, &action, &trustData);

    BOOL trusted = FALSE;
    if (result == 0) {
        trusted = TRUE;
    } else if (result == kNoSignature) {
        trusted = FALSE;
    } else if (result == kChainDoesNotReachRoot) {
        trusted = IsWindows8OrLater() ? FALSE : TRUE;
    }

    trustData.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &trustData);
    return trusted;
}
