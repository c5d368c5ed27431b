# The process toolkit and the launch ways against the companion stand-ins, which the tests start.
foreach(test process_toolkit_test session_launch_test)
  fn_add_unit_test(${test} SOURCES ${test}.cpp LIBS fn_process ntdll)
  add_dependencies(${test} FnKeyAgent FnKeyLockOsd keyapp)
endforeach()
