// Starting a program in the session attached to the physical console, with the console
// user's own token or with the elevated token linked to it. The operations keep no state,
// start the program and return at once; they never wait for it.
#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

// Argument strings and command lines live in buffers of this many wide characters, the
// terminator included. A longer one is refused with a log line and starts nothing: the
// companions take one short switch, and cutting a longer text would start a program with
// a command line nobody asked for.
constexpr size_t kLaunchCommandLineChars = 260;

// Starts the program with the console user's own token, on the interactive desktop, with the
// user's own environment. An empty or null argument string passes no command line, so the
// platform builds one from the program path; otherwise the argument string is the whole
// command line. FALSE at once, without a log line, for a null program path.
BOOL CreateProcessInUserSession(const wchar_t* programPath, const wchar_t* arguments);

// Starts the program with the console user's linked (elevated) token, or with a duplicate of
// the user's own token when there is none; the user's token comes from the session, or from
// the user's "explorer.exe" when the session will not give it; the environment is
// ElevatedEnvironmentBlock's. The command line is passed as
// given, also when empty (null counts as empty). A non-zero show flag shows the program's
// first window, zero hides it.
BOOL CreateProcessInElevatedSession(const wchar_t* programPath, const wchar_t* commandLine, DWORD showWindow);

// The environment of an elevated start: the system's variables, with the user's profile folders and name
// (USERPROFILE, APPDATA, LOCALAPPDATA, TEMP, TMP, HOMEDRIVE, HOMEPATH, USERNAME) from the user's block over them;
// a block sorted by name, as the platform wants it.
std::vector<wchar_t> ElevatedEnvironmentBlock(const wchar_t* systemBlock, const wchar_t* userBlock);

// The elevated way first, the user's own token as the fallback (without a show state).
BOOL StartProcessElevated(const wchar_t* programPath, const wchar_t* commandLine, DWORD showWindow);

// The one process creation call of both launch ways: the platform's CreateProcessAsUserW, held
// where a program that must see every creation can put its own call in front of it.
using CreateProcessAsUserFunction = BOOL(WINAPI*)(HANDLE token, LPCWSTR applicationName, LPWSTR commandLine,
                                                  LPSECURITY_ATTRIBUTES processAttributes,
                                                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                                  DWORD creationFlags, LPVOID environment,
                                                  LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                                                  LPPROCESS_INFORMATION processInformation);
extern std::atomic<CreateProcessAsUserFunction> g_createProcessAsUser;

// The token calls of both launch ways, held in the same way, so that a program can play a user who has no linked
// token and whose token cannot be duplicated.
using DuplicateTokenExFunction = BOOL(WINAPI*)(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                                               SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE result);
using GetTokenInformationFunction = BOOL(WINAPI*)(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID information,
                                                  DWORD length, PDWORD returned);
extern std::atomic<DuplicateTokenExFunction> g_duplicateTokenEx;
extern std::atomic<GetTokenInformationFunction> g_getTokenInformation;
