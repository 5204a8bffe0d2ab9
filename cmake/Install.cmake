# `cmake --install`: the program and the operator's tool in a folder of
# their own (the program reads config.txt, and writes error.txt, beside its
# executable), links to them on the PATH, the configuration under
# sysconfdir, the example pages in Shift_JIS, a session to copy into the
# data folder, and the manual pages. The data folder itself (members, posts)
# is the operator's: nothing here creates or replaces it.
include(GNUInstallDirs)
set(ORVALENGATE_PROGRAMDIR "${CMAKE_INSTALL_LIBEXECDIR}/orvalengate" CACHE STRING
  "Where the program and orvalengate-admin are installed, relative to the prefix")
set(ORVALENGATE_DATADIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/orvalengate" CACHE PATH
  "The site's data folder named by the installed configuration and session")
set(ORVALENGATE_LOGDIR "${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/orvalengate" CACHE PATH
  "Where the installed configuration puts the failed-login log and error.txt")

# The example pages as served: Shift_JIS, posting to the session "demo",
# where members sign in.
if(CMAKE_HOST_UNIX)
  set(ORVALENGATE_PAGES ${CMAKE_BINARY_DIR}/htdocs)
  file(GLOB ORVALENGATE_PAGE_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/site/*)
  add_custom_command(OUTPUT ${ORVALENGATE_PAGES}/index.html
    COMMAND ${CMAKE_COMMAND} -E env SIGNIN=1 ${PROJECT_SOURCE_DIR}/scripts/make-pages.sh ${ORVALENGATE_PAGES} demo
    DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-pages.sh ${ORVALENGATE_PAGE_SOURCES}
    COMMENT "Example pages in Shift_JIS")
  add_custom_target(site_pages ALL DEPENDS ${ORVALENGATE_PAGES}/index.html)
  install(DIRECTORY ${ORVALENGATE_PAGES}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvalengate/htdocs)
  # The pages' sources and the script that writes them, so that an operator
  # can make them anew under the site's own name, session and colours.
  install(FILES ${ORVALENGATE_PAGE_SOURCES} DESTINATION ${CMAKE_INSTALL_DATADIR}/orvalengate/site)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/scripts/make-pages.sh)
  file(READ ${PROJECT_SOURCE_DIR}/scripts/make-pages.sh ORVALENGATE_MAKE_PAGES)
  string(REPLACE [[sources=${ORVALENGATE_SITE_SOURCES:-$here/site}]]
    "sources=\${ORVALENGATE_SITE_SOURCES:-${CMAKE_INSTALL_FULL_DATADIR}/orvalengate/site}"
    ORVALENGATE_MAKE_PAGES "${ORVALENGATE_MAKE_PAGES}")
  string(REPLACE "#!/usr/bin/env bash" "#!/bin/bash" ORVALENGATE_MAKE_PAGES "${ORVALENGATE_MAKE_PAGES}")
  file(WRITE ${CMAKE_BINARY_DIR}/install/make-pages "${ORVALENGATE_MAKE_PAGES}")
  install(PROGRAMS ${CMAKE_BINARY_DIR}/install/make-pages DESTINATION ${ORVALENGATE_PROGRAMDIR})
endif()

configure_file(${PROJECT_SOURCE_DIR}/cmake/config.txt.in ${CMAKE_BINARY_DIR}/install/config.txt @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/demo.txt.in ${CMAKE_BINARY_DIR}/install/demo.txt @ONLY)

install(TARGETS orvalengate orvalengate-admin RUNTIME DESTINATION ${ORVALENGATE_PROGRAMDIR})
install(FILES ${CMAKE_BINARY_DIR}/install/config.txt DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/orvalengate)
install(FILES ${CMAKE_BINARY_DIR}/install/demo.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/orvalengate)
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/orvalengate.8 ${PROJECT_SOURCE_DIR}/docs/man/orvalengate-admin.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The program dir holds links: config.txt to the configuration, error.txt
# into the log folder (the program dir itself stays read-only), and the
# PATH holds links to both executables (the program finds its folder
# through the link).
if(NOT WIN32)
  install(CODE "
    set(programdir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ORVALENGATE_PROGRAMDIR}\")
    set(sbindir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    file(MAKE_DIRECTORY \"\${sbindir}\")
    file(RELATIVE_PATH up \"\${sbindir}\" \"\${programdir}\")
    foreach(exe orvalengate orvalengate-admin)
      file(CREATE_LINK \"\${up}/\${exe}\" \"\${sbindir}/\${exe}\" SYMBOLIC)
    endforeach()
    file(CREATE_LINK \"${CMAKE_INSTALL_FULL_SYSCONFDIR}/orvalengate/config.txt\" \"\${programdir}/config.txt\" SYMBOLIC)
    file(CREATE_LINK \"${ORVALENGATE_LOGDIR}/error.txt\" \"\${programdir}/error.txt\" SYMBOLIC)
    message(STATUS \"Links: \${sbindir}/orvalengate, orvalengate-admin; \${programdir}/config.txt, error.txt\")
  ")
endif()
