// The registry operations the service is built on. Each works in the native registry view,
// opens what it needs, does one thing and closes it again. Results are 1/0 truth values; on
// failure the last-error value carries the registry's error code for the caller's log line.
#pragma once

#include "win/Owners.h"

#include <windows.h>
#include <mutex>
#include <string>
#include <vector>

// Holds at most one open key under HKEY_LOCAL_MACHINE and closes it when destroyed.
class ZRegistry {
public:
    ZRegistry() = default;
    virtual ~ZRegistry() = default;
    ZRegistry(const ZRegistry&) = delete;
    ZRegistry& operator=(const ZRegistry&) = delete;

    // Creates or opens the key for reading and writing, falling back to a read-only handle
    // when writing is refused. Closes any key held before. 1 when a key is held afterwards.
    BOOL CreateKey(const wchar_t* subKey);

    HKEY Key() const { return m_key.get(); }

private:
    win::UniqueRegKey m_key;
};

// Reads one value of the PexaroToast key into the caller's buffer, which is zeroed first over
// the size given. Returns the Win32 error code (0 when read). The value's type is not checked.
LONG QueryToastRegValue(const wchar_t* name, void* data, DWORD* size);

// 1 when the key exists afterwards (opened, or created with full access).
BOOL OpenOrCreateRegKey(HKEY root, const wchar_t* subKey);

// Writes a REG_DWORD into an existing key; never creates the key.
BOOL SetRegDwordValue(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD value);

// Reads a value of at most 4 bytes under HKEY_LOCAL_MACHINE; the type is not checked.
BOOL ReadRegDwordValue(const wchar_t* subKey, const wchar_t* name, DWORD* value);

// The write of every numeric setting: into the existing key, or, when that fails, once more
// after opening or creating the key.
BOOL TrySetRegKeyValueInt(HKEY root, const wchar_t* subKey, const wchar_t* name, DWORD value);

// Deletes a key with everything below it, children first. A missing key counts as deleted.
BOOL DeleteRegKeyTree(HKEY root, const wchar_t* subKey);

// The names of the direct subkeys of an open key, in enumeration order. The key stays open.
std::vector<std::wstring> GetSubKeys(HKEY key);

// Serialises the numeric setting writes of the control handler against the install-time
// defaults, whose "write only when missing" is a read followed by a write: without it a
// setting written between the two would be overwritten by its default.
std::mutex& SettingsWriteLock();
