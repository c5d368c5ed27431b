// "-install" and "-remove": register the running executable with the service control
// manager and take it out again, reporting on standard output.
#pragma once

// Who may do what with the installed service: the system's default for a new service without its grant to service
// logons, so that SYSTEM and Administrators keep every right, interactive users may query, interrogate and send
// the custom codes, and no service account or network logon may send a code.
constexpr const wchar_t* kServiceSecurity =
    L"D:(A;;CCLCSWRPWPDTLOCRRC;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLOCRRC;;;IU)";

void InstallService();
void UninstallService();
