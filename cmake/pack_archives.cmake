# Packs each archive of CPACK_VESK_ARCHIVES sorted, dated SOURCE_DATE_EPOCH and owned by nobody:
# CPack's own generators record listing order and owners, which differ between machines.
if(CPACK_VESK_REFUSED)
  message(FATAL_ERROR "${CPACK_VESK_REFUSED}")
endif()
set(epoch "$ENV{SOURCE_DATE_EPOCH}")
set(built)
foreach(entry IN LISTS CPACK_VESK_ARCHIVES)
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 component)
  list(GET pair 1 archive)
  string(REGEX REPLACE "\\.(zip|tar\\.gz)$" "" folder "${archive}")
  set(work "${CPACK_TOPLEVEL_DIRECTORY}/archives")
  file(REMOVE_RECURSE "${work}/${folder}" "${work}/${archive}")
  file(MAKE_DIRECTORY "${work}")
  file(RENAME "${CPACK_TEMPORARY_DIRECTORY}/${component}" "${work}/${folder}")

  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${work}" "${work}/${folder}/*")
  list(SORT files)
  list(JOIN files "\n" listing)
  file(WRITE "${work}/${folder}.files" "${listing}\n")
  if(epoch)
    execute_process(COMMAND touch -d "@${epoch}" ${files} WORKING_DIRECTORY "${work}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "could not date the files of ${archive}")
    endif()
  endif()
  if(archive MATCHES "\\.zip$")
    # -X leaves out the extra fields (uid/gid, extended time stamps); zip stores the local
    # time, so UTC makes it the same wherever it is packed.
    execute_process(
      COMMAND "${CMAKE_COMMAND}" -E env TZ=UTC0 zip -q -X -@ "${work}/${archive}"
      INPUT_FILE "${work}/${folder}.files"
      WORKING_DIRECTORY "${work}" RESULT_VARIABLE failed)
  else()
    # gzip -n: no file name and no time stamp in the gzip header.
    execute_process(
      COMMAND tar -c --format=gnu --owner=0 --group=0 --numeric-owner --no-recursion
        --verbatim-files-from "--files-from=${work}/${folder}.files"
      COMMAND gzip -n -9
      OUTPUT_FILE "${work}/${archive}"
      WORKING_DIRECTORY "${work}" RESULTS_VARIABLE results)
    set(failed 0)
    if(NOT results STREQUAL "0;0")
      set(failed 1)
    endif()
  endif()
  if(failed)
    message(FATAL_ERROR "could not pack ${archive}")
  endif()
  list(APPEND built "${work}/${archive}")
endforeach()
set(CPACK_EXTERNAL_BUILT_PACKAGES ${built})
