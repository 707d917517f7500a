# vesk_version_resource(<target> <description>): gives a Windows program or DLL a
# VERSIONINFO resource carrying the project's version, its file name and `description`.
function(vesk_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(VESK_FILE_TYPE 0x1)  # VFT_APP
    set(VESK_FILE_NAME ${target}.exe)
  else()
    set(VESK_FILE_TYPE 0x2)  # VFT_DLL
    get_target_property(name ${target} OUTPUT_NAME)
    set(VESK_FILE_NAME ${name}.dll)
  endif()
  set(VESK_FILE_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
