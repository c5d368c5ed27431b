# The product information read from the firmware stand-in registered in the build's prefix.
add_executable(product_info_test product_info_test.cpp)
target_link_libraries(product_info_test PRIVATE fn_hardware fn_firmware_standin fn_test_support GTest::gtest_main)
add_dependencies(product_info_test firmware_standin)
gtest_discover_tests(product_info_test DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES LABELS unit FIXTURES_REQUIRED firmware_registered RESOURCE_LOCK build_prefix)
