// stb_image_write's JPEG writer, compiled here as private (static) code so
// no other user of the header can clash with it.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb_image_write.h>
#pragma GCC diagnostic pop

#include "echo/jpeg.h"
#include "echo/jpeg_common.h"

namespace vl {
namespace {

void appendChunk(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(context);
  if (size <= 0 || !data) return;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

bool encodeJpegStb(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
  out.clear();
  if (!detail::jpegInputUsable(frame)) return false;
  quality = detail::clampJpegQuality(quality);
  const int ok = stbi_write_jpg_to_func(appendChunk, &out, frame.width, frame.height, 4, frame.pixels.data(), quality);
  return ok != 0 && !out.empty();
}

}  // namespace vl
