// The command line of fnkeyctl, a sender of the service's control codes, kept apart from
// the sending so that it can be tested on its own.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace fnkeyctl {

struct ControlName {
    const wchar_t* name;     // the short name on the command line, e.g. "micmute-on"
    DWORD code;
    const wchar_t* enumName; // the name the service's log shows, e.g. "SVC_CTL_MICMUTE_LED_ON"
};

// Every code of the service's control table that can be sent with ControlService.
const std::vector<ControlName>& KnownControls();

// The entry for a code, or null when the code has no name.
const ControlName* FindControl(DWORD code);

enum class Action { Send, List, Help, Usage, Status, LogOn, LogOff };

struct Arguments {
    Action action = Action::Usage;
    DWORD code = 0;
    std::wstring serviceName = L"OsmiraUtilityService";
    std::wstring error; // why the command line was refused (Action::Usage)
};

// Reads "[--service NAME] CODE | [--service NAME] status | log on|off | --list | --help". CODE is
// a short name, an SVC_CTL_ name (either in any letter case) or a decimal number from 0 to 255.
Arguments ParseArguments(const std::vector<std::wstring>& args);

// The usage text and the --list table, as printed.
std::wstring UsageText();
std::wstring ListText();

} // namespace fnkeyctl
