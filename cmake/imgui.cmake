# Dear ImGui 1.86 from Debian.
#   vl_imgui          the core library (widgets, draw lists, font atlas)
#   vl_imgui_backend  the platform and renderer backends of this build
# Linux: libimgui-dev's static library (core plus GLFW/OpenGL 3 backends);
# it leaves stb_truetype and stb_rect_pack to libstb.
# Windows: the imgui source package fetched by scripts/bootstrap, compiled
# here with its Win32 and DX11 backends.
if(WIN32)
  file(GLOB _vl_imgui_dirs "${CMAKE_SOURCE_DIR}/.cache/src/imgui/imgui-*")
  list(GET _vl_imgui_dirs 0 VL_IMGUI_DIR)
  if(NOT EXISTS "${VL_IMGUI_DIR}/imgui.cpp")
    message(FATAL_ERROR "imgui source missing: run scripts/bootstrap")
  endif()
  add_library(vl_imgui STATIC
    ${VL_IMGUI_DIR}/imgui.cpp ${VL_IMGUI_DIR}/imgui_draw.cpp
    ${VL_IMGUI_DIR}/imgui_tables.cpp ${VL_IMGUI_DIR}/imgui_widgets.cpp)
  target_include_directories(vl_imgui SYSTEM PUBLIC ${VL_IMGUI_DIR})
  # Places the window of a Chinese input method at the text cursor.
  target_compile_definitions(vl_imgui PUBLIC IMGUI_ENABLE_WIN32_DEFAULT_IME_FUNCTIONS)
  target_compile_options(vl_imgui PRIVATE -w)
  target_link_libraries(vl_imgui PUBLIC imm32)

  add_library(vl_imgui_backend STATIC
    ${VL_IMGUI_DIR}/backends/imgui_impl_win32.cpp ${VL_IMGUI_DIR}/backends/imgui_impl_dx11.cpp)
  target_include_directories(vl_imgui_backend SYSTEM PUBLIC ${VL_IMGUI_DIR}/backends)
  target_compile_options(vl_imgui_backend PRIVATE -w)
  target_link_libraries(vl_imgui_backend PUBLIC vl_imgui d3d11 dxgi d3dcompiler_47 dwmapi gdi32 imm32)
else()
  find_library(VL_IMGUI_LIB NAMES libimgui.a imgui REQUIRED)
  find_library(VL_STB_LIB NAMES stb REQUIRED)
  add_library(vl_imgui INTERFACE)
  target_include_directories(vl_imgui SYSTEM INTERFACE /usr/include/imgui)
  target_link_libraries(vl_imgui INTERFACE ${VL_IMGUI_LIB} ${VL_STB_LIB} m)

  find_package(PkgConfig REQUIRED)
  pkg_check_modules(VL_GLFW REQUIRED IMPORTED_TARGET glfw3)
  find_package(OpenGL REQUIRED)
  add_library(vl_imgui_backend INTERFACE)
  target_include_directories(vl_imgui_backend SYSTEM INTERFACE /usr/include/imgui/backends)
  # The backends sit in the same archive as the core; it comes again after
  # them so the linker resolves the core symbols they pull in.
  target_link_libraries(vl_imgui_backend INTERFACE vl_imgui PkgConfig::VL_GLFW OpenGL::GL
                        ${VL_IMGUI_LIB} ${VL_STB_LIB} ${CMAKE_DL_LIBS})
endif()

# Every non-ASCII text of the program's sources, one literal, so the font
# atlas can carry each character any label or log line shows.
file(GLOB_RECURSE _vl_ui_sources CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/*.cpp ${CMAKE_SOURCE_DIR}/src/*.h)
set(VL_UI_TEXT_HEADER ${CMAKE_BINARY_DIR}/generated/ui_text_glyphs.inc)
add_custom_command(
  OUTPUT ${VL_UI_TEXT_HEADER}
  COMMAND ${CMAKE_COMMAND} -DOUT=${VL_UI_TEXT_HEADER} -DSRC_DIR=${CMAKE_SOURCE_DIR}/src
          -P ${CMAKE_SOURCE_DIR}/cmake/collect_ui_text.cmake
  DEPENDS ${_vl_ui_sources} ${CMAKE_SOURCE_DIR}/cmake/collect_ui_text.cmake
  COMMENT "Collecting the characters of the program's texts" VERBATIM)
add_custom_target(vl_ui_text DEPENDS ${VL_UI_TEXT_HEADER})
