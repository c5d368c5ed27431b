// The verdicts of the validation library stand-in. 0 lets the service start the file; the
// service itself answers 6 when the library is not available, so the library never uses 6.
#pragma once

enum ValidationCode : long {
    kValidationAccepted = 0,
    kValidationNoPath = 1,          // null or empty path
    kValidationNotSigned = 2,       // the file carries no signature
    kValidationNotTrusted = 3,      // signature present but not trusted (changed file, untrusted root, ...)
    kValidationNoSigner = 4,        // trusted, but the signer certificate could not be read
    kValidationWrongSigner = 5,     // trusted, but not signed by the package's signer
    kValidationNotACertificate = 7, // ValidateCertFile: the file holds no certificate
};

// For the tests: a REG_DWORD under HKLM that makes every check take that many milliseconds, standing in for a file
// that another party holds open (which cannot be played under Wine). Read at every call.
constexpr const wchar_t* kValidationBehaviourKey = L"Software\\OsmiraValidationStandIn";
constexpr const wchar_t* kCheckMilliseconds = L"CheckMilliseconds";
