# Discovery tests: real mDNS between simulated devices and the client, so they
# run only inside private network namespaces (the binary re-runs itself
# through scripts/netns; needs root). Included from CMakeLists.txt.
if(NOT TARGET plenko-tq-sim)
  message(STATUS "Discovery tests need the simulator (PLENKO_BUILD_TOOLS)")
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/discovery_support.cmake)

add_executable(discovery_tests
  ${CMAKE_CURRENT_SOURCE_DIR}/discovery_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/dnssd_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/dnssd_wire_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/scan_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/discovery_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/discovery_advertise_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/discovery_hostile_test.cpp)
target_link_libraries(discovery_tests PRIVATE tq_discovery_support tq_client tq_sim tq_sim_mdns GTest::gmock)
target_compile_definitions(discovery_tests PRIVATE
  TQ_DNS_SEEDS_DIR="${PROJECT_SOURCE_DIR}/fuzz/seeds/fuzz_dns_reply"
  TQ_HOSTILE_RESPONDER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/discovery_hostile_responder.py"
  TQ_PARTIAL_RESPONDER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/discovery_partial_responder.py"
  TQ_AVAHI_PEER_SCRIPT="${CMAKE_CURRENT_SOURCE_DIR}/discovery_avahi_peer.py")
# The two tests that count how often 100 ms scans succeed measure timing as
# much as behaviour: they run alone, not next to a CPU-bound test.
gtest_discover_tests(discovery_tests NO_PRETTY_VALUES TEST_FILTER "-*_in_ten" DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS discovery TIMEOUT 90)
gtest_discover_tests(discovery_tests NO_PRETTY_VALUES TEST_FILTER "*_in_ten" DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS discovery TIMEOUT 90 RUN_SERIAL TRUE)
