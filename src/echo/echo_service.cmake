# Echo streaming service and reverse input.
target_sources(vl_echo PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/echo_service.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/input_injector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/input_message.cpp
  ${CMAKE_CURRENT_LIST_DIR}/viewer_input.cpp)
vl_platform_sources(vl_echo ${CMAKE_CURRENT_LIST_DIR}/input_injector ${CMAKE_CURRENT_LIST_DIR}/fine_timer
  ${CMAKE_CURRENT_LIST_DIR}/display_watch)
# The service's headers use nlohmann/json and the frame server.
target_link_libraries(vl_echo PUBLIC vl_net vl_thirdparty)
if(WIN32)
  target_link_libraries(vl_echo PUBLIC user32 winmm)
else()
  find_package(X11 REQUIRED)
  if(NOT TARGET X11::Xtst)
    message(FATAL_ERROR "libxtst-dev is needed")
  endif()
  target_link_libraries(vl_echo PUBLIC X11::X11 X11::Xtst)
endif()
