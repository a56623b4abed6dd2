# The GNOME back end: its pure parts as a table test, and the agent end to
# end on headless mutter (skipped where mutter, PipeWire or WirePlumber is
# missing).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  vl_add_gtest(gnome_backend_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/gnome_backend_test.cpp LIBS vl_echo)
  add_test(NAME GnomeEndToEnd.AgentOnHeadlessMutter
           COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/e2e_gnome_backend.sh $<TARGET_FILE:velmora-agent>
                   $<TARGET_FILE:velmora-pad> $<TARGET_FILE:wl_test_client> $<TARGET_FILE:jpeg_probe>)
  set_tests_properties(GnomeEndToEnd.AgentOnHeadlessMutter PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endif()
