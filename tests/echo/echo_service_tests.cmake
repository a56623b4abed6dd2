# Echo streaming service and reverse input.
set(_echo_input_sources
  ${CMAKE_CURRENT_LIST_DIR}/input_mapping_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/input_message_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/elevated_target_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fine_timer_test.cpp)
if(WIN32)
  list(APPEND _echo_input_sources ${CMAKE_CURRENT_LIST_DIR}/input_sendinput_test.cpp)
else()
  list(APPEND _echo_input_sources ${CMAKE_CURRENT_LIST_DIR}/input_xtest_test.cpp)
endif()
vl_add_gtest(echo_input_tests SOURCES ${_echo_input_sources} LIBS vl_echo_service_support)

add_library(vl_echo_service_support STATIC ${CMAKE_CURRENT_LIST_DIR}/service_support.cpp)
target_include_directories(vl_echo_service_support PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(vl_echo_service_support PUBLIC vl_echo vl_net vl_test_support)

vl_add_gtest(echo_service_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_stream_test.cpp ${CMAKE_CURRENT_LIST_DIR}/service_input_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/service_alloc_test.cpp ${CMAKE_CURRENT_LIST_DIR}/service_pacing_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/service_limits_test.cpp ${CMAKE_CURRENT_LIST_DIR}/service_damage_test.cpp
  LIBS vl_echo_service_support)

# End to end on a private X server: the real screen and injector behind the
# service, velmora-pad as the viewer.
if(NOT WIN32 AND TARGET velmora-pad)
  vl_add_gtest(echo_e2e_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_pad_test.cpp
               LIBS vl_echo_service_support)
  add_dependencies(echo_e2e_tests velmora-pad)
  target_compile_definitions(echo_e2e_tests PRIVATE VL_PAD_PROGRAM="$<TARGET_FILE:velmora-pad>")
endif()
