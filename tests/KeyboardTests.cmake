# The external keyboards' stand-in, attached in the test prefix and reached through SetupAPI and HID.
fn_add_unit_test(keyboards_test SOURCES keyboards_test.cpp LIBS fn_keyboard_standin)
target_compile_definitions(keyboards_test PRIVATE FN_TEST_KEYBOARD_DRIVER=L"Z:${FN_PACKAGE_DIR}/FnKbdStandIn.sys")
add_dependencies(keyboards_test FnKbdStandIn)
