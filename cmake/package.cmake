# What an installed zem-host needs beside its program: the default policy as
# an editable file, the service unit, the documentation; and the Debian
# package made from all of it by `cpack -G DEB`.
install(FILES ${CMAKE_SOURCE_DIR}/policy/default.json DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zem
        RENAME policy.json PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Units of packages live under lib/ of the prefix (/usr/lib/systemd/system
# for a package); a local install may point ZEM_SYSTEMD_UNIT_DIR elsewhere.
set(ZEM_SYSTEMD_UNIT_DIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system CACHE PATH "Where the service unit is installed")
# Named after the package, as Debian keeps documentation.
set(ZEM_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zem-host)
set(ZEM_FULL_DOC_DIR ${CMAKE_INSTALL_PREFIX}/${ZEM_DOC_DIR})
configure_file(${CMAKE_SOURCE_DIR}/packaging/zem-host.service.in ${CMAKE_BINARY_DIR}/zem-host.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zem-host.service DESTINATION ${ZEM_SYSTEMD_UNIT_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/zem-host.md ${CMAKE_SOURCE_DIR}/docs/policy.md
              ${CMAKE_SOURCE_DIR}/docs/https_inspection.md
        DESTINATION ${ZEM_DOC_DIR})

set(CPACK_PACKAGE_NAME zem-host)
set(CPACK_PACKAGE_VENDOR "zem")
set(CPACK_PACKAGE_CONTACT "zem maintainers <zem@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "filtering web and mail proxy with its content-filtering engine")
set(CPACK_PACKAGE_DESCRIPTION
    "zem-host relays TCP connections through the zem_net engine, which follows HTTP, mail, FTP and TLS \
and filters advertisements, pop-ups, scripts and attachments by a JSON policy. The package holds \
the engine library and headers, zem-host, a default policy in /etc/zem and a systemd unit.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are read off the binaries by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# dpkg keeps an edited policy across upgrades and removes it on purge.
file(WRITE ${CMAKE_BINARY_DIR}/package/conffiles "${CMAKE_INSTALL_FULL_SYSCONFDIR}/zem/policy.json\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/package/conffiles ${CMAKE_SOURCE_DIR}/packaging/debian/postinst
    ${CMAKE_SOURCE_DIR}/packaging/debian/prerm ${CMAKE_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
