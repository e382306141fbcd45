# Installation rules and the Debian package of the agent.
#
#   cmake --install <build> --prefix /usr      (DESTDIR=... for a staged tree)
#   cd <build> && cpack -G DEB                 (or: make deb)
#
# Installed, for the prefix /usr:
#   /usr/sbin/vantrel                             the agent
#   /lib/systemd/system/vantrel.service           systemd unit
#   /usr/share/vantrel/vantrel.conf.example       template of /etc/vantrel.conf
#   /usr/share/man/man8/vantrel.8.gz              manual of the agent
#   /usr/share/man/man5/vantrel.conf.5.gz         manual of the configuration file
#   /usr/share/doc/vantrel/copyright              licence, machine-readable
#   /usr/share/doc/vantrel/changelog.Debian.gz    history of the package
#
# Nothing is installed under /etc: the package's postinst creates
# /etc/vantrel.conf from the template (root:vantrel, mode 0640) when it does
# not exist, and its postrm removes it on purge. Only the agent is
# installed: the test programs and the stand-in service stay in the build
# folder.
#
# The unit folder follows the prefix chosen at install time: for the prefix /
# or /usr it is /lib/systemd/system, otherwise <prefix>/lib/systemd/system
# (an absolute VANTREL_SYSTEMD_UNIT_DIR is used as it is). The unit's
# ExecStart names the installed program and the configuration file beside
# the configuration folder of the prefix.

include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/buildflags.cmake)

set(VANTREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Folder of the systemd unit; relative to / for the prefixes / and /usr, else to the prefix")
find_program(VANTREL_GZIP gzip REQUIRED)
mark_as_advanced(VANTREL_GZIP)

install(TARGETS vantrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vantrel.conf.example
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel)

# The manual pages (compressed), the documents and the unit are written at
# install time into the folders that the install-time prefix calls for.
get_filename_component(_vantrel_packaging_dir ${CMAKE_CURRENT_LIST_DIR} ABSOLUTE)
get_filename_component(_vantrel_man_dir ${CMAKE_CURRENT_LIST_DIR}/../man ABSOLUTE)
install(CODE "
set(VANTREL_PACKAGING_DIR \"${_vantrel_packaging_dir}\")
set(VANTREL_MAN_DIR \"${_vantrel_man_dir}\")
set(VANTREL_STAGING_DIR \"${CMAKE_CURRENT_BINARY_DIR}/packaging\")
set(VANTREL_GZIP \"${VANTREL_GZIP}\")
set(VANTREL_OBJCOPY \"${CMAKE_OBJCOPY}\")
set(VANTREL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(VANTREL_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
set(VANTREL_DOCDIR \"${CMAKE_INSTALL_DATADIR}/doc/vantrel\")
set(VANTREL_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
set(VANTREL_UNITDIR \"${VANTREL_SYSTEMD_UNIT_DIR}\")
include(\"${_vantrel_packaging_dir}/install_system_files.cmake\")
")

# The installation tests build a package from this build folder.
if(TARGET vantrel_tests)
  set(_vantrel_hardened 0)
  if(VANTREL_DEB_HARDENING)
    set(_vantrel_hardened 1)
  endif()
  target_compile_definitions(vantrel_tests PRIVATE
    VANTREL_BUILD_DIR="${CMAKE_BINARY_DIR}"
    VANTREL_CPACK_COMMAND="${CMAKE_CPACK_COMMAND}"
    VANTREL_HARDENED=${_vantrel_hardened})
endif()

# Debian package: cpack -G DEB in the build folder. The version's Debian
# revision comes from the newest entry of packaging/deb/changelog, whose
# upstream version must be the project's.
file(STRINGS ${_vantrel_packaging_dir}/deb/changelog _vantrel_changelog_head LIMIT_COUNT 1)
if(_vantrel_changelog_head MATCHES "^vantrel \\(([^-)]+)-([^)]+)\\)")
  set(_vantrel_deb_release "${CMAKE_MATCH_2}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "packaging/deb/changelog names version ${CMAKE_MATCH_1}, the project "
                    "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
  endif()
else()
  message(FATAL_ERROR "packaging/deb/changelog: no version in its first line")
endif()

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vantrel")
set(CPACK_PACKAGE_VENDOR "Vantrel")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${_vantrel_deb_release}")
set(CPACK_PACKAGE_CONTACT "Vantrel developers <vantrel@packages.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "agent mirroring BIND master zones into a cloud DNS service")
# CPack puts the summary in front of the description as its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Vantrel runs beside a BIND name server, watches its named.conf-style zones
file and mirrors the master zones it lists into the per-agent zone list of a
cloud DNS service over HTTPS/JSON. It inserts new zones, deletes vanished
ones (with a guard against mass deletion), sends a heartbeat and reconciles
the service's list in full at start.
.
The service runs as the unprivileged user vantrel. Set the service's host
name, the token and the zones file in /etc/vantrel.conf, then enable
vantrel.service.")
# The DEB generator stages the tree with DESTDIR, so the install-time prefix
# is /usr and the unit folder becomes /lib/systemd/system.
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
# adduser for the postinst, procps for the unit's ExecReload (/bin/kill,
# absent from a minimal system); the libraries from dpkg-shlibdeps when it
# exists.
find_program(VANTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VANTREL_DPKG_SHLIBDEPS)
if(VANTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, procps")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "adduser, procps, libc6, libstdc++6, libcurl4, libjsoncpp25, libsystemd0")
endif()
# The maintainer scripts hold, written out, what the Debian systemd helpers
# generate (deb-systemd-helper, deb-systemd-invoke), plus the user, the
# configuration file and the removal of the old example under /etc.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${_vantrel_packaging_dir}/deb/preinst
    ${_vantrel_packaging_dir}/deb/postinst
    ${_vantrel_packaging_dir}/deb/prerm
    ${_vantrel_packaging_dir}/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
