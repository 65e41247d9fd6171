# Install rules and release packages: a .deb on Linux; a zip and an NSIS installer for Windows.
#   cpack --preset deb        build/packages/orv_<version>_amd64.deb
#   cpack --preset windows    build/packages/orv-<version>-win64.zip and orv-<version>-setup.exe

# The guide is the operator's document; the README speaks of the sources and stays with them.
set(ORV_DOCS docs/guide.md)

# The packages' default orv.conf is the example with its map and status-port lines as comments:
# an install opens only the active-mode port until the operator names a device.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS example/orv.conf)
file(READ example/orv.conf ORV_EXAMPLE_CONF)
string(REGEX REPLACE "(^|\n)(map|status-port) " "\\1# \\2 " ORV_DEFAULT_CONF "${ORV_EXAMPLE_CONF}")
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/orv.conf.default CONTENT "${ORV_DEFAULT_CONF}"
     @ONLY)

if(WIN32)
  # One folder: Program Files\ORV, or wherever the zip is unpacked.
  install(TARGETS orv RUNTIME DESTINATION .)
  # Copied to C:\ProgramData\orv\orv.conf by the installer when that file does not exist yet.
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orv.conf.default DESTINATION .)
  install(FILES ${ORV_DOCS} dist/prometheus/orv-alerts.yml DESTINATION doc)
else()
  include(GNUInstallDirs)
  install(TARGETS orv RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
  # Absolute on purpose: Debian keeps configuration and units outside the /usr prefix.
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orv.conf.default DESTINATION /etc/orv
          RENAME orv.conf)
  install(FILES dist/orv.service DESTINATION /lib/systemd/system)
  install(FILES ${ORV_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES dist/prometheus/orv-alerts.yml DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

  # orv(8) and orv.conf(5) are sections of the guide, put together by their templates.
  find_program(ORV_MD2MAN go-md2man)
  if(ORV_MD2MAN)
    set(pages "")
    foreach(page orv.8 orv.conf.5)
      set(out ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
      add_custom_command(
        OUTPUT ${out}
        COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/build-man.sh
                ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${page}.md
                ${CMAKE_CURRENT_SOURCE_DIR}/docs/guide.md ${ORV_MD2MAN} ${out} ${PROJECT_VERSION}
        DEPENDS docs/man/${page}.md docs/guide.md docs/man/build-man.sh
        COMMENT "Man page ${page}")
      string(REGEX MATCH "[0-9]$" section ${page})
      install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
      list(APPEND pages ${out})
    endforeach()
    add_custom_target(man ALL DEPENDS ${pages})
  else()
    message(STATUS "go-md2man not found: no man pages (apt-get install go-md2man)")
  endif()
endif()

set(CPACK_PACKAGE_NAME orv)
set(CPACK_PACKAGE_VENDOR ORV)
set(CPACK_PACKAGE_CONTACT "ORV maintainers <maintainers@orv.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "TCP rendezvous relay for devices behind NAT")
# Wrapped for the .deb's control file, whose lines stay within 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
       "Field devices that cannot be reached (behind NAT, on mobile links) connect out"
       "to the relay and name themselves; clients connect to the port configured for"
       "that name, and the relay copies bytes both ways. Runs as a systemd service.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY ORV)
set(CPACK_STRIP_FILES ON)
# The NSIS installer's name differs from the zip's; CPack reads this file per generator.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/packaging-generator.cmake)

if(WIN32)
  set(CPACK_GENERATOR ZIP NSIS)
  set(CPACK_SYSTEM_NAME win64)
  # dist/windows holds the installer's script template (NSIS.template.in).
  list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_SOURCE_DIR}/dist/windows)
  set(CPACK_NSIS_PACKAGE_NAME "ORV ${PROJECT_VERSION}")
  set(CPACK_NSIS_DISPLAY_NAME "ORV ${PROJECT_VERSION}")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/conffiles
      ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postinst
      ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/prerm
      ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postrm)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

include(CPack)
