# The skinned widgets: the dialog base, bitmap buttons, the animated button and
# the web browser host. launcher_ui_tests_widgets() registers their tests:
# launcher_ui_widgets_test (no display needed) and launcher_ui_display_test
# (starts its own X server, skips without one).
list(APPEND launcher_ui_sources
  ${CMAKE_CURRENT_LIST_DIR}/skin_dialog.cc
  ${CMAKE_CURRENT_LIST_DIR}/bmp_button.cc
  ${CMAKE_CURRENT_LIST_DIR}/flash_bmp_button.cc
  ${CMAKE_CURRENT_LIST_DIR}/web_browser.cc)

set(launcher_ui_widgets_dir ${CMAKE_CURRENT_LIST_DIR})

function(launcher_ui_tests_widgets)
  get_property(done GLOBAL PROPERTY launcher_ui_widgets_tests_registered)
  if(done)
    return()
  endif()
  set_property(GLOBAL PROPERTY launcher_ui_widgets_tests_registered TRUE)
  renewel_test(launcher_ui_widgets_test
    SOURCES ${launcher_ui_widgets_dir}/widgets_test.cc
    LIBS launcher_ui)

  # The display test: its own X server (and Wine prefix under Wine), a time
  # limit, screenshots kept under the build tree.
  set(work ${CMAKE_BINARY_DIR}/display-test)
  add_executable(launcher_ui_display_test ${launcher_ui_widgets_dir}/display_test.cc)
  target_link_libraries(launcher_ui_display_test PRIVATE launcher_ui platform_testing gtest_main)
  target_compile_definitions(launcher_ui_display_test PRIVATE RENEWEL_SCREENSHOT_DIR="${work}/screenshots")
  add_dependencies(launcher_ui_display_test quillfen_resources)
  set(runner)
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set(runner ${CMAKE_CROSSCOMPILING_EMULATOR})
  endif()
  add_test(NAME launcher_ui_display_test
    COMMAND ${launcher_ui_widgets_dir}/display_test.sh ${work} 150 ${runner}
            $<TARGET_FILE:launcher_ui_display_test> --gtest_color=no)
  set_tests_properties(launcher_ui_display_test PROPERTIES TIMEOUT 240 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
endfunction()

# Registered at the end of the folder even where the folder's list does not
# call the function itself; a second call does nothing.
cmake_language(DEFER CALL launcher_ui_tests_widgets)
