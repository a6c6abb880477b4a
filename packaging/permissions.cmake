# Run by CPack on its staging folder before it packs it. CPack makes the folders with the caller's
# umask; the package's must be 0755 whatever that was, and its files 0644, or 0755 if executable.
if(NOT IS_DIRECTORY "${CPACK_TEMPORARY_DIRECTORY}")
  message(FATAL_ERROR "no staging folder: '${CPACK_TEMPORARY_DIRECTORY}'")
endif()
execute_process(COMMAND chmod -R u=rwX,go=rX "${CPACK_TEMPORARY_DIRECTORY}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "chmod failed on ${CPACK_TEMPORARY_DIRECTORY}")
endif()
