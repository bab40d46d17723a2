# Simulator tests: its configuration (JSON models, fault specs) in-process,
# and plenko-tq-sim run as a process the way the Python tests run it.
if(NOT TARGET tq_sim)
  return()
endif()

add_executable(sim_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_config_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_process_test.cpp)
target_link_libraries(sim_tests PRIVATE tq_sim tq_client GTest::gmock_main)
target_compile_definitions(sim_tests PRIVATE TQ_SIM_PATH="$<TARGET_FILE:plenko-tq-sim>")
add_dependencies(sim_tests plenko-tq-sim)
gtest_discover_tests(sim_tests NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES LABELS tools)
