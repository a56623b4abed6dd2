# Echo streaming benchmark (Linux; needs an X server, see echo_stream_bench.sh).
# vl_pipeline_bench_scene (the desktop picture) comes from image_pipeline.cmake.
if(NOT WIN32 AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/pipeline_scene.cpp)
  add_executable(echo_stream_bench ${CMAKE_CURRENT_LIST_DIR}/echo_stream_bench.cpp)
  target_link_libraries(echo_stream_bench PRIVATE vl_echo vl_pipeline_bench_scene vl_turbojpeg)
endif()
if(NOT WIN32 AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/pipeline_scene.cpp)
  add_executable(echo_scene_bench ${CMAKE_CURRENT_LIST_DIR}/echo_scene_bench.cpp)
  target_link_libraries(echo_scene_bench PRIVATE vl_echo vl_pipeline_bench_scene vl_turbojpeg)
endif()
