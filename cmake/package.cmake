# The Debian package: cmake --build build --target package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessivane)
set(CPACK_PACKAGE_VENDOR "The Tessivane developers")
set(CPACK_PACKAGE_CONTACT "Tessivane maintainers <maintainers@users.noreply.c-seed-7934ed6f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop fax program for fax modems")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Tessivane sends and receives faxes through a Class 1, Class 2 or Class 2.0\n"
    "fax modem on a serial or USB port. It keeps lists of outgoing and incoming\n"
    "faxes, a phone book and cover sheets drawn from templates, and shows and\n"
    "prints every fax.\n"
    "The package holds the window program tessivane and the command-line tool\n"
    "tvfax.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${TV_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Libraries come from the binaries (dpkg-shlibdeps); what is loaded at run
# time instead of linked is named here: Qt's window-system and SVG plugins,
# and the fonts "Arial" on cover sheets resolves to.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6, fonts-liberation")
# Run as programs: Ghostscript for PDF and PostScript documents, in a
# bubblewrap sandbox where there is one; CUPS for the fax printer; English
# for Tesseract, which recognises the text of received faxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ghostscript, bubblewrap, cups, cups-filters, tesseract-ocr-eng")

# Debian wants a copyright file and a compressed changelog in the package's doc folder.
set(tv_doc ${CMAKE_INSTALL_DATADIR}/doc/tessivane)
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/copyright DESTINATION ${tv_doc})
configure_file(${PROJECT_SOURCE_DIR}/data/debian/changelog.in changelog.Debian @ONLY)
add_custom_command(OUTPUT changelog.Debian.gz
  COMMAND gzip -9nkf changelog.Debian
  DEPENDS ${PROJECT_BINARY_DIR}/changelog.Debian VERBATIM)
add_custom_target(tv_changelog ALL DEPENDS changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/changelog.Debian.gz DESTINATION ${tv_doc})
# The package is built outside Debian's archive: no bug report to close.
install(FILES ${PROJECT_SOURCE_DIR}/data/debian/lintian-overrides
  DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tessivane)

include(CPack)
