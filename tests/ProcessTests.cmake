# The process toolkit and the launch ways against the companion stand-ins, which the tests start.
add_library(fn_standin_support STATIC support/StandIns.cpp support/StandIns.h)
target_link_libraries(fn_standin_support PUBLIC fn_test_support)
foreach(test process_toolkit_test session_launch_test)
  fn_add_unit_test(${test} SOURCES ${test}.cpp LIBS fn_process fn_standin_support fn_registry_test_support ntdll)
  add_dependencies(${test} FnKeyAgent FnKeyLockOsd keyapp)
endforeach()
