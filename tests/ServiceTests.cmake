# The service framework, through a probe service on it, and the utility service.
add_executable(FrameworkProbeService FrameworkProbeService.cpp)
target_link_libraries(FrameworkProbeService PRIVATE fn_service)
target_link_options(FrameworkProbeService PRIVATE -municode)
fn_add_unit_test(service_framework_test SOURCES service_framework_test.cpp LIBS fn_service)
add_dependencies(service_framework_test FrameworkProbeService)
fn_add_unit_test(utility_service_test SOURCES utility_service_test.cpp support/FastServiceWaits.cpp LIBS fn_service)
add_dependencies(utility_service_test FnKeyAgent FnKeyLockOsd keyapp)
