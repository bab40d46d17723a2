# Scan cost beyond the wait, against simulated devices advertised by DNS-SD in
# private network namespaces (needs root).
if(NOT TARGET plenko-tq-sim)
  return()
endif()
include(${PROJECT_SOURCE_DIR}/tests/client/discovery_support.cmake)
add_executable(scan_bench ${CMAKE_CURRENT_LIST_DIR}/scan_bench.cpp)
target_link_libraries(scan_bench PRIVATE tq_discovery_support tq_client benchmark::benchmark)
