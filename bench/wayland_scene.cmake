# The scene client for bench/wayland_scene.sh (Linux): a fullscreen Wayland
# window, still or in full motion. Its xdg-shell glue is generated apart from
# the test client's (one rule per generated file).
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  include(${CMAKE_SOURCE_DIR}/cmake/wayland_protocols.cmake)
  pkg_check_modules(VL_WL_SCENE REQUIRED IMPORTED_TARGET wayland-client)
  set(_xml ${VL_WAYLAND_PROTOCOLS_DIR}/stable/xdg-shell/xdg-shell.xml)
  set(_dir ${CMAKE_CURRENT_BINARY_DIR}/wl_scene_generated)
  add_custom_command(
    OUTPUT ${_dir}/xdg-shell-client-protocol.h ${_dir}/xdg-shell-protocol.c
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${VL_WAYLAND_SCANNER} client-header ${_xml} ${_dir}/xdg-shell-client-protocol.h
    COMMAND ${VL_WAYLAND_SCANNER} private-code ${_xml} ${_dir}/xdg-shell-protocol.c
    DEPENDS ${_xml}
    VERBATIM)
  add_executable(wl_scene_client ${CMAKE_CURRENT_LIST_DIR}/wl_scene_client.c
                 ${_dir}/xdg-shell-client-protocol.h ${_dir}/xdg-shell-protocol.c)
  target_include_directories(wl_scene_client PRIVATE ${_dir})
  target_link_libraries(wl_scene_client PRIVATE PkgConfig::VL_WL_SCENE)
endif()
