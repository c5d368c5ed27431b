# The log writer, the settings registry and the control sender.
fn_add_unit_test(log_test SOURCES log_test.cpp LIBS fn_log)
# The log reads its version from the running program's resource.
fn_add_version_resource(log_test "Log writer tests" "log_test.exe")
target_compile_definitions(log_test PRIVATE TEST_EXPECTED_VERSION=L\"${PROJECT_VERSION}\")

add_library(fn_registry_test_support STATIC support/RegistryTestSupport.cpp support/RegistryTestSupport.h)
target_link_libraries(fn_registry_test_support PUBLIC fn_test_support fn_registry)
fn_add_unit_test(registry_test SOURCES registry_test.cpp LIBS fn_registry_test_support fn_registry)
fn_add_unit_test(install_defaults_test SOURCES install_defaults_test.cpp LIBS fn_registry_test_support fn_service)
# The setting rows' records begin with the code's name as fnkeyctl lists it.
fn_add_unit_test(setting_controls_test SOURCES setting_controls_test.cpp LIBS fn_registry_test_support fn_service fn_fnkeyctl_args)
fn_add_unit_test(fnkeyctl_test SOURCES fnkeyctl_test.cpp LIBS fn_fnkeyctl_args)
target_compile_definitions(fnkeyctl_test PRIVATE FNKEYCTL_PATH="$<TARGET_FILE:fnkeyctl>")
add_dependencies(fnkeyctl_test fnkeyctl)
