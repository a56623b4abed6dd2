# Image pipeline: pure parts (regions, conversion, scaling, hash, JPEG) and
# real screen capture (private Xvfb on Linux, Wine's desktop on Windows).
vl_add_gtest(vl_image_pipeline_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pipeline_region_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/pipeline_image_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/pipeline_cursor_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/jpeg_rows_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/duplication_recovery_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/duplication_damage_test.cpp
  LIBS vl_echo vl_turbojpeg)
vl_add_gtest(vl_screen_capture_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/capture_screen_test.cpp
  LIBS vl_echo)
if(WIN32)
  target_sources(vl_screen_capture_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/capture_duplication_win32_test.cpp
                                                 ${CMAKE_CURRENT_LIST_DIR}/capture_gdi_win32_test.cpp)
  target_link_libraries(vl_screen_capture_tests PRIVATE gdi32 user32)
endif()

# The wlroots back end's pure parts (pixel layouts, damage, layout
# coordinates, the keymap).
if(NOT WIN32)
  pkg_check_modules(VL_WLR_TEST_XKB REQUIRED IMPORTED_TARGET xkbcommon)
  vl_add_gtest(vl_wlr_backend_tests
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/wlr_backend_test.cpp
    LIBS vl_echo PkgConfig::VL_WLR_TEST_XKB)
endif()
if(WIN32)
  # The thread-end case once more with Wine's heap checks: freed blocks are
  # filled, so whatever is torn down from freed storage faults every time.
  add_test(NAME JpegThreadEnd.UnderWineHeapChecks
           COMMAND vl_image_pipeline_tests --gtest_filter=Jpeg.ThreadsThatEncodeThenEndLeaveNothingBehind)
  set_tests_properties(JpegThreadEnd.UnderWineHeapChecks PROPERTIES ENVIRONMENT VL_WINEDEBUG=warn+heap TIMEOUT 120)
endif()
