# The packages, made by CPack in each build tree (scripts/package): a zip of
# the two Windows programs, and the Linux sender as a tar.gz and a .deb. With
# SOURCE_DATE_EPOCH set, CPack gives every file in them that time.
set(CPACK_PACKAGE_NAME octolatch)
set(CPACK_PACKAGE_VENDOR "the Octolatch authors")
set(CPACK_PACKAGE_CONTACT "the Octolatch authors <octolatch@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "switch the outputs of shift registers on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
  "octolatch-send sets the outputs of 74HC595-style shift registers wired to\n"
  "the control lines of an RS-232 port (TXD held in break as data, DTR as the\n"
  "shift clock, RTS as the latch strobe), one at a time or all at once, from\n"
  "scripts: relays, LEDs or lamps on the outputs follow. octolatchd owns such\n"
  "boards as a service, with an HTTP API, a web page and MQTT.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME octolatch-${PROJECT_VERSION}-windows-x64)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_PACKAGE_FILE_NAME octolatch-${PROJECT_VERSION}-linux-x86_64)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Enable the unit at install, restart it on upgrade, stop it on removal,
  # as Debian's own service packages do.
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/prerm ${PROJECT_SOURCE_DIR}/packaging/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # The .deb installs under /usr; the tar.gz keeps bin/ and share/ at its top.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-per-generator.cmake)
endif()
include(CPack)
