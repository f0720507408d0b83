# Project helpers shared by every module folder.

# renewel_test(NAME SOURCES a_test.cc ... LIBS lib ...
#              [TIMEOUT seconds] [DEPENDS target ...] [WRAPPER script arg ...])
#   A GoogleTest executable in bin/, linked with the shared test library and
#   registered with CTest. DEPENDS names the programs it starts. WRAPPER runs it
#   through a script (the display runner): the script, its arguments, then the
#   test program. Cross builds run the program through
#   CMAKE_CROSSCOMPILING_EMULATOR (Wine).
function(renewel_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;DEPENDS;WRAPPER" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} renewel_testing GTest::gmock GTest::gtest_main)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  if(T_WRAPPER)
    add_test(NAME ${name} COMMAND ${T_WRAPPER} ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${name}> --gtest_color=no)
  else()
    add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()

# renewel_fuzzer(NAME SOURCES a_fuzz.cc ... LIBS lib ...)
#   A libFuzzer target, built only in the fuzz preset (clang).
function(renewel_fuzzer name)
  if(NOT RENEWEL_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()

# renewel_benchmark(NAME SOURCES a_bench.cc ... LIBS lib ...)
#   A Google Benchmark program, built in the native preset only.
function(renewel_benchmark name)
  if(NOT RENEWEL_BENCH OR WIN32)
    return()
  endif()
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()

# renewel_remote_test(NAME TEST_PROGRAM FILTER)
#   Natively, where the fault server can run in the test process: the tests
#   of TEST_PROGRAM matching FILTER once more with the fault server in its
#   helper program (testing/programs/fault_server), as the Windows build runs
#   them. A skipped test fails here: the helper must be there.
function(renewel_remote_test name program filter)
  if(NOT CPP_HTTPLIB_LIBRARY)
    return()
  endif()
  add_dependencies(${program} fault_server)
  add_test(NAME ${name} COMMAND ${program} --gtest_color=no --gtest_filter=${filter})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT RENEWEL_FAULT_SERVER=helper
    FAIL_REGULAR_EXPRESSION "\\[  SKIPPED \\]"
    TIMEOUT 900)
endfunction()
