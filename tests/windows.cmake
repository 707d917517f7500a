# googletest for MinGW, built from the machine's source; the files' check runs natively on the Linux host.
set(INSTALL_GTEST OFF)
set(BUILD_GMOCK OFF)
set(VESK_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "googletest's source folder, built for MinGW")
add_subdirectory(${VESK_GOOGLETEST_SOURCE} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

if(CMAKE_HOST_UNIX)
  add_test(NAME pe.files COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/check_pe.sh ${PROJECT_VERSION}
    $<TARGET_FILE:VeskServer> $<TARGET_FILE:Vesk_Device>)
endif()
