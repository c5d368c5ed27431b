# Owners of system resources, and the validation library held from its check to its load.
fn_add_unit_test(owners_test SOURCES owners_test.cpp LIBS fn_trust)
target_compile_definitions(owners_test PRIVATE
  FN_TEST_PACKAGE_LIBRARY=L"Z:${FN_PACKAGE_DIR}/Osmira.AssemblyValidation.Native.dll")
add_dependencies(owners_test validation_library)
