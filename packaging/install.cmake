# Installation rules and the Debian package of the agent.
#
#   cmake --install <build> --prefix /usr      (DESTDIR=... for a staged tree)
#   cd <build> && cpack -G DEB
#
# Installed, for the prefix /usr:
#   /usr/sbin/vantrel                     the agent
#   /etc/vantrel.conf.example             commented example configuration
#   /lib/systemd/system/vantrel.service   systemd unit
#   /usr/share/man/man8/vantrel.8         manual of the agent
#   /usr/share/man/man5/vantrel.conf.5    manual of the configuration file
#
# Only the agent is installed: the test programs and the local stand-in of
# the service stay in the build folder.
#
# The configuration folder and the unit folder follow the prefix chosen at
# install time (cmake --install --prefix), not only the one configured: for
# the prefix / or /usr they are /etc and /lib/systemd/system, for /opt/<name>
# /etc/opt/<name> and <prefix>/lib/systemd/system, otherwise <prefix>/etc
# and <prefix>/lib/systemd/system. An absolute CMAKE_INSTALL_SYSCONFDIR or
# VANTREL_SYSTEMD_UNIT_DIR is used as it is. The unit's ExecStart names the
# installed program and configuration file.

include(GNUInstallDirs)

set(VANTREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd unit; relative to / for the prefixes / and /usr, else to the prefix")

install(TARGETS vantrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../man/vantrel.8
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../man/vantrel.conf.5
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# The example configuration and the unit go where the install-time prefix
# says; the script works that out when it runs.
get_filename_component(_vantrel_packaging_dir ${CMAKE_CURRENT_LIST_DIR} ABSOLUTE)
install(CODE "
set(VANTREL_PACKAGING_DIR \"${_vantrel_packaging_dir}\")
set(VANTREL_STAGING_DIR \"${CMAKE_CURRENT_BINARY_DIR}/packaging\")
set(VANTREL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(VANTREL_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
set(VANTREL_UNITDIR \"${VANTREL_SYSTEMD_UNIT_DIR}\")
include(\"${_vantrel_packaging_dir}/install_system_files.cmake\")
")

# The installation tests install this build folder into a scratch folder
# and build a package from it.
if(TARGET vantrel_tests)
  target_compile_definitions(vantrel_tests PRIVATE
    VANTREL_BUILD_DIR="${CMAKE_BINARY_DIR}"
    VANTREL_CMAKE_COMMAND="${CMAKE_COMMAND}"
    VANTREL_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
    VANTREL_PROJECT_VERSION="${PROJECT_VERSION}")
endif()

# Debian package: cpack -G DEB in the build folder.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vantrel")
set(CPACK_PACKAGE_VENDOR "Vantrel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Vantrel maintainers <maintainers@vantrel.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "agent mirroring BIND master zones into a cloud DNS service")
set(CPACK_PACKAGE_DESCRIPTION
    "Vantrel runs beside a BIND name server, watches its named.conf-style zones
file and mirrors the master zones it lists into the per-agent zone list of a
cloud DNS service over HTTPS/JSON. It inserts new zones, deletes vanished
ones, sends a heartbeat and reconciles the service's list in full at start.
Configure /etc/vantrel.conf (see /etc/vantrel.conf.example) and enable
vantrel.service.")
# The DEB generator stages the tree with DESTDIR, so the install-time prefix
# is /usr and the configuration and unit folders become /etc and
# /lib/systemd/system.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bind9")
find_program(VANTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VANTREL_DPKG_SHLIBDEPS)
if(VANTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libcurl4, libjsoncpp25")
endif()
# Every file under /etc is a conffile; the maintainer scripts reload systemd
# and stop and disable the service when the package is removed.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/packaging/deb/conffiles "/etc/vantrel.conf.example\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/deb/conffiles
    ${_vantrel_packaging_dir}/deb/postinst
    ${_vantrel_packaging_dir}/deb/prerm
    ${_vantrel_packaging_dir}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
