# The LED path in-process: the firmware client, the firmware writers and the request workers
# against the firmware stand-in registered in the test's own process; the keyboard names and list.
fn_add_unit_test(led_test SOURCES led_test.cpp support/FastServiceWaits.cpp LIBS fn_service)
