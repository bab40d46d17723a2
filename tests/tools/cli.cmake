# plenko-tq tests. cli_tests run the tool in-process and as a process against
# simulated devices on loopback; cli_scan_tests scan by DNS-SD and therefore
# run only inside private network namespaces (through scripts/netns).
if(NOT TARGET tq_cli OR NOT TARGET tq_sim)
  message(STATUS "plenko-tq tests need the tools (PLENKO_BUILD_TOOLS)")
  return()
endif()

add_library(tq_cli_test_support STATIC ${CMAKE_CURRENT_SOURCE_DIR}/cli_support.cpp)
target_include_directories(tq_cli_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(tq_cli_test_support PUBLIC tq_cli tq_sim GTest::gmock)
target_compile_definitions(tq_cli_test_support PUBLIC TQ_CLI_PATH="$<TARGET_FILE:plenko-tq>")
add_dependencies(tq_cli_test_support plenko-tq)

add_executable(cli_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_format_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_progress_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_command_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_select_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_fleet_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/cli_process_test.cpp)
target_link_libraries(cli_tests PRIVATE tq_cli_test_support GTest::gmock_main)
gtest_discover_tests(cli_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES LABELS cli)

if(TARGET tq_discovery_support)
  add_executable(cli_scan_tests ${CMAKE_CURRENT_SOURCE_DIR}/cli_scan_test.cpp)
  target_link_libraries(cli_scan_tests PRIVATE tq_cli_test_support tq_discovery_support GTest::gmock)
  gtest_discover_tests(cli_scan_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "cli;discovery" TIMEOUT 120)
endif()
