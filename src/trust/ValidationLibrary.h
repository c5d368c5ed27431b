// The process's one binding to the maker's validation library. The library beside the
// service's executable is loaded only after its signature is trusted and its digest equals
// the pinned one; once loaded it stays loaded for the life of the process.
#pragma once

#include <windows.h>

#include <atomic>

typedef LONG(WINAPI* ValidateAssemblyFn)(LPCWSTR executablePath);
typedef LONG(WINAPI* ValidateCertFileFn)(LPCWSTR certificatePath);
typedef BOOL(WINAPI* IsCatalogSignedFn)(LPCWSTR filePath);

struct OsmiraAssemblyValidation {
    ValidateAssemblyFn ValidateAssembly = nullptr;
    ValidateCertFileFn ValidateCertFile = nullptr;
    IsCatalogSignedFn IsCatalogSigned = nullptr;
    HMODULE module = nullptr; // never cleared, never freed once set
};

constexpr wchar_t kValidationLibraryFileName[] = L"Osmira.AssemblyValidation.Native.dll";

// The digest of the approved library, 64 upper-case hexadecimal characters.
const wchar_t* PinnedValidationLibraryDigest();

// The process's binding, created on first use; every call first tries to load the library
// again while it is not loaded, so that a library put in place later is picked up.
OsmiraAssemblyValidation* GetValidationLibrary();

// Loads the library from the directory of the running executable, approved against the
// pinned digest. TRUE when the library is loaded, now or before.
BOOL LoadValidationLibrary(OsmiraAssemblyValidation* binding);

// The same with the directory (with or without a trailing backslash) and the approved digest
// given; the loader above is this with the service's own values.
BOOL LoadValidationLibraryFrom(OsmiraAssemblyValidation* binding, const wchar_t* directory,
                               const wchar_t* approvedDigest);

// Called, when set, after the library file has passed its checks and before it is loaded, with
// the file's full path: for a program that must see the moment between the two.
using ValidationLibraryCheckedHook = void (*)(const wchar_t* libraryPath);
extern std::atomic<ValidationLibraryCheckedHook> g_validationLibraryChecked;
