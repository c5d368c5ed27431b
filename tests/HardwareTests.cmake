# The product information against the firmware stand-in registered in the build's prefix (a
# fixture registers it there first), and the settings the service makes of it.
add_test(NAME firmware_register COMMAND ${CMAKE_COMMAND} -E env BUILD_DIR=${CMAKE_BINARY_DIR}
         ${CMAKE_SOURCE_DIR}/scripts/register-firmware ${FN_WINE_PREFIX})
set_tests_properties(firmware_register PROPERTIES FIXTURES_SETUP firmware_registered LABELS unit
                     RESOURCE_LOCK build_prefix)
add_executable(product_info_test product_info_test.cpp)
target_link_libraries(product_info_test PRIVATE fn_service fn_test_support GTest::gtest_main)
add_dependencies(product_info_test firmware_standin)
gtest_discover_tests(product_info_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS unit FIXTURES_REQUIRED firmware_registered RESOURCE_LOCK build_prefix)
