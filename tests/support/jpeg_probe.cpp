// Prints a JPEG file's size and the colour at one point, as fractions of
// the picture, for the end-to-end scripts:
//   jpeg_probe FILE U V   ->   "W H R G B"
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fputs("usage: jpeg_probe FILE U V\n", stderr);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  tjhandle tj = tjInitDecompress();
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tj == nullptr || data.empty() ||
      tjDecompressHeader3(tj, data.data(), data.size(), &width, &height, &subsampling, &colourspace) != 0) {
    std::fprintf(stderr, "jpeg_probe: %s is not a JPEG file\n", argv[1]);
    return 1;
  }
  std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
  if (tjDecompress2(tj, data.data(), data.size(), rgb.data(), width, 0, height, TJPF_RGB, 0) != 0) {
    std::fprintf(stderr, "jpeg_probe: %s does not decode\n", argv[1]);
    return 1;
  }
  tjDestroy(tj);
  const int x = std::min(width - 1, static_cast<int>(std::atof(argv[2]) * width));
  const int y = std::min(height - 1, static_cast<int>(std::atof(argv[3]) * height));
  const unsigned char* p = &rgb[(static_cast<std::size_t>(y) * width + x) * 3];
  std::printf("%d %d %d %d %d\n", width, height, p[0], p[1], p[2]);
  return 0;
}
