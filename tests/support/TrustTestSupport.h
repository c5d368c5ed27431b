// Helpers of the trust tests: where the build put the signed library and its fixtures, an
// independent in-memory model of the PE digest, byte edits of PE files, and the probe program.
#pragma once

#include "support/TestSupport.h"
#include "win/Owners.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace trusttest {

std::wstring PackageFilePath(const std::wstring& name);      // a file of the package folder
std::wstring PackageLibraryPath();                          // the shipped, signed library
std::wstring FixtureLibraryPath(const std::wstring& kind);  // "unsigned", "resigned", "planted"
std::wstring ProbePath();                                   // the signed probe program
std::wstring FixtureProbePath(const std::wstring& name);    // "unsigned.exe", "other-signer.exe"

uint32_t LoadU32(const std::vector<unsigned char>& bytes, uint64_t offset);
void StoreU32(std::vector<unsigned char>& bytes, uint64_t offset, uint32_t value);
uint32_t PeHeaderOffset(const std::vector<unsigned char>& bytes);

std::wstring Sha256Hex(const std::vector<unsigned char>& bytes);

// The digest as a reader of the file format would state it, over the whole file in memory:
// SHA-256 of every byte except the checksum field, the certificate directory entry and, when
// its size is positive as a signed value, the certificate table; empty when the file ends
// before the end of the headers that are read.
std::wstring ModelDigest(const std::vector<unsigned char>& file);

// Starts the probe (or any program) with a current directory and, optionally, a folder put in
// front of PATH and the planted library's load record file. Returns the process or null.
win::UniqueHandle StartProgram(const std::wstring& commandLine, const std::wstring& currentDirectory,
                               const std::wstring& pathFolder = L"", const std::wstring& loadMarker = L"");
// Runs it to its end; the exit code, or 0xFFFFFFFF when it could not start or outlived the timeout.
DWORD RunProgram(const std::wstring& commandLine, const std::wstring& currentDirectory,
                 const std::wstring& pathFolder = L"", const std::wstring& loadMarker = L"",
                 DWORD timeoutMs = 60000);

// WinVerifyTrust's raw answer for a file's embedded signature, asked as the service asks.
LONG VerifyTrustResult(const std::wstring& path);

// Makes the programs with one file name see another Windows version (Wine's per-program
// setting in HKCU); the setting is removed again when the guard ends.
class ProgramVersionGuard {
public:
    ProgramVersionGuard(std::wstring fileName, const std::wstring& version);
    ~ProgramVersionGuard();
    ProgramVersionGuard(const ProgramVersionGuard&) = delete;
    ProgramVersionGuard& operator=(const ProgramVersionGuard&) = delete;

private:
    std::wstring m_subKey;
};

std::vector<std::string> ReadTextLines(const std::wstring& path);
std::wstring Quote(const std::wstring& text);
bool SamePath(const std::wstring& a, const std::wstring& b);

} // namespace trusttest
