# libFuzzer targets, built with clang when VANTREL_FUZZ is on. The library is
# instrumented for coverage and checked by AddressSanitizer and
# UndefinedBehaviorSanitizer; every sanitizer finding aborts the run.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VANTREL_FUZZ needs clang: configure with CXX=clang++")
endif()

set(VANTREL_FUZZ_SANITIZERS address,undefined)
set(VANTREL_FUZZ_COMPILE_FLAGS -fno-sanitize-recover=all -fno-omit-frame-pointer -g)

target_compile_options(vantrel_core PRIVATE
  -fsanitize=fuzzer-no-link,${VANTREL_FUZZ_SANITIZERS} ${VANTREL_FUZZ_COMPILE_FLAGS})
# Programs other than the fuzz targets that link the library need the
# sanitizer runtimes, which also provide the coverage callbacks.
target_link_options(vantrel_core INTERFACE -fsanitize=${VANTREL_FUZZ_SANITIZERS})

set(VANTREL_FUZZ_TARGETS config_fuzz zones_fuzz reply_fuzz)
foreach(name ${VANTREL_FUZZ_TARGETS})
  add_executable(${name} ${CMAKE_SOURCE_DIR}/fuzz/${name}.cpp)
  target_compile_options(${name} PRIVATE ${VANTREL_WARNINGS}
    -fsanitize=fuzzer,${VANTREL_FUZZ_SANITIZERS} ${VANTREL_FUZZ_COMPILE_FLAGS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,${VANTREL_FUZZ_SANITIZERS})
  target_link_libraries(${name} PRIVATE vantrel_core)
endforeach()

# Builds every fuzz target and nothing else.
add_custom_target(vantrel_fuzzers DEPENDS ${VANTREL_FUZZ_TARGETS})
