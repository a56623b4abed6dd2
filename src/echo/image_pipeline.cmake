# Image pipeline of the desktop echo: monitors, screen capture, colour
# conversion, bilinear scaling, sampled hash and JPEG encoding.
target_sources(vl_echo PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/monitors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/desktop_backend.cpp
  ${CMAKE_CURRENT_LIST_DIR}/capture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pixel_convert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scale.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_hash.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cursor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/duplication_recovery.cpp
  ${CMAKE_CURRENT_LIST_DIR}/duplication_damage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_rows.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_turbo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/jpeg_stb.cpp)
vl_platform_sources(vl_echo
  ${CMAKE_CURRENT_LIST_DIR}/monitors
  ${CMAKE_CURRENT_LIST_DIR}/capture)
target_link_libraries(vl_echo PRIVATE vl_thirdparty)

# The per-pixel loops must stay vectorised in every build type. The scaler
# must round exactly as written (no fused multiply-add), and its AVX2 code
# needs unaligned spills on Windows, where GCC does not align the stack to
# 32 bytes.
set_source_files_properties(
  ${CMAKE_CURRENT_LIST_DIR}/pixel_convert.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_hash.cpp
  PROPERTIES COMPILE_OPTIONS "-O3")
set(_vl_scale_options -O3 -ffp-contract=off)
if(WIN32)
  list(APPEND _vl_scale_options -Wa,-muse-unaligned-vector-move)
endif()
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/scale.cpp PROPERTIES COMPILE_OPTIONS "${_vl_scale_options}")

# TurboJPEG: Debian's libturbojpeg0-dev natively, the cross-built static
# library from the dependency cache for Windows. Tests and benchmarks link
# vl_turbojpeg themselves to decode.
if(NOT TARGET vl_turbojpeg)
  add_library(vl_turbojpeg INTERFACE)
  if(WIN32)
    find_path(VL_TURBOJPEG_INCLUDE_DIR turbojpeg.h REQUIRED)
    find_library(VL_TURBOJPEG_LIBRARY NAMES libturbojpeg.a turbojpeg REQUIRED)
    target_include_directories(vl_turbojpeg SYSTEM INTERFACE ${VL_TURBOJPEG_INCLUDE_DIR})
    target_link_libraries(vl_turbojpeg INTERFACE ${VL_TURBOJPEG_LIBRARY})
  else()
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(VL_TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
    target_link_libraries(vl_turbojpeg INTERFACE PkgConfig::VL_TURBOJPEG)
  endif()
endif()
target_link_libraries(vl_echo PUBLIC vl_turbojpeg)

if(VL_JPEG STREQUAL "stb")
  target_compile_definitions(vl_echo PRIVATE VL_JPEG_STB=1)
elseif(NOT VL_JPEG STREQUAL "turbo")
  message(FATAL_ERROR "VL_JPEG must be turbo or stb, not '${VL_JPEG}'")
endif()

if(WIN32)
  # Desktop duplication (DXGI 1.2, Direct3D 11) first, GDI when it fails.
  target_sources(vl_echo PRIVATE ${CMAKE_CURRENT_LIST_DIR}/desktop_duplication_win32.cpp)
  target_link_libraries(vl_echo PUBLIC gdi32 user32 d3d11 dxgi)
else()
  find_package(X11 REQUIRED)
  if(NOT TARGET X11::Xext OR NOT TARGET X11::Xrandr OR NOT TARGET X11::Xfixes OR NOT TARGET X11::Xdamage OR
     NOT TARGET X11::Xi)
    message(FATAL_ERROR "libxext-dev, libxrandr-dev, libxfixes-dev, libxdamage-dev and libxi-dev are needed")
  endif()
  target_link_libraries(vl_echo PUBLIC X11::X11 X11::Xext X11::Xrandr X11::Xfixes X11::Xdamage X11::Xi)
  # Wayland compositors: GNOME (mutter over D-Bus, PipeWire) and wlroots.
  target_sources(vl_echo PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/gnome_backend_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gnome_frames_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gnome_session_linux.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gnome_stream_linux.cpp)
  # GNOME: GDBus (gio) for mutter's interfaces, PipeWire for the frames.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(VL_GIO REQUIRED IMPORTED_TARGET gio-2.0)
  pkg_check_modules(VL_PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
  target_link_libraries(vl_echo PUBLIC PkgConfig::VL_GIO PkgConfig::VL_PIPEWIRE)
  include(${CMAKE_CURRENT_LIST_DIR}/wlr_backend.cmake)
endif()
