# Read by CPack as it sets up each generator. A libpython that no Debian package owns (pyenv's, one
# built by hand) would make a Debian package that looks for the library in the build machine's
# folder and depends on no package providing it: stop before making it.
if(CPACK_GENERATOR STREQUAL "DEB")
  execute_process(COMMAND dpkg-query --search "${CPACK_SCRIPT_MENU_LIBPYTHON}"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR
            "script-menu links ${CPACK_SCRIPT_MENU_LIBPYTHON}, which no Debian package provides, "
            "so its package would not work elsewhere. Make the package from a build configured "
            "with -DPython3_EXECUTABLE=/usr/bin/python3 (Debian's python3-dev).")
  endif()
endif()
