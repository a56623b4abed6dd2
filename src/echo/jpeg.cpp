#include "echo/jpeg.h"

namespace vl {

bool JpegEncoder::encode(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
#if defined(VL_JPEG_STB)
  return encodeJpegStb(frame, quality, out);
#else
  return turbo_.encode(frame, quality, out);
#endif
}

bool encodeJpeg(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
  JpegEncoder encoder;
  return encoder.encode(frame, quality, out);
}

const char* jpegEncoderName() {
#if defined(VL_JPEG_STB)
  return "stb";
#else
  return "turbo";
#endif
}

}  // namespace vl
