# Installation rules and the Debian package of the agent.
#
#   cmake --install <build> --prefix /usr      (DESTDIR=... for a staged tree)
#   cd <build> && cpack -G DEB                 (or: make deb, make debs)
#
# Installed, for the prefix /usr:
#   /usr/sbin/vantrel                             the agent
#   /lib/systemd/system/vantrel.service           systemd unit (/usr/lib/... in
#                                                 a package for a Debian release)
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
#
# VANTREL_DEBIAN_RELEASE names the Debian release a package is built for: 12
# or 13 (or bookworm, trixie; the list is packaging/deb/releases), or "auto"
# for this machine's. Its package's version ends in "+deb<N>u1", so that the
# packages of two releases can stand in one repository and upgrading the
# system from 12 to 13 upgrades the package; its changelog starts with an
# entry for that version; its unit lies in /usr/lib/systemd/system, the only
# place Debian 13 accepts (/lib is a link there) and one Debian 12 reads
# too. Empty (a plain build): the changelog's version and /lib/systemd/system.

include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/buildflags.cmake)

get_filename_component(_vantrel_packaging_dir ${CMAKE_CURRENT_LIST_DIR} ABSOLUTE)
set(VANTREL_DEBIAN_RELEASE "" CACHE STRING
    "Debian release the package is built for (12, 13, their code names or auto); empty: none")
set(_vantrel_deb_suffix "")
set(_vantrel_changelog ${_vantrel_packaging_dir}/deb/changelog)
if(NOT VANTREL_DEBIAN_RELEASE STREQUAL "")
  # This machine's release, from os-release(5): ID=debian and VERSION_ID. A
  # package links the libraries of the machine that builds it, so it is built
  # on its own release only (make debs builds each inside a root of it).
  set(_vantrel_machine "unknown")
  if(EXISTS /etc/os-release)
    file(STRINGS /etc/os-release _vantrel_os REGEX "^(ID|VERSION_ID)=")
    if("ID=debian" IN_LIST _vantrel_os)
      list(FILTER _vantrel_os INCLUDE REGEX "^VERSION_ID=")
      string(REGEX REPLACE "^VERSION_ID=\"?([^\"]*)\"?$" "\\1" _vantrel_machine "${_vantrel_os}")
    endif()
  endif()
  set(_vantrel_release "${VANTREL_DEBIAN_RELEASE}")
  if(_vantrel_release STREQUAL "auto")
    set(_vantrel_release "${_vantrel_machine}")
  endif()
  file(STRINGS ${_vantrel_packaging_dir}/deb/releases _vantrel_releases REGEX "^[0-9]+ [a-z]+$")
  set(_vantrel_supported "")
  foreach(_vantrel_line ${_vantrel_releases})
    string(REPLACE " " ";" _vantrel_line "${_vantrel_line}")
    list(GET _vantrel_line 0 _vantrel_number)
    list(GET _vantrel_line 1 _vantrel_codename)
    list(APPEND _vantrel_supported "${_vantrel_number} (${_vantrel_codename})")
    if(_vantrel_release STREQUAL _vantrel_number OR _vantrel_release STREQUAL _vantrel_codename)
      set(_vantrel_deb_suffix "+deb${_vantrel_number}u1")
      set(_vantrel_deb_number ${_vantrel_number})
      string(CONCAT _vantrel_deb_entry "${_vantrel_codename}; urgency=medium\n\n"
             "  * Built for Debian ${_vantrel_number} (${_vantrel_codename}).\n")
    endif()
  endforeach()
  if(_vantrel_deb_suffix STREQUAL "")
    list(JOIN _vantrel_supported ", " _vantrel_supported)
    message(FATAL_ERROR "VANTREL_DEBIAN_RELEASE=${VANTREL_DEBIAN_RELEASE}: unsupported Debian "
                        "release \"${_vantrel_release}\"; supported: ${_vantrel_supported}")
  elseif(NOT _vantrel_deb_number STREQUAL _vantrel_machine)
    message(FATAL_ERROR "VANTREL_DEBIAN_RELEASE=${VANTREL_DEBIAN_RELEASE}: the package of Debian "
                        "${_vantrel_deb_number} is built on Debian ${_vantrel_deb_number} only "
                        "(this machine's release: ${_vantrel_machine}); make debs builds it "
                        "inside a root of that release")
  endif()
endif()

# The version's Debian revision comes from the newest entry of
# packaging/deb/changelog, whose upstream version must be the project's. A
# package for a Debian release adds its suffix and gets a changelog that
# starts with an entry for its version, signed as the newest entry and dated
# by the build's date (so that the package stays reproducible).
file(READ ${_vantrel_packaging_dir}/deb/changelog _vantrel_changelog_text)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${_vantrel_packaging_dir}/deb/changelog ${_vantrel_packaging_dir}/deb/releases)
string(REGEX MATCH "\n -- [^\n]+" _vantrel_changelog_trailer "${_vantrel_changelog_text}")
if(_vantrel_changelog_text MATCHES "^vantrel \\(([^-)]+)-([^)]+)\\)")
  set(_vantrel_deb_release "${CMAKE_MATCH_2}${_vantrel_deb_suffix}")
  if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
    message(WARNING "packaging/deb/changelog names version ${CMAKE_MATCH_1}, the project "
                    "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
  endif()
else()
  message(FATAL_ERROR "packaging/deb/changelog: no version in its first line")
endif()
if(NOT _vantrel_deb_suffix STREQUAL "")
  # Dated by the build's date (buildflags.cmake), which TIMESTAMP reads from
  # the environment.
  set(_vantrel_env_date "$ENV{SOURCE_DATE_EPOCH}")
  set(ENV{SOURCE_DATE_EPOCH} "${VANTREL_SOURCE_DATE_EPOCH}")
  string(TIMESTAMP _vantrel_deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  if(_vantrel_env_date STREQUAL "")
    unset(ENV{SOURCE_DATE_EPOCH})
  else()
    set(ENV{SOURCE_DATE_EPOCH} "${_vantrel_env_date}")
  endif()
  string(REGEX REPLACE "  [^ ].*" "  ${_vantrel_deb_date}" _vantrel_changelog_trailer
                       "${_vantrel_changelog_trailer}")
  set(_vantrel_changelog ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog)
  file(WRITE ${_vantrel_changelog} "vantrel (${PROJECT_VERSION}-${_vantrel_deb_release}) "
             "${_vantrel_deb_entry}${_vantrel_changelog_trailer}\n\n"
             "${_vantrel_changelog_text}")
endif()

set(VANTREL_SYSTEMD_UNIT_DIR "" CACHE STRING "Folder of the systemd unit (empty: as \
VANTREL_DEBIAN_RELEASE calls for); relative to / for the prefixes / and /usr, else to the prefix")
set(_vantrel_unit_dir "${VANTREL_SYSTEMD_UNIT_DIR}")
if(_vantrel_unit_dir STREQUAL "" AND _vantrel_deb_suffix STREQUAL "")
  set(_vantrel_unit_dir "lib/systemd/system")
elseif(_vantrel_unit_dir STREQUAL "")
  set(_vantrel_unit_dir "/usr/lib/systemd/system")
endif()
find_program(VANTREL_GZIP gzip REQUIRED)
mark_as_advanced(VANTREL_GZIP)

install(TARGETS vantrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/vantrel.conf.example
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vantrel)

# The manual pages (compressed), the documents and the unit are written at
# install time into the folders that the install-time prefix calls for.
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
set(VANTREL_UNITDIR \"${_vantrel_unit_dir}\")
set(VANTREL_CHANGELOG \"${_vantrel_changelog}\")
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
# is /usr and the unit folder /lib/systemd/system (/usr/lib/systemd/system
# for a Debian release).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX "/usr")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates, bind9-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bind9")
# adduser for the postinst, procps for the unit's ExecReload (/bin/kill,
# absent from a minimal system); the libraries from dpkg-shlibdeps when it
# exists.
find_program(VANTREL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(VANTREL_DPKG_SHLIBDEPS)
if(VANTREL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, procps")
elseif(NOT _vantrel_deb_suffix STREQUAL "")
  message(FATAL_ERROR "A package for a Debian release needs dpkg-shlibdeps (package dpkg-dev)")
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
# CPack dates the package's files and archive members by SOURCE_DATE_EPOCH
# when it is set: the build's date (buildflags.cmake) unless cpack's
# environment sets one, so that two packages of one commit are identical.
if(VANTREL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/packaging/cpack_date.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n"
             "  set(ENV{SOURCE_DATE_EPOCH} ${VANTREL_SOURCE_DATE_EPOCH})\nendif()\n")
endif()
include(CPack)
