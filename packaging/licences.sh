# licence_text PLATFORM: the third-party notices for the program built for
# PLATFORM (linux or windows), from the copyright files of the very sources
# the build used. Sourced by the packaging scripts.
licence_text() {
  local platform=$1 root
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  cat <<'HEAD'
Velmora Agent contains or links the third-party code below. Each notice is
the upstream copyright file of the source the build used.

HEAD
  section() { printf '\n==== %s ====\n\n' "$1"; cat "$2"; }
  section "Dear ImGui 1.86 (compiled in; MIT)" /usr/share/doc/libimgui-dev/copyright
  section "nlohmann/json (compiled in; MIT)" /usr/share/doc/nlohmann-json3-dev/copyright
  section "stb (compiled in and, on Linux, linked as libstb0; MIT / public domain)" /usr/share/doc/libstb-dev/copyright
  if [ "$platform" = windows ]; then
    section "libjpeg-turbo 2.1.5 (compiled in; IJG, BSD-3-Clause, zlib)" \
      "$root/.cache/src/libjpeg-turbo/libjpeg-turbo-2.1.5/LICENSE.md"
    section "MinGW-w64 runtime and winpthreads (compiled in; expat, BSD, ZPL, public domain)" \
      /usr/share/doc/mingw-w64-common/copyright
    section "GCC runtime libraries (compiled in; GPL-3 with the GCC Runtime Library Exception)" \
      /usr/share/doc/gcc-mingw-w64-base/copyright
  else
    section "libjpeg-turbo (linked as libturbojpeg0; IJG, BSD-3-Clause, zlib)" /usr/share/doc/libturbojpeg0/copyright
  fi
}
