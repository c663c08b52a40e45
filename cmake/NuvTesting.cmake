# nuv_add_test(<name> SOURCES <files...> [LIBS <targets...>] [DEPENDS <targets...>] [REAL_MACHINE_REGISTRY])
# One GoogleTest program = one ctest entry, run under Wine through the crosscompiling emulator.
# Each program gets a HKEY_LOCAL_MACHINE of its own (tests/support/MachineRegistry.h); a program
# whose tests go through Windows' own tools (regsvr32) opts out with REAL_MACHINE_REGISTRY.
# Every test needs the prepared prefix: the fixture NuvWinePrefix sets it up once a run.
function(nuv_add_test name)
  cmake_parse_arguments(ARG "REAL_MACHINE_REGISTRY" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  if(ARG_REAL_MACHINE_REGISTRY)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock_main)
  else()
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock nuv_test_main)
  endif()
  if(ARG_DEPENDS)
    add_dependencies(${name} ${ARG_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED NuvWinePrefix)
endfunction()
