# The firmware stand-in, in the test's own process and as the DLL registered in the build's
# prefix (a fixture registers it there first).
add_test(NAME firmware_register COMMAND ${CMAKE_COMMAND} -E env BUILD_DIR=${CMAKE_BINARY_DIR}
         ${CMAKE_SOURCE_DIR}/scripts/register-firmware ${FN_WINE_PREFIX})
set_tests_properties(firmware_register PROPERTIES FIXTURES_SETUP firmware_registered LABELS unit
                     RESOURCE_LOCK build_prefix)
add_executable(firmware_test firmware_test.cpp)
target_link_libraries(firmware_test PRIVATE fn_firmware_standin fn_win fn_test_support GTest::gtest_main)
add_dependencies(firmware_test firmware_standin)
gtest_discover_tests(firmware_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 NO_PRETTY_VALUES
                     PROPERTIES LABELS unit FIXTURES_REQUIRED firmware_registered RESOURCE_LOCK build_prefix)
