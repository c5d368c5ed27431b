# The trust validation tests: the digest, the binding and COsmiraAssemblyHelper, in-process
# and through a signed probe program placed in folders of the tests' own, as the service lies.
add_executable(trust_probe trust_probe.cpp)
target_link_options(trust_probe PRIVATE -municode)
target_link_libraries(trust_probe PRIVATE fn_trust)
fn_sign(trust_probe)
fn_unsigned_copy(${FN_TRUST_FIXTURES_DIR}/probe/unsigned.exe trust_probe)
fn_resigned_copy(${FN_TRUST_FIXTURES_DIR}/probe/other-signer.exe trust_probe other)
fn_resigned_copy(${FN_TRUST_FIXTURES_DIR}/probe/untrusted.exe trust_probe stranger)
add_custom_target(fn_trust_probe_fixtures ALL DEPENDS
  ${FN_TRUST_FIXTURES_DIR}/probe/unsigned.exe ${FN_TRUST_FIXTURES_DIR}/probe/other-signer.exe
  ${FN_TRUST_FIXTURES_DIR}/probe/untrusted.exe)

add_library(fn_trust_test_support STATIC support/TrustTestSupport.cpp support/TrustTestSupport.h)
target_link_libraries(fn_trust_test_support PUBLIC fn_trust fn_test_support bcrypt)
target_compile_definitions(fn_trust_test_support PUBLIC
  FN_TEST_PACKAGE_DIR=L"Z:${FN_PACKAGE_DIR}"
  FN_TEST_TRUST_FIXTURES_DIR=L"Z:${FN_TRUST_FIXTURES_DIR}")

fn_add_unit_test(pe_digest_test SOURCES pe_digest_test.cpp LIBS fn_trust_test_support)
add_dependencies(pe_digest_test validation_library fn_trust_library_fixtures)
fn_add_unit_test(trust_test SOURCES trust_test.cpp LIBS fn_trust_test_support)
add_dependencies(trust_test trust_probe validation_library FnKeyAgent FnKeyLockOsd fn_trust_library_fixtures fn_trust_probe_fixtures)
