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

# vesk_header_value(<name> <header> <regex>): the value that a header of the stand-in's gives
# <name>, so that the archives' texts state its defaults and limits as the code does.
function(vesk_header_value name header pattern)
  set(header ${PROJECT_SOURCE_DIR}/standin/include/vesk/${header})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(STRINGS ${header} line REGEX "${name}[ =\"]+${pattern}")
  string(REGEX MATCH "${pattern}" value "${line}")
  set(${name} ${value} PARENT_SCOPE)
endfunction()

# vesk_readme(<template> <README.txt> <listener> [configure_file options]): an archive's README.txt,
# @VESK_STANDIN_TEXT@ standing for the stand-in's shared text, @VESK_LISTEN@ for the listener.
function(vesk_readme template readme listen)
  set(VESK_LISTEN ${listen})
  vesk_header_value(VESK_DEFAULT_RATE waveform.h "[0-9]+")
  vesk_header_value(VESK_MAX_RATE message.h "[0-9]+")
  vesk_header_value(VESK_DEFAULT_ENDPOINT message.h "[a-z]+://[^\"]+")
  file(READ ${readmes}/standin.txt standin)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readmes}/standin.txt)
  string(CONFIGURE "${standin}" VESK_STANDIN_TEXT @ONLY)
  # configure_file gives only the template's own lines the NEWLINE_STYLE, not what it inserts.
  if("CRLF" IN_LIST ARGN)
    string(REPLACE "\n" "\r\n" VESK_STANDIN_TEXT "${VESK_STANDIN_TEXT}")
  endif()
  configure_file(${template} ${readme} @ONLY ${ARGN})
endfunction()

if(WIN32)
  # What an operator installs beside the maker's DLL, and the same server with the stand-in
  # and the listener for developers without hardware.
  set(CPACK_COMPONENTS_ALL operator simulator)
  set(CPACK_VESK_ARCHIVES operator=${name}-windows-x64.zip simulator=${name}-windows-x64-simulator.zip)
  foreach(component operator simulator)
    set(staged ${CMAKE_BINARY_DIR}/packaging/${component})
    vesk_readme(${readmes}/windows-${component}.txt ${staged}/README.txt vesk-listen.exe NEWLINE_STYLE CRLF)
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
    # The notices come from MinGW's link maps; nothing writes them for what MSVC links, so its
    # tree installs but does not pack.
    set(CPACK_VESK_REFUSED "an MSVC tree is not packed into release archives: their third-party notices are written only for the MinGW build; pack the release with ./scripts/package on Linux")
  endif()
  install(TARGETS Vesk_Device vesk-listen RUNTIME DESTINATION . COMPONENT simulator
    ARCHIVE DESTINATION lib COMPONENT development EXCLUDE_FROM_ALL)
else()
  set(CPACK_COMPONENTS_ALL simulator)
  set(CPACK_VESK_ARCHIVES simulator=${name}-linux-x86_64.tar.gz)
  # Nothing third-party is linked in: libzmq comes from the system.
  vesk_readme(${readmes}/linux.txt ${CMAKE_BINARY_DIR}/packaging/README.txt ./vesk-listen)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt ${PROJECT_SOURCE_DIR}/LICENSE
    DESTINATION . COMPONENT simulator)
  install(TARGETS VeskServer Vesk_Device vesk-listen
    RUNTIME DESTINATION . COMPONENT simulator
    LIBRARY DESTINATION . COMPONENT simulator)
  # Installing drops the build's run path; the unpacked folder must still find its library.
  set_target_properties(vesk-listen PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
# What a consumer of the data needs beside the listener: the packet's layout and an example.
install(FILES ${PROJECT_SOURCE_DIR}/standin/include/vesk/message.h ${PROJECT_SOURCE_DIR}/tools/vesk_subscribe.py
  DESTINATION . COMPONENT simulator)

include(CPack)
