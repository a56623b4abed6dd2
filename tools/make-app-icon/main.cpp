// make-app-icon FILE.ico: writes the application icon as a .ico file. The
// Windows build's icon resource (src/app/app.ico) is this tool's output;
// a test checks the two stay the same.
// make-app-icon --png SIZE FILE.png: one size as PNG, for the Linux
// package's desktop entry.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>

#include "app/app_icon.h"
#include "app/app_icon_file.h"

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--png") == 0) {
    const int size = std::atoi(argv[2]);
    const std::vector<std::uint8_t> rgba = vl::appIconRgba(size);
    if (rgba.empty()) return 2;
    return stbi_write_png(argv[3], size, size, 4, rgba.data(), size * 4) ? 0 : 1;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-app-icon FILE.ico | make-app-icon --png SIZE FILE.png\n");
    return 2;
  }
  const std::vector<std::uint8_t> bytes = vl::appIconFile();
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
