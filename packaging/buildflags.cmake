# Build settings of the agent as the distribution builds it: the hardening
# flags of dpkg-buildflags and a build date taken from the last commit.
# Included by install.cmake, after the targets exist. Only the agent's own
# program and library (vantrel, vantrel_core) are affected.

# Hardening: stack protector, _FORTIFY_SOURCE, full RELRO with BIND_NOW and
# PIE, as dpkg-buildflags gives them with hardening=+all. On by default when
# dpkg-buildflags exists, except for builds that _FORTIFY_SOURCE does not
# suit: the sanitizer build, the fuzzers and unoptimised (Debug) builds.
find_program(VANTREL_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(VANTREL_DPKG_BUILDFLAGS)
set(_vantrel_hardening_default OFF)
if(VANTREL_DPKG_BUILDFLAGS AND NOT VANTREL_SANITIZE AND NOT VANTREL_FUZZ
   AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(_vantrel_hardening_default ON)
endif()
option(VANTREL_DEB_HARDENING "Build the agent with the hardening flags of dpkg-buildflags"
       ${_vantrel_hardening_default})

# The flags of dpkg-buildflags for |kind| (CXXFLAGS, CPPFLAGS, LDFLAGS) as a
# list, without the optimisation and debugging flags (the build type sets
# those) and without -Wdate-time (the build date is reproducible, below).
function(vantrel_dpkg_buildflags out kind)
  set(options "$ENV{DEB_BUILD_MAINT_OPTIONS}")
  if(options STREQUAL "")
    set(options "hardening=+all")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env "DEB_BUILD_MAINT_OPTIONS=${options}"
            ${VANTREL_DPKG_BUILDFLAGS} --get ${kind}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(g.*|O.*|Wdate-time)$")
  set(${out} ${flags} PARENT_SCOPE)
endfunction()

if(VANTREL_DEB_HARDENING)
  if(NOT VANTREL_DPKG_BUILDFLAGS)
    message(FATAL_ERROR "VANTREL_DEB_HARDENING needs dpkg-buildflags (package dpkg-dev)")
  endif()
  vantrel_dpkg_buildflags(_vantrel_cxxflags CXXFLAGS)
  vantrel_dpkg_buildflags(_vantrel_cppflags CPPFLAGS)
  vantrel_dpkg_buildflags(_vantrel_ldflags LDFLAGS)
  # Debug information names the build folder too: map it as dpkg-buildflags
  # maps the source folder, so that builds in other folders are identical.
  list(APPEND _vantrel_cxxflags "-ffile-prefix-map=${CMAKE_BINARY_DIR}=.")
  target_compile_options(vantrel_core PRIVATE ${_vantrel_cppflags} ${_vantrel_cxxflags})
  target_compile_options(vantrel PRIVATE ${_vantrel_cppflags} ${_vantrel_cxxflags})
  target_link_options(vantrel PRIVATE ${_vantrel_ldflags})
  set_property(TARGET vantrel PROPERTY POSITION_INDEPENDENT_CODE ON)
  set_property(TARGET vantrel_core PROPERTY POSITION_INDEPENDENT_CODE ON)
  message(STATUS "Hardening flags of dpkg-buildflags: ${_vantrel_cppflags} ${_vantrel_cxxflags} "
                 "${_vantrel_ldflags}")
endif()

# Reproducible build date: the version line shows __DATE__ and __TIME__,
# which GCC and Clang take from SOURCE_DATE_EPOCH when it is set. Unless it is
# set when CMake runs, it becomes the time of the last commit of a git
# checkout, read when the build folder is configured. The compiler launcher
# sets it, in front of any launcher already chosen (ccache, for instance).
set(VANTREL_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
if(VANTREL_SOURCE_DATE_EPOCH STREQUAL "" AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  find_program(VANTREL_GIT git)
  mark_as_advanced(VANTREL_GIT)
  if(VANTREL_GIT)
    execute_process(COMMAND ${VANTREL_GIT} -c safe.directory=${CMAKE_SOURCE_DIR} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE VANTREL_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(VANTREL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  foreach(_vantrel_target vantrel_core vantrel)
    get_target_property(_vantrel_launcher ${_vantrel_target} CXX_COMPILER_LAUNCHER)
    if(NOT _vantrel_launcher)
      set(_vantrel_launcher "")
    endif()
    set_property(TARGET ${_vantrel_target} PROPERTY CXX_COMPILER_LAUNCHER
                 env "SOURCE_DATE_EPOCH=${VANTREL_SOURCE_DATE_EPOCH}" ${_vantrel_launcher})
  endforeach()
  message(STATUS "Build date from SOURCE_DATE_EPOCH=${VANTREL_SOURCE_DATE_EPOCH}")
else()
  message(STATUS "Build date: the time of compilation (no git checkout, no SOURCE_DATE_EPOCH)")
endif()
