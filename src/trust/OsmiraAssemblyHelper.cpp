#include "trust/OsmiraAssemblyHelper.h"

#include "log/UtilityLog.h"

COsmiraAssemblyHelper::COsmiraAssemblyHelper(const wchar_t* path)
{
    if (!OpenFile(path)) return;
    Validate(path, GetValidationLibrary());
}

COsmiraAssemblyHelper::COsmiraAssemblyHelper(const wchar_t* path, const OsmiraAssemblyValidation& binding)
{
    if (!OpenFile(path)) return;
    Validate(path, &binding);
}

COsmiraAssemblyHelper::~COsmiraAssemblyHelper()
{
    m_code = kOpenFailed;
    m_file.reset();
}

bool COsmiraAssemblyHelper::OpenFile(const wchar_t* path)
{
    const wchar_t* name = path != nullptr ? path : L"";
    // Shared for reading only: no other process may write or delete the file while it is judged
    // and started.
    m_file.reset(::CreateFileW(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
    if (!m_file) {
        const DWORD error = ::GetLastError();
        WriteLog(L"COsmiraAssemblyHelper CreateFileW name:%s, failed code:%d", name, static_cast<int>(error));
        return false;
    }
    return true;
}

void COsmiraAssemblyHelper::Validate(const wchar_t* path, const OsmiraAssemblyValidation* binding)
{
    if (binding == nullptr || binding->ValidateAssembly == nullptr) {
        m_code = kValidatorUnavailable;
    } else {
        m_code = binding->ValidateAssembly(path);
    }
    if (m_code != 0) {
        WriteLog(L"COsmiraAssemblyHelper OsmiraAssemblyValidation::ValidateAssembly name:%s, code:%d", path,
                 static_cast<int>(m_code));
    }
}
