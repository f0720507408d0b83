# Project helpers shared by every module folder.

# renewel_platform_sources(VAR service...)
#   For each service, adds <service>.cc when it exists (portable part) and
#   <service>_<platform>.cc (the backend this build targets).
function(renewel_platform_sources var)
  set(out)
  foreach(svc ${ARGN})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${svc}.cc)
      list(APPEND out ${svc}.cc)
    endif()
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${svc}_${RENEWEL_PLATFORM}.cc)
      list(APPEND out ${svc}_${RENEWEL_PLATFORM}.cc)
    endif()
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# renewel_test(NAME SOURCES a_test.cc ... LIBS lib ...)
#   A GoogleTest executable in bin/, registered with CTest. Cross builds run it
#   through CMAKE_CROSSCOMPILING_EMULATOR (Wine).
function(renewel_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} platform_testing gmock gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
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
  find_package(benchmark REQUIRED)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
