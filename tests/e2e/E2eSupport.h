// Drives the installed service from outside, as a tester would: through the service
// control manager, its own command line, the tools beside it, the registry and its log.
// Each end-to-end program runs in a fresh prefix prepared by scripts/e2e, with the package
// folder installed under C:\Program Files\Osmira\FnKey and a keeper process alive.
#pragma once

#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>

namespace e2e {

std::wstring InstallFolder();
std::wstring ServiceExePath();

// Runs the service executable (or a tool of the install folder) with arguments and
// captures its standard output.
testsupport::ProcessResult RunServiceExe(const std::wstring& arguments);
testsupport::ProcessResult RunTool(const std::wstring& exeName, const std::wstring& arguments);

// "-install"; true when it printed "OsmiraUtilityService is installed.".
bool InstallService();
// Starts the service and waits until it reports RUNNING.
bool StartService(DWORD timeoutMs = 30000);
// Sends the stop control and waits until the service has stopped and its process ended.
bool StopService(DWORD timeoutMs = 30000);
// Stops the service if it runs and deletes its registration; quiet when it is not there.
void RemoveService();
bool IsServiceInstalled();

// ControlService with the code: 0 when the manager accepted it, else the Win32 error.
DWORD SendControl(DWORD code);
SERVICE_STATUS_PROCESS QueryStatus();
bool WaitForState(DWORD state, DWORD timeoutMs);

std::wstring ServiceLogPath();
// Deletes the log and its backups.
void ResetServiceLog();
std::vector<std::wstring> ServiceLogMessages();
// Waits until the log holds a record whose message equals the text.
bool WaitForLogMessage(const std::wstring& message, DWORD timeoutMs);
size_t CountLogMessages(const std::wstring& message);

// A test that starts with logging on, an empty log and no service installed, and leaves
// no service behind.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace e2e
