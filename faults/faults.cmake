# The fault-injection run: the real agent against a misbehaving stand-in
# while its zones file keeps changing. It carries the label "faults" so that
# the everyday test run can leave it out; `make faults` runs it.
if(VANTREL_STANDIN)
  add_executable(vantrel_faults ${CMAKE_SOURCE_DIR}/faults/fault_injection_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/test_main.cpp)
  target_compile_options(vantrel_faults PRIVATE ${VANTREL_WARNINGS})
  target_include_directories(vantrel_faults PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(vantrel_faults PRIVATE vantrel_core vantrel_standin GTest::gtest
                        Threads::Threads)
  target_compile_definitions(vantrel_faults PRIVATE VANTREL_BINARY="$<TARGET_FILE:vantrel>")
  add_dependencies(vantrel_faults vantrel)
  add_test(NAME FaultInjection COMMAND vantrel_faults)
  set_tests_properties(FaultInjection PROPERTIES LABELS faults TIMEOUT 600)
endif()
