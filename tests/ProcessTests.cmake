# The process toolkit, the companion stand-ins and the launch ways from a service context.
# The companion stand-ins as the tests meet them; the tests that start them need them built.
add_library(fn_standin_support STATIC support/StandIns.cpp support/StandIns.h)
target_link_libraries(fn_standin_support PUBLIC fn_test_support)
fn_add_unit_test(process_toolkit_test SOURCES process_toolkit_test.cpp LIBS fn_process fn_standin_support)
add_dependencies(process_toolkit_test FnKeyAgent FnKeyLockOsd keyapp)

# The launch ways from a service context: the probe service and the tests that drive it.
add_executable(LaunchProbeService LaunchProbeService.cpp LaunchProbe.h)
target_link_libraries(LaunchProbeService PRIVATE fn_process fn_service)
target_link_options(LaunchProbeService PRIVATE -municode)
fn_add_unit_test(session_launch_test SOURCES session_launch_test.cpp LIBS fn_process fn_standin_support)
add_dependencies(session_launch_test LaunchProbeService FnKeyAgent FnKeyLockOsd keyapp)
