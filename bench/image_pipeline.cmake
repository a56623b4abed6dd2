# Image pipeline benchmarks: Google Benchmark on Linux, and a plain timing
# program on both builds (the Windows one runs under Wine).
add_library(vl_pipeline_bench_scene STATIC ${CMAKE_CURRENT_LIST_DIR}/pipeline_scene.cpp)
target_include_directories(vl_pipeline_bench_scene PUBLIC ${CMAKE_CURRENT_LIST_DIR}
                                                          ${CMAKE_SOURCE_DIR}/tests/echo)
target_link_libraries(vl_pipeline_bench_scene PUBLIC vl_echo)

add_executable(pipeline_timing ${CMAKE_CURRENT_LIST_DIR}/pipeline_timing.cpp)
target_link_libraries(pipeline_timing PRIVATE vl_pipeline_bench_scene)

if(NOT WIN32)
  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_executable(pipeline_bench ${CMAKE_CURRENT_LIST_DIR}/pipeline_bench.cpp)
    target_link_libraries(pipeline_bench PRIVATE vl_pipeline_bench_scene benchmark::benchmark)
  endif()
endif()

# Whether TurboJPEG fed with planar 4:2:0 would make the stage cheaper.
if(NOT WIN32)
  add_executable(jpeg_yuv_timing ${CMAKE_CURRENT_LIST_DIR}/jpeg_yuv_timing.cpp)
  target_link_libraries(jpeg_yuv_timing PRIVATE vl_pipeline_bench_scene vl_turbojpeg)
endif()
