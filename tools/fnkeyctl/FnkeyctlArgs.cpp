#include "FnkeyctlArgs.h"

#include "log/ConsolePrint.h"
#include "service/ControlCodes.h"

#include <cwchar>

namespace fnkeyctl {

const std::vector<ControlName>& KnownControls()
{
    static const std::vector<ControlName> controls = {
        {L"stop", SERVICE_CONTROL_STOP, L"SERVICE_CONTROL_STOP"},
        {L"interrogate", SERVICE_CONTROL_INTERROGATE, L"SERVICE_CONTROL_INTERROGATE"},
        {L"metrics-on", SVC_CTL_SEND_UI_METRICS_ON_VER, L"SVC_CTL_SEND_UI_METRICS_ON_VER"},
        {L"metrics-off", SVC_CTL_SEND_UI_METRICS_OFF_VER, L"SVC_CTL_SEND_UI_METRICS_OFF_VER"},
        {L"capslock-on", SVC_CTL_SEND_UI_CAPSLOCK_ON, L"SVC_CTL_SEND_UI_CAPSLOCK_ON"},
        {L"capslock-off", SVC_CTL_SEND_UI_CAPSLOCK_OFF, L"SVC_CTL_SEND_UI_CAPSLOCK_OFF"},
        {L"pexaro-toast-success", SVC_CTL_PEXARO_POP_TOAST_SUCCESS, L"SVC_CTL_PEXARO_POP_TOAST_SUCCESS"},
        {L"pexaro-never-toast", SVC_CTL_PEXARO_NEVER_POP_TOAST, L"SVC_CTL_PEXARO_NEVER_POP_TOAST"},
        {L"pexaro-capslock-on", SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON, L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_ON"},
        {L"pexaro-capslock-off", SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF, L"SVC_CTL_PEXARO_UI_SEND_CAPSLOCK_OFF"},
        {L"pexaro-numlock-on", SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON, L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_ON"},
        {L"pexaro-numlock-off", SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF, L"SVC_CTL_PEXARO_UI_SEND_NUMSLOCK_OFF"},
        {L"pexaro-trigger-toast", SVC_CTL_TRIGER_PEXARO_POP_TOAST, L"SVC_CTL_TRIGER_PEXARO_POP_TOAST"},
        {L"bluetooth-kb-connect", SVC_CTL_BLUE_KB_CONNECT, L"SVC_CTL_BLUE_KB_CONNECT"},
        {L"speaker-led-on", SVC_CTL_SPEAKER_LED_ON, L"SVC_CTL_SPEAKER_LED_ON"},
        {L"speaker-led-off", SVC_CTL_SPEAKER_LED_OFF, L"SVC_CTL_SPEAKER_LED_OFF"},
        {L"ocr-prc", SVC_CTL_OCR_CAPABILITY_PRC, L"SVC_CTL_OCR_CAPABILITY_PRC"},
        {L"ocr-row", SVC_CTL_OCR_CAPABILITY_ROW, L"SVC_CTL_OCR_CAPABILITY_ROW"},
        {L"screen-snipping", SVC_CTL_SCREEN_SNIPPING, L"SVC_CTL_SCREEN_SNIPPING"},
        {L"micmute-on", SVC_CTL_MICMUTE_LED_ON, L"SVC_CTL_MICMUTE_LED_ON"},
        {L"micmute-off", SVC_CTL_MICMUTE_LED_OFF, L"SVC_CTL_MICMUTE_LED_OFF"},
        {L"airplane-switch", SVC_CTL_AIRPLANE_SWITCH, L"SVC_CTL_AIRPLANE_SWITCH"},
        {L"touchpad-switch", SVC_CTL_TOUCHPAD_CONTROL, L"SVC_CTL_TOUCHPAD_CONTROL"},
        {L"teams-call", SVC_CTL_VOIPCONTRL_TEAMS_CALL, L"SVC_CTL_VOIPCONTRL_TEAMS_CALL"},
        {L"teams-end", SVC_CTL_VOIPCONTRL_TEAMS_END, L"SVC_CTL_VOIPCONTRL_TEAMS_END"},
        {L"smart-connect", SVC_CTL_CALL_SMART_CONNECT, L"SVC_CTL_CALL_SMART_CONNECT"},
        {L"keyboard-layout", SVC_CTL_SET_KEYBOARD_LAYOUT, L"SVC_CTL_SET_KEYBOARD_LAYOUT"},
    };
    return controls;
}

const ControlName* FindControl(DWORD code)
{
    for (const ControlName& control : KnownControls()) {
        if (control.code == code) return &control;
    }
    return nullptr;
}

namespace {

// A decimal number of at most three digits and no sign, blank or other character.
bool ParseCode(const std::wstring& text, DWORD& code)
{
    if (text.empty() || text.size() > 3) return false;
    DWORD value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<DWORD>(c - L'0');
    }
    if (value > 255) return false;
    code = value;
    return true;
}

Arguments Refuse(Arguments args, const std::wstring& why)
{
    args.action = Action::Usage;
    args.error = why;
    return args;
}

} // namespace

Arguments ParseArguments(const std::vector<std::wstring>& args)
{
    Arguments result;
    bool haveCode = false;
    Action command = Action::Send; // Status, or LogOn for "log" until its on or off is read
    bool haveLogState = false, logOn = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg == L"--list") {
            result.action = Action::List;
            continue;
        }
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            result.action = Action::Help;
            return result;
        }
        if (arg == L"--service") {
            if (i + 1 >= args.size() || args[i + 1].empty()) return Refuse(result, L"--service needs a service name");
            result.serviceName = args[++i];
            continue;
        }
        if (!arg.empty() && arg[0] == L'-') return Refuse(result, L"unknown option: " + arg);
        if (command == Action::Status) return Refuse(result, L"status takes no further argument: " + arg);
        if (command == Action::LogOn) { // "log", waiting for its on or off
            if (haveLogState) return Refuse(result, L"log takes one word, on or off: " + arg);
            if (_wcsicmp(arg.c_str(), L"on") != 0 && _wcsicmp(arg.c_str(), L"off") != 0) {
                return Refuse(result, L"log takes on or off, not: " + arg);
            }
            logOn = _wcsicmp(arg.c_str(), L"on") == 0;
            haveLogState = true;
            continue;
        }
        if (!haveCode && (_wcsicmp(arg.c_str(), L"status") == 0 || _wcsicmp(arg.c_str(), L"log") == 0)) {
            command = _wcsicmp(arg.c_str(), L"status") == 0 ? Action::Status : Action::LogOn;
            continue;
        }
        if (haveCode) return Refuse(result, L"more than one control code: " + arg);

        DWORD code = 0;
        if (!arg.empty() && arg[0] >= L'0' && arg[0] <= L'9') {
            if (!ParseCode(arg, code)) return Refuse(result, L"not a control code from 0 to 255: " + arg);
        } else {
            const ControlName* found = nullptr;
            for (const ControlName& control : KnownControls()) {
                if (_wcsicmp(arg.c_str(), control.name) == 0 || _wcsicmp(arg.c_str(), control.enumName) == 0) {
                    found = &control;
                    break;
                }
            }
            if (found == nullptr) return Refuse(result, L"unknown control name: " + arg);
            code = found->code;
        }
        result.code = code;
        haveCode = true;
    }
    if (result.action == Action::List) {
        if (haveCode) return Refuse(result, L"--list takes no control code");
        if (command != Action::Send) return Refuse(result, L"--list takes no command");
        return result;
    }
    if (command == Action::LogOn && !haveLogState) return Refuse(result, L"log needs on or off");
    if (command != Action::Send) {
        result.action = command == Action::Status ? Action::Status : logOn ? Action::LogOn : Action::LogOff;
        return result;
    }
    if (!haveCode) return Refuse(result, L"no control code given");
    result.action = Action::Send;
    return result;
}

std::wstring UsageText()
{
    return L"Usage: fnkeyctl [--service NAME] CODE\n"
           L"       fnkeyctl [--service NAME] status\n"
           L"       fnkeyctl log on|off\n"
           L"       fnkeyctl --list\n"
           L"Sends one control code to the service (default service: OsmiraUtilityService)\n"
           L"with ControlService and prints what the service control manager answered.\n"
           L"CODE is a name from --list (e.g. micmute-on, capslock-on, pexaro-capslock-on,\n"
           L"ocr-prc), its SVC_CTL_ name, or a number from 0 to 255.\n"
           L"Shutdown (5) and session changes (14) come only from the system: the manager\n"
           L"refuses them, and fnkeyctl prints that answer.\n"
           L"status prints the service's state, its logging and last log records, the running\n"
           L"companions, the stored settings and the registered keyboards; it changes nothing.\n"
           L"log on|off creates or deletes the logging switch key\n"
           L"HKLM\\Software\\Osmira\\OsmiraUtility\\log.\n"
           L"Exit status: 0 sent (or done), 1 refused by the service control manager (or the\n"
           L"registry), 2 bad arguments.\n";
}

std::wstring ListText()
{
    std::wstring text = L"Code  Name                  Control\n";
    for (const ControlName& control : KnownControls()) {
        text += Format(L"%4u  %-20s  %s\n", static_cast<unsigned>(control.code), control.name, control.enumName);
    }
    return text;
}

} // namespace fnkeyctl
