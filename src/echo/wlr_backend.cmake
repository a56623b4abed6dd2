# The wlroots back end: a Wayland client of its own. Client code for the
# protocols is generated with wayland-scanner: the wlroots ones from the
# descriptions scripts/bootstrap takes out of Debian's wlroots source
# package, xdg-output from wayland-protocols.
include(${CMAKE_SOURCE_DIR}/cmake/wayland_protocols.cmake)
pkg_check_modules(VL_WAYLAND REQUIRED IMPORTED_TARGET wayland-client xkbcommon)
set(VL_WLR_PROTOCOL_DIR "${CMAKE_SOURCE_DIR}/.cache/wlr-protocols" CACHE PATH
    "wlroots protocol descriptions, fetched by scripts/bootstrap")
if(NOT EXISTS "${VL_WLR_PROTOCOL_DIR}/wlr-screencopy-unstable-v1.xml" OR NOT VL_WAYLAND_PROTOCOLS_DIR)
  message(FATAL_ERROR "wlroots protocol descriptions or wayland-protocols missing: run scripts/bootstrap")
endif()

add_library(vl_wayland_protocols STATIC)
foreach(_xml
    "${VL_WLR_PROTOCOL_DIR}/wlr-screencopy-unstable-v1.xml"
    "${VL_WLR_PROTOCOL_DIR}/wlr-virtual-pointer-unstable-v1.xml"
    "${VL_WLR_PROTOCOL_DIR}/virtual-keyboard-unstable-v1.xml"
    "${VL_WAYLAND_PROTOCOLS_DIR}/unstable/xdg-output/xdg-output-unstable-v1.xml")
  vl_wayland_client_protocol(vl_wayland_protocols "${_xml}")
endforeach()
target_link_libraries(vl_wayland_protocols PUBLIC PkgConfig::VL_WAYLAND)

target_sources(vl_echo PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/wlr_math.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wlr_keymap_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wlr_client_linux.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wlr_backend_linux.cpp)
target_link_libraries(vl_echo PRIVATE vl_wayland_protocols)
