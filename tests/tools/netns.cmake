# scripts/netns, the harness every discovery test runs in (needs root).
add_test(NAME netns_harness COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/netns_test.sh ${PROJECT_SOURCE_DIR}/scripts/netns)
set_tests_properties(netns_harness PROPERTIES LABELS "tools;discovery" TIMEOUT 120)
