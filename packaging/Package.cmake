# The documents an installation ships.

# Compressed the way Debian expects, without a name or timestamp so that rebuilds are identical.
find_program(SCRIPT_MENU_GZIP gzip REQUIRED)
set(script_menu_manual ${CMAKE_CURRENT_BINARY_DIR}/script-menu.1.gz)
set(script_menu_changelog ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
foreach(pair "script-menu.1;${script_menu_manual}" "changelog;${script_menu_changelog}")
  list(GET pair 0 source)
  list(GET pair 1 compressed)
  set(source ${CMAKE_CURRENT_LIST_DIR}/${source})
  add_custom_command(OUTPUT ${compressed}
                     COMMAND ${SCRIPT_MENU_GZIP} -9n -c ${source} > ${compressed}
                     DEPENDS ${source} VERBATIM)
endforeach()
add_custom_target(documents ALL DEPENDS ${script_menu_manual} ${script_menu_changelog})
install(FILES ${script_menu_manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${script_menu_changelog}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
