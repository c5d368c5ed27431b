// The service's name under the service control manager.
#pragma once

constexpr wchar_t kServiceName[] = L"OsmiraUtilityService";
