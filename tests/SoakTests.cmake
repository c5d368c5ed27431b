# The soak program (tests/soak) and its short runs, in the build's prefix; each fails when a property broke. The
# service runs go through scripts/soak-service in a fresh prefix (tests/e2e: soak.service).
add_subdirectory(soak)
add_test(NAME soak.digest COMMAND fn_soak digest 300 0x5EED)
add_test(NAME soak.log COMMAND fn_soak log 5 8)
add_test(NAME soak.trust COMMAND fn_soak trust 5)
set_tests_properties(soak.digest soak.log soak.trust PROPERTIES LABELS soak TIMEOUT 300)
# The runs share the build's prefix (its log switch key, the companions' names) with the unit tests.
set_tests_properties(soak.digest soak.log soak.trust PROPERTIES RESOURCE_LOCK build_prefix)
