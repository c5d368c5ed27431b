# The companions kept alive, in-process: the test program lies in a folder of its own with the
# stand-ins, an unsigned agent and the validation library beside it, as the service lies in
# the package folder.
set(FN_SUPERVISION_DIR ${CMAKE_BINARY_DIR}/tests/supervision)
fn_unsigned_copy(${FN_SUPERVISION_DIR}/unsigned/FnKeyAgent.exe FnKeyAgent)
add_custom_target(fn_supervision_fixtures DEPENDS ${FN_SUPERVISION_DIR}/unsigned/FnKeyAgent.exe)
fn_add_unit_test(supervision_test SOURCES supervision_test.cpp support/FastServiceWaits.cpp LIBS fn_service)
fn_package_like(supervision_test ${FN_SUPERVISION_DIR})
target_compile_definitions(supervision_test PRIVATE FN_TEST_UNSIGNED_REFUSAL=2)
add_dependencies(supervision_test fn_supervision_fixtures)
