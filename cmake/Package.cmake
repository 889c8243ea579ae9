# The Debian package, built with `cpack -G DEB` in a build configured for the /usr layout
# (tools/make-package does both). Everything installed goes into the one package.
set(ZVUI_MAINTAINER "The ZVui developers <developers@zvui.dev>")

# Debian wants the copyright file and a compressed changelog in the package's doc folder.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/zvui)
set(changelog ${CMAKE_BINARY_DIR}/debian/changelog)
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in ${changelog} @ONLY)
find_program(ZVUI_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND ${ZVUI_GZIP} -9nc ${changelog} > ${changelog}.gz
  DEPENDS ${changelog}
  COMMENT "Compressing the package changelog")
add_custom_target(zvui_package_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz DESTINATION ${doc_dir} COMPONENT zvui_package_docs)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright DESTINATION ${doc_dir}
  COMPONENT zvui_package_docs)

# The manual page, compressed as Debian keeps them.
set(man_page ${CMAKE_BINARY_DIR}/man/zvui.1.gz)
add_custom_command(OUTPUT ${man_page}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND ${ZVUI_GZIP} -9nc ${PROJECT_SOURCE_DIR}/data/man/zvui.1 > ${man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/data/man/zvui.1
  COMMENT "Compressing the manual page")
add_custom_target(zvui_man_page ALL DEPENDS ${man_page})
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zvui_package_docs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvui)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ZVUI_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The synopsis; the description below is the extended text.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop shell for a local terminal console")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "ZVui opens one dark window, starts its local console backend, shows the
progress of the launch on a splash card and in a status strip in the title
bar, and reveals the console once its page has loaded. When the window
closes, it stops the backend and every process the backend started.
.
The package includes the reference console backend: a terminal with live
telemetry, served on the loopback interface only.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION x11)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Used at run time without being linked: the tools that signal the backend's processes
# (pkill, kill), and the web view's sandbox and its bus proxy.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps, bubblewrap, xdg-dbus-proxy")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/_install/;/\\\\.git/;/node_modules/")
include(CPack)
