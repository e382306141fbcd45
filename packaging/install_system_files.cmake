# Runs at install time (included by the build's cmake_install.cmake): installs
# the compressed manual pages, the documents of the package and the systemd
# unit into the folders that the install-time prefix calls for, and points
# the unit at the installed program and configuration file.
#
# Input variables: VANTREL_PACKAGING_DIR, VANTREL_MAN_DIR, VANTREL_STAGING_DIR,
# VANTREL_GZIP, VANTREL_OBJCOPY, VANTREL_SBINDIR, VANTREL_MANDIR,
# VANTREL_DOCDIR, VANTREL_SYSCONFDIR, VANTREL_UNITDIR, VANTREL_CHANGELOG (the
# package's changelog); CMAKE_INSTALL_PREFIX
# as given to cmake --install (or by CPack). DESTDIR is added by
# file(INSTALL).

# Joins |dir| to the prefix: absolute folders stay as they are.
function(vantrel_under_prefix out dir)
  if(IS_ABSOLUTE "${dir}")
    set(result "${dir}")
  else()
    set(result "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  string(REGEX REPLACE "/+" "/" result "${result}")
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

# A system folder (configuration, systemd unit): for the prefixes / and /usr
# it lies under the root, as /etc and /lib/systemd/system do. With
# |opt_rule| set, a prefix /opt/<name> gives /<dir>/opt/<name>, the layout of
# the GNU installation folders for the configuration folder.
function(vantrel_system_dir out dir opt_rule)
  string(REGEX REPLACE "/+$" "" prefix "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${dir}")
    set(result "${dir}")
  elseif(prefix STREQUAL "" OR prefix STREQUAL "/usr")
    set(result "/${dir}")
  elseif(opt_rule AND prefix MATCHES "^/opt/")
    set(result "/${dir}${prefix}")
  else()
    set(result "${prefix}/${dir}")
  endif()
  string(REGEX REPLACE "/+" "/" result "${result}")
  set(${out} "${result}" PARENT_SCOPE)
endfunction()

vantrel_under_prefix(_vantrel_sbin "${VANTREL_SBINDIR}")
vantrel_under_prefix(_vantrel_man "${VANTREL_MANDIR}")
vantrel_under_prefix(_vantrel_doc "${VANTREL_DOCDIR}")
vantrel_system_dir(_vantrel_etc "${VANTREL_SYSCONFDIR}" TRUE)
vantrel_system_dir(_vantrel_units "${VANTREL_UNITDIR}" FALSE)

# A stripped program (cpack, cmake --install --strip) loses the compiler's
# version notes too, as the Debian tools strip it.
if(CMAKE_INSTALL_DO_STRIP AND VANTREL_OBJCOPY)
  execute_process(COMMAND "${VANTREL_OBJCOPY}" --remove-section=.comment
                          "$ENV{DESTDIR}${_vantrel_sbin}/vantrel")
endif()

# Files are made in a folder of their own for every run, as several installs
# may run at once.
string(RANDOM LENGTH 16 _vantrel_tag)
set(_vantrel_staged "${VANTREL_STAGING_DIR}/install.${_vantrel_tag}")
file(MAKE_DIRECTORY "${_vantrel_staged}")

# |source| compressed as the Debian tools do it (gzip -9n: no name, no time,
# so the result depends on the content only), installed into |folder|.
function(vantrel_install_gzipped source folder name)
  execute_process(COMMAND "${VANTREL_GZIP}" -9n -c "${source}"
                  OUTPUT_FILE "${_vantrel_staged}/${name}"
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed")
  endif()
  file(INSTALL DESTINATION "${folder}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${_vantrel_staged}/${name}")
endfunction()

vantrel_install_gzipped("${VANTREL_MAN_DIR}/vantrel.8" "${_vantrel_man}/man8" vantrel.8.gz)
vantrel_install_gzipped("${VANTREL_MAN_DIR}/vantrel.conf.5" "${_vantrel_man}/man5" vantrel.conf.5.gz)
vantrel_install_gzipped("${VANTREL_CHANGELOG}" "${_vantrel_doc}"
                        changelog.Debian.gz)
file(INSTALL DESTINATION "${_vantrel_doc}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${VANTREL_PACKAGING_DIR}/deb/copyright")

# The unit in the sources names /usr/sbin/vantrel and /etc/vantrel.conf, the
# paths for the prefix /usr; any other layout gets its own paths.
file(READ "${VANTREL_PACKAGING_DIR}/vantrel.service" _vantrel_unit)
string(REPLACE "/usr/sbin/vantrel" "${_vantrel_sbin}/vantrel" _vantrel_unit "${_vantrel_unit}")
string(REPLACE "/etc/vantrel.conf" "${_vantrel_etc}/vantrel.conf" _vantrel_unit "${_vantrel_unit}")
file(WRITE "${_vantrel_staged}/vantrel.service" "${_vantrel_unit}")
file(INSTALL DESTINATION "${_vantrel_units}" TYPE FILE
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
     FILES "${_vantrel_staged}/vantrel.service")
file(REMOVE_RECURSE "${_vantrel_staged}")
