# Unit and scenario tests, run under Wine (see tests/harness/wine-run.sh).
enable_testing()

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

# Small programs that the tests start as real processes (a fake game, a
# command-line probe, ...). Each file is one program.
file(GLOB HELPER_SOURCES CONFIGURE_DEPENDS tests/helpers/*.cpp)
set(TEST_HELPERS "")
foreach(source ${HELPER_SOURCES})
  get_filename_component(name "${source}" NAME_WE)
  add_executable(${name} "${source}")
  # crypt32: the harness's helper that trusts the collector's test authority.
  target_link_libraries(${name} PRIVATE uninstall_core crypt32)
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
