# vl_wayland_client_protocol(<target> <xml>): wayland-scanner turns a
# protocol description into a client header (<name>-client-protocol.h) and
# its glue code, both compiled into <target>. Linux only.
find_program(VL_WAYLAND_SCANNER wayland-scanner REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_get_variable(VL_WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)

function(vl_wayland_client_protocol target xml)
  get_filename_component(_name "${xml}" NAME_WE)
  set(_dir "${CMAKE_BINARY_DIR}/generated/wayland")
  set(_header "${_dir}/${_name}-client-protocol.h")
  set(_code "${_dir}/${_name}-protocol.c")
  add_custom_command(
    OUTPUT "${_header}" "${_code}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_dir}"
    COMMAND ${VL_WAYLAND_SCANNER} client-header "${xml}" "${_header}"
    COMMAND ${VL_WAYLAND_SCANNER} private-code "${xml}" "${_code}"
    DEPENDS "${xml}"
    VERBATIM)
  target_sources(${target} PRIVATE "${_header}" "${_code}")
  target_include_directories(${target} PRIVATE "${_dir}")
endfunction()
