# Echo streaming benchmark (Linux; needs an X server, see echo_stream_bench.sh).
# vl_pipeline_bench_scene (the desktop picture) comes from image_pipeline.cmake.
if(NOT WIN32 AND EXISTS ${CMAKE_CURRENT_LIST_DIR}/pipeline_scene.cpp)
  # CPU, memory, viewers and the latency probe, shared by both.
  add_library(vl_echo_bench_common STATIC ${CMAKE_CURRENT_LIST_DIR}/echo_bench_common.cpp)
  target_link_libraries(vl_echo_bench_common PUBLIC vl_echo vl_turbojpeg)
  add_executable(echo_stream_bench ${CMAKE_CURRENT_LIST_DIR}/echo_stream_bench.cpp)
  target_link_libraries(echo_stream_bench PRIVATE vl_echo_bench_common vl_pipeline_bench_scene)
  add_executable(echo_scene_bench ${CMAKE_CURRENT_LIST_DIR}/echo_scene_bench.cpp)
  target_link_libraries(echo_scene_bench PRIVATE vl_echo_bench_common vl_pipeline_bench_scene)
endif()
