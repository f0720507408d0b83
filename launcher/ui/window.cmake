# The launcher window and the game start. launcher_ui_tests_window() registers
# launcher_ui_window_test (no display needed) and launcher_window_e2e_test
# (the launcher program under its own X server; skips without one).
list(APPEND launcher_ui_sources ${CMAKE_CURRENT_LIST_DIR}/launcher_dialog.cc)
list(APPEND launcher_ui_libs launcher_update)

set(launcher_ui_window_dir ${CMAKE_CURRENT_LIST_DIR})

function(launcher_ui_tests_window)
  renewel_test(launcher_ui_window_test
    SOURCES ${launcher_ui_window_dir}/launcher_dialog_test.cc
    LIBS launcher_ui)
  launcher_ui_tests_window_e2e()
endfunction()

# The player's journey under a private X server: the real launcher in a
# throw-away install against a local nginx, driven with xdotool. Screenshots
# are kept under the build tree.
function(launcher_ui_tests_window_e2e)
  set(work ${CMAKE_BINARY_DIR}/window-e2e)
  add_executable(launcher_window_e2e_test ${launcher_ui_window_dir}/window_e2e_test.cc)
  target_link_libraries(launcher_window_e2e_test PRIVATE launcher_ui win_dl_net_testing platform_testing gtest_main)
  target_compile_definitions(launcher_window_e2e_test PRIVATE RENEWEL_SCREENSHOT_DIR="${work}/screenshots")
  add_dependencies(launcher_window_e2e_test renewel quillfen_resources dovra_version sample_setup publish recorder)
  set(runner)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  add_test(NAME launcher_window_e2e_test
    COMMAND ${launcher_ui_window_dir}/display_test.sh ${work} 840 ${runner}
            $<TARGET_FILE:launcher_window_e2e_test> --gtest_color=no)
  # It runs the launcher program, which holds the single-instance mutex.
  set_tests_properties(launcher_window_e2e_test PROPERTIES TIMEOUT 900 SKIP_RETURN_CODE 77
                       RESOURCE_LOCK launcher_instance_mutex)
endfunction()
