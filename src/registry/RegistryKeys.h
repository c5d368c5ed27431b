// Where the package keeps its settings: every key path is relative to HKEY_LOCAL_MACHINE.
#pragma once

namespace regkeys {

inline constexpr const wchar_t* kServiceKey = L"SYSTEM\\CurrentControlSet\\Services\\OsmiraFnAndFunctionKeys";
inline constexpr const wchar_t* kToastKey =
    L"SYSTEM\\CurrentControlSet\\Services\\OsmiraFnAndFunctionKeys\\PexaroToast";
inline constexpr const wchar_t* kOsdKey =
    L"SYSTEM\\CurrentControlSet\\Services\\OsmiraFnAndFunctionKeys\\ControlShowOSD";
inline constexpr const wchar_t* kCapabilityKey =
    L"SYSTEM\\CurrentControlSet\\Services\\OsmiraFnAndFunctionKeys\\Capbility";
inline constexpr const wchar_t* kHotkeyKey = L"SOFTWARE\\Osmira\\OsmiraFnHotkey";
inline constexpr const wchar_t* kKeyboardListKey = L"SOFTWARE\\Osmira\\OsmiraFnHotkey\\HIDKBMicMuteLED";

// Values of the service key and its setting keys.
inline constexpr const wchar_t* kFailureActions = L"FailureActions";
inline constexpr const wchar_t* kShowCapslkOsd = L"ShowCapslkOSD";
inline constexpr const wchar_t* kShowNumlkOsd = L"ShowNumlkOSD";
inline constexpr const wchar_t* kCountTimesPopToast = L"CountTimesPopToastCapsNumlkOSD";
inline constexpr const wchar_t* kNeverPopToast = L"NeverPopToast";
inline constexpr const wchar_t* kPopToast = L"PopToastCapsNumlkOSD";
inline constexpr const wchar_t* kShowCapsNumlkOsd = L"ShowCapsNumlkOSD";
inline constexpr const wchar_t* kIsUserChangedCapsNumLk = L"IsUserChangedCapsNumLKStatus";
inline constexpr const wchar_t* kIsGameMachine = L"IsGameMachine";
inline constexpr const wchar_t* kGameMachineVersion = L"GameMachineVesion";
inline constexpr const wchar_t* kOcrSnippingKey = L"OcrSnippingKey";

} // namespace regkeys
