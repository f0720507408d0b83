# The server list and the latency probe.
list(APPEND launcher_ui_sources
  ${CMAKE_CURRENT_SOURCE_DIR}/server_list.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/latency_probe.cc)

function(launcher_ui_tests_servers)
  renewel_test(launcher_ui_servers_test
    SOURCES
      ${CMAKE_CURRENT_SOURCE_DIR}/server_list_test.cc
      ${CMAKE_CURRENT_SOURCE_DIR}/latency_probe_test.cc
    LIBS launcher_ui)
endfunction()
