# Run by CPack on its staging folder before it packs it, ahead of permissions.cmake. A Debian
# package states its licence in its copyright file and has a changelog.gz beside it: put both into
# the documents folder in place of the LICENSE that a plain install ships there.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(docdir "${CPACK_SCRIPT_MENU_DOCDIR}")
if(NOT IS_ABSOLUTE "${docdir}")
  set(docdir "${CPACK_PACKAGING_INSTALL_PREFIX}/${docdir}")
endif()
set(docdir "${CPACK_TEMPORARY_DIRECTORY}${docdir}")
if(NOT IS_DIRECTORY "${docdir}")
  message(FATAL_ERROR "no documents folder in the staging folder: '${docdir}'")
endif()
file(REMOVE "${docdir}/LICENSE")
file(COPY ${CPACK_SCRIPT_MENU_DEBIAN_DOCUMENTS} DESTINATION "${docdir}")
