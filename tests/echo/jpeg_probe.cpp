// For end-to-end scripts: the size of a JPEG file and the colour at a point
// of it (u and v from 0 to 1), as "W H R G B". Exit 2 when it cannot be read.
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: jpeg_probe FILE U V\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, sub = 0, colour = 0;
  if (!tj || bytes.empty() || tjDecompressHeader3(tj, bytes.data(), bytes.size(), &w, &h, &sub, &colour) != 0) return 2;
  std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
  if (tjDecompress2(tj, bytes.data(), bytes.size(), rgb.data(), w, 0, h, TJPF_RGB, 0) != 0) return 2;
  tjDestroy(tj);
  int x = static_cast<int>(std::atof(argv[2]) * w), y = static_cast<int>(std::atof(argv[3]) * h);
  x = x < 0 ? 0 : (x >= w ? w - 1 : x);
  y = y < 0 ? 0 : (y >= h ? h - 1 : y);
  const unsigned char* p = rgb.data() + (static_cast<std::size_t>(y) * w + x) * 3;
  std::printf("%d %d %d %d %d\n", w, h, p[0], p[1], p[2]);
  return 0;
}
