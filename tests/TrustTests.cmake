# The trust validation tests: the digest, the binding and COsmiraAssemblyHelper in-process, and a
# probe program placed in folders of the test's own, as the service lies.
if(CMAKE_SCRIPT_MODE_FILE) # run by the build: osslsigncode's Authenticode digest of LIBRARY, the known answer
  execute_process(COMMAND ${OSSLSIGNCODE} verify -in ${LIBRARY} OUTPUT_VARIABLE out ERROR_QUIET)
  string(REGEX MATCH "Calculated message digest : ([0-9A-F]+)" found "${out}")
  file(WRITE ${OUTPUT} "#define FN_TEST_AUTHENTICODE_DIGEST L\"${CMAKE_MATCH_1}\"\n")
  return()
endif()

add_executable(trust_probe trust_probe.cpp)
target_link_options(trust_probe PRIVATE -municode)
target_link_libraries(trust_probe PRIVATE fn_trust)
set(known_digest ${CMAKE_CURRENT_BINARY_DIR}/generated/AuthenticodeDigest.h)
add_custom_command(OUTPUT ${known_digest}
  COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${FN_OSSLSIGNCODE} -DLIBRARY=$<TARGET_FILE:validation_library>
          -DOUTPUT=${known_digest} -P ${CMAKE_CURRENT_SOURCE_DIR}/TrustTests.cmake
  DEPENDS validation_library ${CMAKE_CURRENT_SOURCE_DIR}/TrustTests.cmake VERBATIM)
fn_add_unit_test(trust_test SOURCES trust_test.cpp ${known_digest} LIBS fn_trust)
target_include_directories(trust_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
target_compile_definitions(trust_test PRIVATE FN_TEST_PACKAGE_DIR=L"Z:${FN_PACKAGE_DIR}"
                           FN_TEST_TRUST_FIXTURES_DIR=L"Z:${FN_TRUST_FIXTURES_DIR}")
add_dependencies(trust_test trust_probe fn_trust_library_fixtures)

# A signed library, copied by the test as the validation library, whose own dependency is found
# nowhere the loader may look; the impostor is planted under the dependency's name in its folder.
set(policy_import ${CMAKE_CURRENT_BINARY_DIR}/libOsmiraValidationPolicy.a)
add_custom_command(OUTPUT ${policy_import}
  COMMAND ${CMAKE_DLLTOOL} -d ${CMAKE_CURRENT_SOURCE_DIR}/trust/OsmiraValidationPolicy.def -l ${policy_import}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/trust/OsmiraValidationPolicy.def VERBATIM)
add_custom_target(fn_policy_import DEPENDS ${policy_import})
add_library(dependent_validation_library SHARED trust/DependentLibrary.cpp)
# Named apart from the programs: it is the one binary of the build that imports a library found nowhere.
set_target_properties(dependent_validation_library PROPERTIES PREFIX "" SUFFIX ".fixture" OUTPUT_NAME "dependent"
  RUNTIME_OUTPUT_DIRECTORY ${FN_TRUST_FIXTURES_DIR} ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/dependent)
add_dependencies(dependent_validation_library fn_policy_import)
target_link_libraries(dependent_validation_library PRIVATE ${policy_import})
fn_sign(dependent_validation_library)
add_dependencies(dependent_validation_library planted_validation_library)
add_custom_command(TARGET dependent_validation_library POST_BUILD COMMAND ${CMAKE_COMMAND} -E copy
  $<TARGET_FILE:planted_validation_library> ${FN_TRUST_FIXTURES_DIR}/planted/OsmiraValidationPolicy.dll VERBATIM)
add_dependencies(trust_test dependent_validation_library)
