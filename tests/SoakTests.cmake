# The service's parts under load and faults, in-process.
# The short soak runs: the soak programs with small counts; each fails when a property broke.
add_test(NAME soak_units_digest COMMAND fn_soak_units digest 300 0x5EED)
add_test(NAME soak_units_log COMMAND fn_soak_units log 5 8)
add_test(NAME soak_units_trust COMMAND fn_soak_units trust 5)
set_tests_properties(soak_units_digest soak_units_log soak_units_trust PROPERTIES LABELS soak TIMEOUT 300)
# The log switch key and the companions' names are shared with the other tests of the prefix.
set_tests_properties(soak_units_log soak_units_trust PROPERTIES RESOURCE_LOCK build_prefix)
