# The service framework, the utility service, the process toolkit and the launch ways.
# The companion stand-ins as the tests meet them; the tests that start them need them built.
add_library(fn_standin_support STATIC support/StandIns.cpp support/StandIns.h)
target_link_libraries(fn_standin_support PUBLIC fn_test_support)
fn_add_unit_test(process_toolkit_test SOURCES process_toolkit_test.cpp LIBS fn_process fn_standin_support)
add_dependencies(process_toolkit_test FnKeyAgent FnKeyLockOsd keyapp)

# A service on the framework whose hooks record, wait and throw as a test asks.
add_executable(FrameworkProbeService FrameworkProbeService.cpp)
target_link_libraries(FrameworkProbeService PRIVATE fn_service)
target_link_options(FrameworkProbeService PRIVATE -municode)
fn_add_unit_test(service_framework_test SOURCES service_framework_test.cpp LIBS fn_service)
add_dependencies(service_framework_test FrameworkProbeService)

# The launch ways from a service context: the probe service and the tests that drive it.
add_executable(LaunchProbeService LaunchProbeService.cpp LaunchProbe.h)
target_link_libraries(LaunchProbeService PRIVATE fn_process fn_service)
target_link_options(LaunchProbeService PRIVATE -municode)
fn_add_unit_test(session_launch_test SOURCES session_launch_test.cpp LIBS fn_process fn_standin_support)
add_dependencies(session_launch_test LaunchProbeService FnKeyAgent FnKeyLockOsd keyapp)

fn_add_unit_test(utility_service_test SOURCES utility_service_test.cpp LIBS fn_service)

# The stop control's kills of the companions.
fn_add_unit_test(stop_control_test SOURCES stop_control_test.cpp LIBS fn_service fn_standin_support)
add_dependencies(stop_control_test FnKeyAgent FnKeyLockOsd keyapp)
