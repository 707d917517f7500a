# The Windows build's own tests: they run under Wine through CTest's cross-compiling
# emulator, except the check of the file, which runs natively.
set(gtest_force_shared_crt OFF)
set(INSTALL_GTEST OFF)
set(BUILD_GMOCK OFF)
add_subdirectory(/usr/src/googletest ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

add_executable(lock_windows_test lock_windows_test.cpp)
target_link_libraries(lock_windows_test PRIVATE vesk_lock GTest::gtest_main)
target_link_options(lock_windows_test PRIVATE -static)
# They share the lock's one name with every copy under this Wine prefix.
gtest_discover_tests(lock_windows_test TEST_PREFIX lock. DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
  PROPERTIES RESOURCE_LOCK wine_lock_name)

# Holds a named object for the black-box cases that the Linux build tree runs under Wine.
add_executable(hold_named hold_named.cpp)
target_include_directories(hold_named PRIVATE ${PROJECT_SOURCE_DIR}/server)
target_link_options(hold_named PRIVATE -static)

# Runs the server at a console of its own for the black-box console cases.
add_executable(pseudo_console pseudo_console.cpp)
target_link_options(pseudo_console PRIVATE -static)

add_test(NAME pe.files COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.sh ${PROJECT_VERSION}
  $<TARGET_FILE:VeskServer> $<TARGET_FILE:Vesk_Device>)
