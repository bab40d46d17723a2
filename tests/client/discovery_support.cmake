# tq_discovery_support: private network, simulator and python-zeroconf
# processes, stdout capture; for the discovery tests and the scan benchmark.
include_guard(GLOBAL)
if(DEFINED Python3_EXECUTABLE AND NOT Python3_EXECUTABLE STREQUAL "")
  set(_tq_python_default ${Python3_EXECUTABLE})
elseif(EXISTS ${PROJECT_SOURCE_DIR}/.venv/bin/python)
  set(_tq_python_default ${PROJECT_SOURCE_DIR}/.venv/bin/python)
else()
  set(_tq_python_default python3)
endif()
set(PLENKO_TEST_PYTHON ${_tq_python_default} CACHE STRING
    "Python with zeroconf for the discovery tests ($PLENKO_TEST_PYTHON overrides it at run time)")

add_library(tq_discovery_support STATIC ${CMAKE_CURRENT_LIST_DIR}/discovery_support.cpp)
target_include_directories(tq_discovery_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(tq_discovery_support PRIVATE
  TQ_NETNS_SCRIPT="${PROJECT_SOURCE_DIR}/scripts/netns"
  TQ_SIM_PATH="$<TARGET_FILE:plenko-tq-sim>"
  TQ_ZEROCONF_PEER_SCRIPT="${CMAKE_CURRENT_LIST_DIR}/discovery_zeroconf_peer.py"
  TQ_TEST_PYTHON="${PLENKO_TEST_PYTHON}")
add_dependencies(tq_discovery_support plenko-tq-sim)
