#include "echo/jpeg.h"

namespace vl {

bool JpegEncoder::encode(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
#if defined(VL_JPEG_STB)
  return encodeJpegStb(frame, quality, out);
#else
  return turbo_.encode(frame, quality, out);
#endif
}

bool JpegEncoder::encodeRows(const PixelFrame& frame, int y, int height, int quality,
                             std::vector<std::uint8_t>& out) {
#if defined(VL_JPEG_STB)
  (void)frame, (void)y, (void)height, (void)quality;
  out.clear();
  return false;
#else
  return turbo_.encodeRows(frame, y, height, quality, out);
#endif
}

bool encodeJpeg(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
  JpegEncoder encoder;
  return encoder.encode(frame, quality, out);
}

bool encodeJpegRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out) {
  JpegEncoder encoder;
  return encoder.encodeRows(frame, y, height, quality, out);
}

const char* jpegEncoderName() {
#if defined(VL_JPEG_STB)
  return "stb";
#else
  return "turbo";
#endif
}

}  // namespace vl
