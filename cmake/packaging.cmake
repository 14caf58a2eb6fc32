# What `cmake --install` puts where, and the packages made from that layout
# with `cmake --build <build dir> --target package`: a .deb from the native
# build, a .zip from the Windows build.

if(WIN32)
  # One folder to unzip: the program with its papers beside it.
  install(TARGETS tarn RUNTIME DESTINATION .)
  install(FILES README.md LICENSE DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS tarn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # Manual pages are installed compressed; -n leaves the name and time out of
  # the header, so the same page always gives the same bytes.
  find_program(TARN_GZIP gzip)
  if(TARN_GZIP)
    add_custom_command(OUTPUT tarn.1.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/doc/tarn.1 tarn.1
      COMMAND ${TARN_GZIP} -9nf tarn.1
      DEPENDS ${PROJECT_SOURCE_DIR}/doc/tarn.1 VERBATIM)
    add_custom_target(manual_page ALL DEPENDS tarn.1.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarn.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES doc/tarn.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian's place for the licence of a package.
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
endif()

set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VENDOR "the tarn authors")
set(CPACK_PACKAGE_CONTACT "the tarn authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "rename and move files whose names match a regular expression")
set(CPACK_PACKAGE_DESCRIPTION
    "tarn renames files, and optionally directories, whose names match an ECMAScript
regular expression, and can move them into other directories on the way. A dry
run reports the same decisions without touching anything.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The library dependencies are read off the binary by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
