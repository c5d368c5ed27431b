# The log writer and the settings registry. The log reads its version from the program's resource.
fn_add_unit_test(log_test SOURCES log_test.cpp LIBS fn_log)
fn_add_version_resource(log_test "Log writer tests" "log_test.exe")
target_compile_definitions(log_test PRIVATE TEST_EXPECTED_VERSION=L\"${PROJECT_VERSION}\")
fn_add_unit_test(registry_test SOURCES registry_test.cpp LIBS fn_registry)
fn_add_unit_test(install_defaults_test SOURCES install_defaults_test.cpp LIBS fn_service)
fn_add_unit_test(setting_controls_test SOURCES setting_controls_test.cpp LIBS fn_service)
