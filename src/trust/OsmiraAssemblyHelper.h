// The launch decision for one executable: asks the validation library and keeps the file
// open, shared for reading only, so it cannot be swapped before the launch is done.
#pragma once

#include "trust/ValidationLibrary.h"
#include "win/Owners.h"

#include <windows.h>

class COsmiraAssemblyHelper {
public:
    static constexpr LONG kOpenFailed = -1;
    static constexpr LONG kValidatorUnavailable = 6;

    // Validates with the process's binding.
    explicit COsmiraAssemblyHelper(const wchar_t* path);
    // Validates with the given binding as it stands, without loading anything.
    COsmiraAssemblyHelper(const wchar_t* path, const OsmiraAssemblyValidation& binding);
    ~COsmiraAssemblyHelper();

    COsmiraAssemblyHelper(const COsmiraAssemblyHelper&) = delete;
    COsmiraAssemblyHelper& operator=(const COsmiraAssemblyHelper&) = delete;

    // 0 when the file may be started; -1 when it could not be opened; 6 when the library is
    // not available; otherwise the library's own refusal code.
    LONG Code() const { return m_code; }

private:
    bool OpenFile(const wchar_t* path);
    void Validate(const wchar_t* path, const OsmiraAssemblyValidation* binding);

    win::UniqueHandle m_file;
    LONG m_code = kOpenFailed;
};
