#!/usr/bin/env bash
# Cross-builds, for the Windows program, the third-party libraries that Debian
# ships only as source: libjpeg-turbo (static, SIMD with nasm) into
# .cache/mingw-prefix, and fetches the imgui source that CMake compiles with
# its Win32/DX11 backends and the civetweb source for velmora-pad's web
# console. Skipped when already done.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$root/scripts/lib/common.sh"
source "$root/scripts/lib/debian-source.sh"

prefix="$root/.cache/mingw-prefix"
src="$root/.cache/src"

if [ ! -f "$prefix/lib/libturbojpeg.a" ]; then
  note "cross-building libjpeg-turbo for Windows"
  if ! ls -d "$src/libjpeg-turbo/libjpeg-turbo-"*/ >/dev/null 2>&1; then
    rm -rf "$src/libjpeg-turbo"
    fetch_debian_source libjpeg-turbo "$src/libjpeg-turbo"
  fi
  dir=$(ls -d "$src/libjpeg-turbo/libjpeg-turbo-"*/ | head -n 1)
  build="$root/.cache/build/libjpeg-turbo-mingw"
  rm -rf "$build"
  cmake -S "$dir" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-posix.cmake" \
    -DCMAKE_CROSSCOMPILING_EMULATOR= \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=ON -DREQUIRE_SIMD=ON \
    -DWITH_JPEG8=OFF -DCMAKE_ASM_NASM_COMPILER=nasm > "$root/.cache/libjpeg-turbo-configure.log" 2>&1 \
    || { tail -30 "$root/.cache/libjpeg-turbo-configure.log"; exit 1; }
  cmake --build "$build" --target turbojpeg-static jpeg-static > "$root/.cache/libjpeg-turbo-build.log" 2>&1 \
    || { tail -30 "$root/.cache/libjpeg-turbo-build.log"; exit 1; }
  cmake --install "$build" > /dev/null 2>&1 || true
  # install may try targets we did not build; copy what the consumer needs.
  mkdir -p "$prefix/lib" "$prefix/include"
  cp "$build/libturbojpeg.a" "$build/libjpeg.a" "$prefix/lib/" 2>/dev/null || true
  cp "$dir/turbojpeg.h" "$prefix/include/"
  [ -f "$prefix/lib/libturbojpeg.a" ] || { echo "libjpeg-turbo: libturbojpeg.a was not produced" >&2; exit 1; }
fi

if ! ls "$src/imgui/imgui-"*/imgui.cpp >/dev/null 2>&1; then
  note "fetching the imgui source for the Windows build"
  rm -rf "$src/imgui"
  fetch_debian_source imgui "$src/imgui"
fi

if ! ls "$src/civetweb/civetweb-"*/src/civetweb.c >/dev/null 2>&1; then
  note "fetching the civetweb source for the Windows build"
  rm -rf "$src/civetweb"
  fetch_debian_source civetweb "$src/civetweb"
fi
