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
  renewel_test_optimised(${name})
  renewel_test_pch(${name})
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

# renewel_test_optimised(TARGET)
#   A test program's own sources built at -O1 in the optimised builds: they
#   wait on servers and processes, not on their own code, and -O1 compiles
#   them in about half the time of -O2 or -O3. The code under test is built
#   as it ships.
function(renewel_test_optimised target)
  target_compile_options(${target} PRIVATE "$<$<CONFIG:Release,RelWithDebInfo>:-O1>")
endfunction()

# renewel_test_pch(TARGET)
#   The test frameworks' headers, parsed once for every test program: about
#   1.5 s of each test file's compile. A test file that needs something else
#   first would see it defined too late, which the compiler's invalid-pch
#   warning tells.
function(renewel_test_pch target)
  if(NOT TARGET renewel_test_pch)
    set(source ${CMAKE_BINARY_DIR}/renewel_test_pch.cc)
    file(CONFIGURE OUTPUT ${source} CONTENT "// The precompiled test headers' own program.\nint main() { return 0; }\n")
    # A program, so that its code is position-independent the way a test
    # program's is (a library's settings would not match).
    add_executable(renewel_test_pch ${source})
    renewel_test_optimised(renewel_test_pch)
    # What every test program links, and so its compile settings.
    target_link_libraries(renewel_test_pch PRIVATE renewel_testing GTest::gmock GTest::gtest)
    target_precompile_headers(renewel_test_pch PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  endif()
  target_precompile_headers(${target} REUSE_FROM renewel_test_pch)
endfunction()

# renewel_fuzzer(NAME SOURCES a_fuzz.cc ... LIBS lib ...)
#   A libFuzzer target, built only in the fuzz preset (clang), and part of
#   the `fuzzers` target.
function(renewel_fuzzer name)
  if(NOT RENEWEL_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  # `fuzzers` builds every target and only what they need (not the tests).
  if(NOT TARGET fuzzers)
    add_custom_target(fuzzers)
  endif()
  add_dependencies(fuzzers ${name})
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

# renewel_headers(TARGET [HEADERS name.h ...] [EXCLUDE name.h ...])
#   The headers TARGET offers, included by their path from the source root
#   ("platform/file.h"). Each is linked (a symbolic link) into an include root
#   of TARGET's own, build/<preset>/include/<TARGET>/<folder>/<name>.h, and
#   that root is TARGET's public include directory (its interface one for an
#   interface library, a private one for a program): a target sees its own
#   headers and those of what it links, through PUBLIC and INTERFACE links,
#   and no others.
#   By default the headers are every *.h of the calling folder, found again
#   at each build, so that a new header needs no line here; subfolders are
#   libraries of their own and are not taken. EXCLUDE leaves out headers that
#   another target of the same folder offers. HEADERS names the headers
#   instead, relative to the calling folder. A generated header is named by
#   its path in the build tree and included by its path from the build root;
#   it goes to a second root, build/<preset>/include-generated/<TARGET>, and
#   what makes it must run before what includes it compiles.
#   The root is kept in the target's property RENEWEL_INCLUDE_ROOT.
function(renewel_headers target)
  cmake_parse_arguments(H "" "" "HEADERS;EXCLUDE" ${ARGN})
  if(H_HEADERS)
    set(headers)
    foreach(h ${H_HEADERS})
      get_filename_component(h ${h} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      list(APPEND headers ${h})
    endforeach()
  else()
    file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
    foreach(h ${H_EXCLUDE})
      list(REMOVE_ITEM headers ${CMAKE_CURRENT_SOURCE_DIR}/${h})
    endforeach()
  endif()
  set(source_headers)
  set(generated_headers)
  foreach(h ${headers})
    # The build tree lies inside the source tree (build/<preset>): ask it first.
    string(FIND "${h}" "${CMAKE_BINARY_DIR}/" in_build)
    if(in_build EQUAL 0)
      list(APPEND generated_headers ${h})
    elseif(EXISTS ${h})
      list(APPEND source_headers ${h})
    else()
      message(FATAL_ERROR "renewel_headers(${target}): no header ${h}")
    endif()
  endforeach()

  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  elseif(type STREQUAL "EXECUTABLE")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  _renewel_stage_headers(${target} ${scope} ${root} ${CMAKE_SOURCE_DIR} "${source_headers}")
  set(generated_root ${CMAKE_BINARY_DIR}/include-generated/${target})
  if(generated_headers OR EXISTS ${generated_root})
    _renewel_stage_headers(${target} ${scope} ${generated_root} ${CMAKE_BINARY_DIR} "${generated_headers}")
  endif()
  set_target_properties(${target} PROPERTIES RENEWEL_INCLUDE_ROOT ${root})
endfunction()

# Links `headers` (absolute paths under `base`) into `root` under their paths
# from `base`, removes the links of headers no longer among them, and makes
# `root` an include directory of `target`. The staged paths are appended to
# the target's property RENEWEL_HEADERS (for renewel_headers_alone).
function(_renewel_stage_headers target scope root base headers)
  set(staged)
  foreach(h ${headers})
    file(RELATIVE_PATH rel ${base} ${h})
    list(APPEND staged ${rel})
    set(link ${root}/${rel})
    if(IS_SYMLINK ${link})
      file(READ_SYMLINK ${link} points_to)
      if(points_to STREQUAL h)
        continue()
      endif()
    endif()
    get_filename_component(dir ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${dir})
    file(REMOVE ${link})
    file(CREATE_LINK ${h} ${link} SYMBOLIC)
  endforeach()
  # A header that went away (or went to another target) leaves no link behind.
  file(GLOB_RECURSE present LIST_DIRECTORIES false RELATIVE ${root} ${root}/*)
  foreach(rel ${present})
    if(NOT rel IN_LIST staged)
      file(REMOVE ${root}/${rel})
    endif()
  endforeach()
  if(NOT staged)
    return()
  endif()
  target_include_directories(${target} ${scope} ${root})
  # The compiler names a header by the path it was found under: __FILE__ (in
  # the engine's check()) and the debug information keep the real path.
  target_compile_options(${target} ${scope}
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${root}/=${base}/>)
  set_property(TARGET ${target} APPEND PROPERTY RENEWEL_HEADERS ${staged})
  get_property(targets GLOBAL PROPERTY RENEWEL_HEADER_TARGETS)
  if(NOT target IN_LIST targets)
    set_property(GLOBAL APPEND PROPERTY RENEWEL_HEADER_TARGETS ${target})
  endif()
endfunction()

# renewel_headers_alone()
#   After every folder: the test include_headers_alone, which compiles each
#   header that renewel_headers offers on its own, in a file of its own, with
#   only what its target links. A header that needs a library its target does
#   not link fails there, even where every file that includes it happens to
#   link that library.
function(renewel_headers_alone)
  get_property(targets GLOBAL PROPERTY RENEWEL_HEADER_TARGETS)
  set(checks)
  foreach(target ${targets})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
      continue()
    endif()
    get_target_property(headers ${target} RENEWEL_HEADERS)
    set(sources)
    foreach(rel ${headers})
      set(source ${CMAKE_BINARY_DIR}/headers_alone/${target}/${rel}.cc)
      file(CONFIGURE OUTPUT ${source} CONTENT "#include \"${rel}\"\n")
      list(APPEND sources ${source})
    endforeach()
    if(sources)
      add_library(headers_alone_${target} OBJECT EXCLUDE_FROM_ALL ${sources})
      target_link_libraries(headers_alone_${target} PRIVATE ${target})
      list(APPEND checks headers_alone_${target})
    endif()
  endforeach()
  add_custom_target(headers_alone DEPENDS ${checks})
  add_test(NAME include_headers_alone COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target headers_alone)
  set_tests_properties(include_headers_alone PROPERTIES RESOURCE_LOCK build_tree TIMEOUT 900)
endfunction()

# renewel_size_optimised(TARGET ...)
#   Code that every package carries (the delta setup program, Gleaner and the
#   libraries only they ship) is built for size in the builds that ship: -Os,
#   and one section per function and datum so that the programs' link can
#   drop what nothing references (renewel_shipped_program).
function(renewel_size_optimised)
  foreach(t ${ARGN})
    target_compile_options(${t} PRIVATE
      "$<$<CONFIG:Release,RelWithDebInfo>:-Os;-ffunction-sections;-fdata-sections>")
  endforeach()
endfunction()

# renewel_shipped_program(TARGET)
#   A program inside every package: size-optimised, linked without the
#   sections nothing references, and without symbol tables (debug with the
#   asan preset's build).
#   On Windows an exception that nothing catches ends the program in the C
#   library's abort() directly: the C++ library's own handler would print the
#   exception's type first, and it carries a symbol demangler and the C
#   library's full printf for that (about 70 KB in every program).
function(renewel_shipped_program target)
  renewel_size_optimised(${target})
  target_link_options(${target} PRIVATE "$<$<CONFIG:Release,RelWithDebInfo>:-Wl,--gc-sections;-s>")
  if(WIN32)
    # 32-bit Windows names C symbols with a leading underscore.
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(u "_")
    else()
      set(u "")
    endif()
    target_link_options(${target} PRIVATE
      "$<$<CONFIG:Release,RelWithDebInfo>:-Wl,--defsym,${u}_ZN9__gnu_cxx27__verbose_terminate_handlerEv=${u}abort>")
  endif()
endfunction()

# renewel_lean_copy(TARGET)
#   A second build of the static library TARGET, named TARGET_lean, for a
#   shipped program whose code catches no exception: built without exceptions
#   and without unwind tables. On Windows the linker keeps every function the
#   unwind tables name, so --gc-sections drops nothing of a library built with
#   them; without them it drops what the program never calls. An exception
#   (out of memory) ends such a program as before: nothing would catch it.
#   The copy links the lean copies of the libraries TARGET links, where they
#   exist (make those first).
function(renewel_lean_copy target)
  get_target_property(sources ${target} SOURCES)
  get_target_property(dir ${target} SOURCE_DIR)
  set(absolute)
  foreach(s ${sources})
    get_filename_component(s ${s} ABSOLUTE BASE_DIR ${dir})
    list(APPEND absolute ${s})
  endforeach()
  set(lean ${target}_lean)
  add_library(${lean} STATIC ${absolute})
  target_include_directories(${lean} PUBLIC $<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>)
  target_compile_definitions(${lean} PUBLIC $<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>)
  target_compile_options(${lean} PRIVATE $<TARGET_PROPERTY:${target},COMPILE_OPTIONS>
                         -fno-exceptions -fno-asynchronous-unwind-tables)
  renewel_size_optimised(${lean})
  get_target_property(libs ${target} LINK_LIBRARIES)
  if(libs)
    foreach(l ${libs})
      if(TARGET ${l}_lean)
        target_link_libraries(${lean} PUBLIC ${l}_lean)
      else()
        target_link_libraries(${lean} PUBLIC ${l})
      endif()
    endforeach()
  endif()
endfunction()

# renewel_size_test(NAME MAX_BYTES MEASURE TARGET ...)
#   A test that runs the program MEASURE with MAX_BYTES and the files of the
#   TARGETs; it fails when MEASURE exits with anything but 0. Registered for
#   the builds that ship only (Release, RelWithDebInfo, no sanitizer or
#   fuzzing build).
function(renewel_size_test name max measure)
  if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo)$" OR RENEWEL_SANITIZE OR RENEWEL_TSAN OR RENEWEL_FUZZ)
    return()
  endif()
  set(files)
  foreach(t ${ARGN})
    list(APPEND files $<TARGET_FILE:${t}>)
  endforeach()
  add_test(NAME ${name} COMMAND ${measure} ${max} ${files})
endfunction()
