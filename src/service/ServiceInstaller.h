// "-install" and "-remove": register the running executable with the service control
// manager and take it out again, reporting on standard output.
#pragma once

void InstallService();
void UninstallService();
