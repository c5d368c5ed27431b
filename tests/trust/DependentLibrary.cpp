// A validation library that needs one more library of its own, OsmiraValidationPolicy.dll, which
// lies nowhere the loader may look: the trust tests plant a copy of the impostor under that name
// in the current folder and check that it is never loaded.
#include <windows.h>

extern "C" __declspec(dllimport) BOOL WINAPI IsCatalogSigned(LPCWSTR filePath);

extern "C" __declspec(dllexport) LONG WINAPI ValidateAssembly(LPCWSTR path) { return IsCatalogSigned(path) ? 0 : 1; }
