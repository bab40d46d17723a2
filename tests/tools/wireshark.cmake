# The Wireshark dissector: a traced session of every command, decoded by
# tshark with the generated dissector and checked field by field against what
# the client sent and decoded; a tcpdump capture of the same session (in a
# private namespace) must decode alike.
if(NOT TARGET tq_sim)
  return()
endif()

find_package(nlohmann_json REQUIRED)
add_executable(wireshark_session ${CMAKE_CURRENT_SOURCE_DIR}/wireshark_session.cpp)
target_link_libraries(wireshark_session PRIVATE tq_sim tq_client nlohmann_json::nlohmann_json)

find_program(TQ_TSHARK tshark)
find_program(TQ_TCPDUMP tcpdump)
if(DEFINED Python3_EXECUTABLE AND NOT Python3_EXECUTABLE STREQUAL "")
  set(_tq_wireshark_python ${Python3_EXECUTABLE})
else()
  set(_tq_wireshark_python python3)
endif()
if(TQ_TSHARK AND TQ_TCPDUMP)
  add_test(NAME wireshark_dissector
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/netns -- ${_tq_wireshark_python}
                   ${CMAKE_CURRENT_SOURCE_DIR}/wireshark_check.py
                   --session $<TARGET_FILE:wireshark_session> --dissector ${PLENKO_TQ_DISSECTOR}
                   --workdir ${CMAKE_CURRENT_BINARY_DIR}/wireshark)
  set_tests_properties(wireshark_dissector PROPERTIES LABELS tools TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
