# What a release holds; ./scripts/package runs CPack on both trees to pack it. Each
# archive unpacks into one folder named like the archive.
set(CPACK_PACKAGE_NAME VeskServer)
set(CPACK_GENERATOR External)
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/pack_archives.cmake)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(readmes ${PROJECT_SOURCE_DIR}/packaging)
set(name VeskServer-${PROJECT_VERSION})

if(WIN32)
  # What an operator installs beside the maker's DLL, and the same server with the stand-in
  # and the listener for developers without hardware.
  set(CPACK_COMPONENTS_ALL operator simulator)
  set(CPACK_VESK_ARCHIVES operator=${name}-windows-x64.zip simulator=${name}-windows-x64-simulator.zip)
  foreach(component operator simulator)
    set(staged ${CMAKE_BINARY_DIR}/packaging/${component})
    configure_file(${readmes}/windows-${component}.txt ${staged}/README.txt @ONLY NEWLINE_STYLE CRLF)
    configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${staged}/LICENSE.txt NEWLINE_STYLE CRLF)
    install(FILES ${staged}/README.txt ${staged}/LICENSE.txt DESTINATION . COMPONENT ${component})
    install(TARGETS VeskServer RUNTIME DESTINATION . COMPONENT ${component})
  endforeach()
  if(MINGW)
    # Each shipped binary's link map (linkmaps/<file>.map) shows which archive members it
    # holds; tests/check_packages.sh holds the notices below against them.
    foreach(target VeskServer Vesk_Device vesk-listen)
      target_link_options(${target} PRIVATE "-Wl,-Map=${CMAKE_BINARY_DIR}/linkmaps/$<TARGET_FILE_NAME:${target}>.map")
    endforeach()
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/linkmaps)
    include(${PROJECT_SOURCE_DIR}/cmake/notices.cmake)
    set(server VeskServer.exe mingw-w64-crt libgcc)
    vesk_third_party_notices(${CMAKE_BINARY_DIR}/packaging/operator/THIRD-PARTY-NOTICES.txt
      "${name}-windows-x64.zip" BINARY ${server})
    vesk_third_party_notices(${CMAKE_BINARY_DIR}/packaging/simulator/THIRD-PARTY-NOTICES.txt
      "${name}-windows-x64-simulator.zip" BINARY ${server}
      BINARY Vesk_Device.dll mingw-w64-crt gdtoa winpthreads libgcc libstdc++ libzmq
      BINARY vesk-listen.exe mingw-w64-crt gdtoa winpthreads libgcc libstdc++ libzmq)
    foreach(component operator simulator)
      install(FILES ${CMAKE_BINARY_DIR}/packaging/${component}/THIRD-PARTY-NOTICES.txt DESTINATION .
        COMPONENT ${component})
    endforeach()
  else()
    # The notices are written from the MinGW build's link maps and Debian's copyright files; an
    # MSVC build links other code (Microsoft's C and C++ runtimes, vcpkg's libzmq), for which
    # nothing writes them. Its tree installs, but does not pack.
    set(CPACK_VESK_REFUSED "an MSVC tree is not packed into release archives: their third-party notices are written only for the MinGW build; pack the release with ./scripts/package on Linux")
  endif()
  install(TARGETS Vesk_Device vesk-listen RUNTIME DESTINATION . COMPONENT simulator
    ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
else()
  set(CPACK_COMPONENTS_ALL simulator)
  set(CPACK_VESK_ARCHIVES simulator=${name}-linux-x86_64.tar.gz)
  # Nothing third-party is linked in: libzmq comes from the system.
  configure_file(${readmes}/linux.txt ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION . COMPONENT simulator)
  install(TARGETS VeskServer Vesk_Device vesk-listen
    RUNTIME DESTINATION . COMPONENT simulator
    LIBRARY DESTINATION . COMPONENT simulator)
  # Installing drops the build's run path; the unpacked folder must still find its library.
  set_target_properties(vesk-listen PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

include(CPack)
