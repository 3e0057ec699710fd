# Install layout and the Debian package.
#
#   cmake -S . -B build -DCMAKE_INSTALL_PREFIX=/usr && cmake --build build
#   cmake --install build        # or: cd build && cpack -G DEB
#
# With the prefix /usr the configuration goes to /etc/vostrelld; with any
# other prefix to PREFIX/etc/vostrelld. The systemd unit names the installed
# daemon and configuration, so configure with the prefix that the files are
# finally installed under; the package is built for that same prefix.

include(GNUInstallDirs)

set(VOSTRELLD_CONFIG_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/vostrelld/vostrelld.cfg")
set(VOSTRELLD_SYSTEMD_UNIT_DIR "lib/systemd/system"
    CACHE STRING "Directory of the systemd unit, relative to the prefix or absolute")
set(VOSTRELLD_PACKAGE_CONTACT "vostrelld maintainers <root@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

if(IS_ABSOLUTE "${VOSTRELLD_SYSTEMD_UNIT_DIR}")
  set(VOSTRELLD_FULL_SYSTEMD_UNIT_DIR "${VOSTRELLD_SYSTEMD_UNIT_DIR}")
else()
  set(VOSTRELLD_FULL_SYSTEMD_UNIT_DIR "${CMAKE_INSTALL_PREFIX}/${VOSTRELLD_SYSTEMD_UNIT_DIR}")
endif()

configure_file(dist/vostrelld.service.in vostrelld.service @ONLY)

# Manual pages are installed compressed, as Debian keeps them.
set(manual_pages man/vostrelld.8 man/vostrelld-tap.1)
set(compressed_pages)
foreach(page IN LISTS manual_pages)
  set(compressed ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
  add_custom_command(
    OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND gzip -9nc ${CMAKE_CURRENT_SOURCE_DIR}/${page} > ${compressed}
    DEPENDS ${page}
    VERBATIM)
  list(APPEND compressed_pages ${compressed})
endforeach()
add_custom_target(manual_pages ALL DEPENDS ${compressed_pages})

install(TARGETS vostrelld RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS vostrelld-tap RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/vostrelld.8.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/vostrelld-tap.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES dist/vostrelld.cfg README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vostrelld.service dist/vostrelld.socket
        DESTINATION ${VOSTRELLD_SYSTEMD_UNIT_DIR})
# For the operator's Prometheus and Grafana: alerting rules with their unit
# tests, a scrape job, and a dashboard.
install(FILES dist/prometheus/vostrelld.rules.yml dist/prometheus/vostrelld.rules.test.yml
              dist/prometheus/prometheus.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vostrelld/prometheus)
install(FILES dist/grafana/vostrelld.json DESTINATION ${CMAKE_INSTALL_DATADIR}/vostrelld/grafana)

# An installed configuration is the operator's: a later install keeps it.
# (The package always ships it; dpkg asks before replacing a changed one.)
install(CODE "
  set(config \"\$ENV{DESTDIR}${VOSTRELLD_CONFIG_FILE}\")
  if(EXISTS \"\${config}\")
    message(STATUS \"Kept: \${config}\")
  else()
    file(INSTALL \"${CMAKE_CURRENT_SOURCE_DIR}/dist/vostrelld.cfg\"
         DESTINATION \"${CMAKE_INSTALL_FULL_SYSCONFDIR}/vostrelld\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
")

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles "${VOSTRELLD_CONFIG_FILE}\n")

set(CPACK_PACKAGE_NAME vostrelld)
set(CPACK_PACKAGE_VENDOR vostrelld)
set(CPACK_PACKAGE_CONTACT "${VOSTRELLD_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay daemon for text messages over ZeroMQ and UDP")
set(CPACK_PACKAGE_DESCRIPTION
    "vostrelld takes text messages on a ZeroMQ PULL endpoint and a UDP port and
routes each by its prefix to a publisher, a gateway publisher or one of two
message processors, never waiting for a slow consumer. It runs under systemd
and reports through the system log. vostrelld-tap sends texts to it and shows
what leaves it.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
# Stage with DESTDIR, so that the absolute /etc destination lands in the
# package and never on the building host.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the CZMQ and libzmq runtime packages (libczmq4,
# libzmq5), the Prometheus client and its web server (libprometheus-cpp-pull1.0,
# libcivetweb1), zlib (zlib1g, the spool's checksums) and the C and C++
# runtimes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/prerm ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
