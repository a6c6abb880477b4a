# The documents an installation ships, and the Debian package: `cpack -G DEB` in the build folder
# writes script-menu_<version>_<arch>.deb.

# The manual page carries the project's version. Compressed the way Debian expects, without a
# name or timestamp so that rebuilds are identical.
configure_file(${CMAKE_CURRENT_LIST_DIR}/script-menu.1.in ${PROJECT_BINARY_DIR}/script-menu.1 @ONLY)
find_program(SCRIPT_MENU_GZIP gzip REQUIRED)
set(script_menu_manual ${CMAKE_CURRENT_BINARY_DIR}/script-menu.1.gz)
set(script_menu_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
foreach(pair "${PROJECT_BINARY_DIR}/script-menu.1;${script_menu_manual}"
             "${CMAKE_CURRENT_LIST_DIR}/changelog;${script_menu_changelog}")
  list(GET pair 0 source)
  list(GET pair 1 compressed)
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${SCRIPT_MENU_GZIP} -9n -c ${source} > ${compressed}
                     DEPENDS ${source} VERBATIM)
endforeach()
add_custom_target(documents ALL DEPENDS ${script_menu_manual} ${script_menu_changelog})
install(FILES ${script_menu_manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# A plain install ships the licence; the Debian package has it in its copyright file instead,
# with its changelog, which only CPack puts in (debian-documents.cmake).
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(CPACK_SCRIPT_MENU_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_SCRIPT_MENU_DEBIAN_DOCUMENTS ${CMAKE_CURRENT_LIST_DIR}/copyright ${script_menu_changelog})

# A stripped install (CPack's) drops the compiler's ident too, as Debian's own packages do.
install(CODE "
if(CMAKE_INSTALL_DO_STRIP)
  set(program [[${CMAKE_INSTALL_LIBEXECDIR}/script-menu/script-menu]])
  if(NOT IS_ABSOLUTE \"\${program}\")
    set(program \"\${CMAKE_INSTALL_PREFIX}/\${program}\")
  endif()
  execute_process(COMMAND [[${CMAKE_STRIP}]] --remove-section=.comment --remove-section=.note
                          \"\$ENV{DESTDIR}\${program}\" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR \"strip failed on \${program}\")
  endif()
endif()")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VENDOR "The script-menu authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "\
script-menu shows a menu on the console, reads a choice and a whole number, and
hands the computation to the Python module PythonCode through an embedded
CPython interpreter: it prints a multiplication table or doubles a value.
Every action runs in a fresh interpreter, so an edit to the script takes
effect at the next action.

A module of one's own, named in PYTHONPATH, takes precedence over the shipped
one.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The script-menu authors <script-menu@example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package's libpython dependency is what dpkg-shlibdeps finds for the library the program
# links, and it finds one only for a library that a Debian package owns.
get_filename_component(CPACK_SCRIPT_MENU_LIBPYTHON "${Python3_LIBRARIES}" REALPATH)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/libpython.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-documents.cmake
                            ${CMAKE_CURRENT_LIST_DIR}/permissions.cmake)
include(CPack)
