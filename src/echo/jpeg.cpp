#include "echo/jpeg.h"

namespace vl {

bool encodeJpeg(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
#if defined(VL_JPEG_STB)
  return encodeJpegStb(frame, quality, out);
#else
  return encodeJpegTurbo(frame, quality, out);
#endif
}

bool encodeJpegRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out) {
#if defined(VL_JPEG_STB)
  (void)frame, (void)y, (void)height, (void)quality;
  out.clear();
  return false;
#else
  return encodeJpegTurboRows(frame, y, height, quality, out);
#endif
}

const char* jpegEncoderName() {
#if defined(VL_JPEG_STB)
  return "stb";
#else
  return "turbo";
#endif
}

}  // namespace vl
