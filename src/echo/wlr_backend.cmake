# The wlroots back end: a Wayland client of its own. Client code for the
# protocols is generated with wayland-scanner: the wlroots ones from the
# descriptions scripts/bootstrap takes out of Debian's wlroots source
# package, xdg-output from wayland-protocols. Generated into this
# directory's build tree: the test client generates xdg-output for itself.
find_package(PkgConfig REQUIRED)
pkg_check_modules(VL_WAYLAND REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
pkg_get_variable(VL_WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)
find_program(VL_WAYLAND_SCANNER wayland-scanner REQUIRED)
set(VL_WLR_PROTOCOL_DIR "${CMAKE_SOURCE_DIR}/.cache/wlr-protocols" CACHE PATH
    "wlroots protocol descriptions, fetched by scripts/bootstrap")
if(NOT EXISTS "${VL_WLR_PROTOCOL_DIR}/wlr-screencopy-unstable-v1.xml" OR NOT VL_WAYLAND_PROTOCOLS_DIR)
  message(FATAL_ERROR "wlroots protocol descriptions or wayland-protocols missing: run scripts/bootstrap")
endif()

set(_vl_wl_out "${CMAKE_CURRENT_BINARY_DIR}/wayland")
file(MAKE_DIRECTORY "${_vl_wl_out}")
set(_vl_wl_protocols
  "${VL_WLR_PROTOCOL_DIR}/wlr-screencopy-unstable-v1.xml"
  "${VL_WLR_PROTOCOL_DIR}/wlr-virtual-pointer-unstable-v1.xml"
  "${VL_WLR_PROTOCOL_DIR}/virtual-keyboard-unstable-v1.xml"
  "${VL_WAYLAND_PROTOCOLS_DIR}/unstable/xdg-output/xdg-output-unstable-v1.xml")
add_library(vl_wayland_protocols STATIC)
foreach(_xml IN LISTS _vl_wl_protocols)
  get_filename_component(_name "${_xml}" NAME_WE)
  add_custom_command(
    OUTPUT "${_vl_wl_out}/${_name}-client-protocol.h" "${_vl_wl_out}/${_name}-protocol.c"
    COMMAND ${VL_WAYLAND_SCANNER} client-header "${_xml}" "${_vl_wl_out}/${_name}-client-protocol.h"
    COMMAND ${VL_WAYLAND_SCANNER} private-code "${_xml}" "${_vl_wl_out}/${_name}-protocol.c"
    DEPENDS "${_xml}" VERBATIM)
  target_sources(vl_wayland_protocols PRIVATE
    "${_vl_wl_out}/${_name}-client-protocol.h" "${_vl_wl_out}/${_name}-protocol.c")
endforeach()
target_include_directories(vl_wayland_protocols PUBLIC "${_vl_wl_out}")
target_link_libraries(vl_wayland_protocols PUBLIC PkgConfig::VL_WAYLAND)

target_sources(vl_echo PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/wlr_math.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wlr_keymap_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wlr_client_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wlr_backend_linux.cpp)
target_link_libraries(vl_echo PRIVATE vl_wayland_protocols)
