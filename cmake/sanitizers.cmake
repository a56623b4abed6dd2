# Sanitizer and fuzzing builds (Linux).
#   VL_SANITIZE=address  ASan + UBSan; any undefined behaviour ends the program
#   VL_SANITIZE=thread   TSan
#   VL_FUZZ=ON           clang only: everything gets libFuzzer's coverage
#                        hooks (fuzzer-no-link) and the fuzz targets link
#                        libFuzzer itself; implies VL_SANITIZE=address
# Reports go where the test presets' *SAN_OPTIONS send them
# (build/<preset>/sanitizer-reports), made here at configure time.
set(VL_SANITIZE "" CACHE STRING "Sanitizer build: address (ASan+UBSan), thread (TSan) or empty")
set_property(CACHE VL_SANITIZE PROPERTY STRINGS "" address thread)
option(VL_FUZZ "Build the libFuzzer targets (clang)" OFF)

if(VL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VL_FUZZ needs clang (libFuzzer), not ${CMAKE_CXX_COMPILER_ID}")
  endif()
  if(VL_SANITIZE STREQUAL "")
    set(VL_SANITIZE address CACHE STRING "" FORCE)
  endif()
endif()

if(VL_SANITIZE STREQUAL "")
  return()
endif()
if(WIN32)
  message(FATAL_ERROR "VL_SANITIZE is for the Linux build")
endif()

if(VL_SANITIZE STREQUAL "address")
  set(_vl_sanitize -fsanitize=address,undefined)
  add_compile_options(-fno-sanitize-recover=undefined)
elseif(VL_SANITIZE STREQUAL "thread")
  set(_vl_sanitize -fsanitize=thread)
  # Tests that count allocations define their own operator new, which
  # clashes with the one of the static runtime (the shared runtime does not
  # start on this toolchain). Theirs wins: it calls malloc, which TSan sees.
  add_link_options(-Wl,--allow-multiple-definition)
else()
  message(FATAL_ERROR "VL_SANITIZE must be address, thread or empty, not '${VL_SANITIZE}'")
endif()
# Frame pointers keep the reports' stacks whole at little cost.
add_compile_options(${_vl_sanitize} -fno-omit-frame-pointer)
add_link_options(${_vl_sanitize})
if(VL_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/sanitizer-reports)
