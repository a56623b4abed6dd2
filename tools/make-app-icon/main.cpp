// make-app-icon FILE: writes the application icon as a .ico file. The
// Windows build's icon resource (src/app/app.ico) is this tool's output;
// a test checks the two stay the same.
#include <cstdio>

#include "app/app_icon_file.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make-app-icon FILE.ico\n");
    return 2;
  }
  const std::vector<std::uint8_t> bytes = vl::appIconFile();
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return (std::fclose(f) == 0 && ok) ? 0 : 1;
}
