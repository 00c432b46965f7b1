# Unit and scenario tests, run under Wine (see tests/harness/wine-run.sh);
# the 32-bit build runs under WoW64.
enable_testing()
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_SOURCE_DIR}/tests/harness/wine-run.sh")

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)

set(TEST_LINK_OPTIONS -static -static-libgcc -static-libstdc++)

file(GLOB TEST_SUPPORT_SOURCES CONFIGURE_DEPENDS tests/support/*.cpp)
add_library(test_support STATIC ${TEST_SUPPORT_SOURCES})
target_include_directories(test_support PUBLIC "${CMAKE_SOURCE_DIR}")
target_link_libraries(test_support PUBLIC uninstall_core gtest)

file(GLOB TEST_SOURCES CONFIGURE_DEPENDS tests/*_test.cpp)
add_executable(unit_tests ${TEST_SOURCES})
target_link_libraries(unit_tests PRIVATE test_support gtest_main)
target_link_options(unit_tests PRIVATE ${TEST_LINK_OPTIONS})

# Programs the tests, the harness and the benchmarks start as real processes.
# Each file is one program.
file(GLOB HELPER_SOURCES CONFIGURE_DEPENDS tests/helpers/*.cpp bench/*.cpp)
set(TEST_HELPERS "")
foreach(source ${HELPER_SOURCES})
  get_filename_component(name "${source}" NAME_WE)
  add_executable(${name} "${source}")
  # crypt32: trusting the collector's test authority; psapi: the removal
  # benchmark's memory figure.
  target_link_libraries(${name} PRIVATE test_support crypt32 psapi)
  target_link_options(${name} PRIVATE -municode ${TEST_LINK_OPTIONS})
  list(APPEND TEST_HELPERS ${name})
endforeach()
# The tests find the helpers and the program beside themselves.
add_dependencies(unit_tests uninstall ${TEST_HELPERS})

include(GoogleTest)
gtest_add_tests(TARGET unit_tests SOURCES ${TEST_SOURCES} TEST_LIST UNIT_TESTS)
set_tests_properties(${UNIT_TESTS} PROPERTIES TIMEOUT 240)

# Checks on the built programs that need no Wine.
set(UNINSTALL_I686_EXE "" CACHE FILEPATH "The 32-bit product, for the import check")
add_test(NAME imports_are_system_only
  COMMAND "${CMAKE_SOURCE_DIR}/tests/check_imports.sh" $<TARGET_FILE:uninstall> ${UNINSTALL_I686_EXE})
add_test(NAME documents_link_only_to_what_exists COMMAND "${CMAKE_SOURCE_DIR}/tests/check_links.sh")
add_test(NAME release_is_stripped_and_small
  COMMAND "${CMAKE_SOURCE_DIR}/tests/check_release_size.sh" ${UNINSTALL_I686_EXE})
# The release program itself, as a user starts it: only WoW64 runs it. It
# reports to the production host, so the script cuts it off from the network.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_test(NAME release_smoke_under_wow64
    COMMAND "${CMAKE_SOURCE_DIR}/tests/harness/release_smoke.sh" "${UNINSTALL_I686_EXE}" "${CMAKE_BINARY_DIR}")
  set_tests_properties(release_smoke_under_wow64 PROPERTIES TIMEOUT 240)
endif()

# DLLs planted beside the program by the search-order tests. They go to their
# own folder, so that no other test program ever sits beside them.
foreach(dll wininet iphlpapi comctl32)
  add_library(planted_${dll} SHARED tests/planted/planted_dll.cpp)
  set_target_properties(planted_${dll} PROPERTIES OUTPUT_NAME ${dll} PREFIX ""
    RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/planted")
  target_link_options(planted_${dll} PRIVATE ${TEST_LINK_OPTIONS})
  add_dependencies(unit_tests planted_${dll})
endforeach()
# Wine reads the DLL load order from the Unix environment of the first
# process; Windows would prefer a DLL beside the program anyway.
set_tests_properties(Program.AsksForAdministratorAndNeverLoadsPlantedSystemDlls PROPERTIES
  ENVIRONMENT "WINEDLLOVERRIDES=wininet,iphlpapi,comctl32=n,b")
