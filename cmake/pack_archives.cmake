# Run by CPack's External generator once it has staged each component: packs every archive
# that CPACK_VESK_ARCHIVES names (component=file name) with its entries in sorted order and,
# when SOURCE_DATE_EPOCH is set, every time stamp at that date. CPack's own archive
# generators add entries in the file system's listing order, which differs between machines.
set(built)
foreach(entry IN LISTS CPACK_VESK_ARCHIVES)
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 component)
  list(GET pair 1 archive)
  string(REGEX REPLACE "\\.(zip|tar\\.gz)$" "" folder "${archive}")
  set(work "${CPACK_TOPLEVEL_DIRECTORY}/archives")
  file(REMOVE_RECURSE "${work}/${folder}")
  file(MAKE_DIRECTORY "${work}")
  file(RENAME "${CPACK_TEMPORARY_DIRECTORY}/${component}" "${work}/${folder}")

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${work}" "${work}/${folder}/*")
  list(SORT files)
  list(JOIN files "\n" listing)
  file(WRITE "${work}/${folder}.files" "${listing}\n")
  if(archive MATCHES "\\.zip$")
    set(mode cf)
    set(format zip)
  else()
    set(mode czf)
    set(format gnutar)
  endif()
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E tar ${mode} "${work}/${archive}" --format=${format}
      "--files-from=${work}/${folder}.files"
    WORKING_DIRECTORY "${work}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "could not pack ${archive}")
  endif()
  list(APPEND built "${work}/${archive}")
endforeach()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${built})
