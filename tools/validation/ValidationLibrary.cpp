// Osmira.AssemblyValidation.Native.dll as the tests and the demo ship it: a file may be started
// only when it carries a trusted Authenticode signature made with the package's own
// code-signing certificate.
#include "PackageSigner.h"
#include "ValidationCodes.h"

#include <windows.h>
// wincrypt.h first: the lean Windows headers leave it out, and the others build on it.
#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>
#include <mscat.h>

#include <cstring>

namespace {

bool IsPackageSigner(PCCERT_CONTEXT certificate)
{
    BYTE thumbprint[20];
    DWORD length = sizeof(thumbprint);
    if (!::CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, thumbprint, &length) ||
        length != sizeof(thumbprint)) {
        return false;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    char text[41];
    for (DWORD i = 0; i < length; ++i) {
        text[2 * i] = kDigits[thumbprint[i] >> 4];
        text[2 * i + 1] = kDigits[thumbprint[i] & 0x0F];
    }
    text[40] = '\0';
    return std::strcmp(text, FN_PACKAGE_SIGNER_THUMBPRINT) == 0;
}

} // namespace

extern "C" __declspec(dllexport) LONG WINAPI ValidateAssembly(LPCWSTR path)
{
    DWORD holdMilliseconds = 0;
    DWORD size = sizeof holdMilliseconds;
    if (::RegGetValueW(HKEY_LOCAL_MACHINE, kValidationBehaviourKey, kCheckMilliseconds, RRF_RT_REG_DWORD, nullptr,
                       &holdMilliseconds, &size) == ERROR_SUCCESS) {
        ::Sleep(holdMilliseconds);
    }
    if (path == nullptr || path[0] == L'\0') return kValidationNoPath;

    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path;
    WINTRUST_DATA trustData = {};
    trustData.cbStruct = sizeof(trustData);
    trustData.dwUIChoice = WTD_UI_NONE;
    trustData.fdwRevocationChecks = WTD_REVOKE_NONE;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = WTD_STATEACTION_VERIFY;
    trustData.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    const LONG trust = ::WinVerifyTrust(nullptr, &action, &trustData);
    LONG code = kValidationAccepted;
    if (trust == TRUST_E_NOSIGNATURE || trust == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        code = kValidationNotSigned;
    } else if (trust != 0) {
        code = kValidationNotTrusted;
    } else {
        CRYPT_PROVIDER_DATA* provider = ::WTHelperProvDataFromStateData(trustData.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? ::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr ||
            signer->pasCertChain[0].pCert == nullptr) {
            code = kValidationNoSigner;
        } else if (!IsPackageSigner(signer->pasCertChain[0].pCert)) {
            code = kValidationWrongSigner;
        }
    }
    trustData.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(nullptr, &action, &trustData);
    return code;
}

// Whether a certificate file (DER, PEM or a PKCS #7 bundle) holds the package's signer.
extern "C" __declspec(dllexport) LONG WINAPI ValidateCertFile(LPCWSTR certificatePath)
{
    if (certificatePath == nullptr || certificatePath[0] == L'\0') return kValidationNoPath;
    HCERTSTORE store = nullptr;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, certificatePath,
                            CERT_QUERY_CONTENT_FLAG_CERT | CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED |
                                CERT_QUERY_CONTENT_FLAG_SERIALIZED_CERT,
                            CERT_QUERY_FORMAT_FLAG_ALL, 0, nullptr, nullptr, nullptr, &store, nullptr, nullptr)) {
        return kValidationNotACertificate;
    }
    LONG code = kValidationWrongSigner;
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = ::CertEnumCertificatesInStore(store, certificate)) != nullptr) {
        if (IsPackageSigner(certificate)) {
            code = kValidationAccepted;
            ::CertFreeCertificateContext(certificate);
            break;
        }
    }
    ::CertCloseStore(store, 0);
    return code;
}

// TRUE when a catalog of the system lists the file's hash.
extern "C" __declspec(dllexport) BOOL WINAPI IsCatalogSigned(LPCWSTR filePath)
{
    if (filePath == nullptr || filePath[0] == L'\0') return FALSE;
    HANDLE file = ::CreateFileW(filePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    HCATADMIN admin = nullptr;
    BOOL listed = FALSE;
    if (::CryptCATAdminAcquireContext(&admin, nullptr, 0)) {
        BYTE hash[64];
        DWORD hashLength = sizeof(hash);
        if (::CryptCATAdminCalcHashFromFileHandle(file, &hashLength, hash, 0)) {
            HCATINFO catalog = ::CryptCATAdminEnumCatalogFromHash(admin, hash, hashLength, 0, nullptr);
            if (catalog != nullptr) {
                listed = TRUE;
                ::CryptCATAdminReleaseCatalogContext(admin, catalog, 0);
            }
        }
        ::CryptCATAdminReleaseContext(admin, 0);
    }
    ::CloseHandle(file);
    return listed;
}
