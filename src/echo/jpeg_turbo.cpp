// TurboJPEG encoder. The compressor handle and a worst-case output buffer
// live in the encoder object across calls; the result is copied into the
// caller's vector, whose capacity is reused too.
#include <turbojpeg.h>

#include <cstring>

#include "echo/jpeg.h"
#include "echo/jpeg_common.h"
#include "log/helpers.h"

namespace vl {
namespace {

// Same chroma choice as stb's writer: 4:2:0 up to quality 90, 4:4:4 above.
int subsamplingFor(int quality) { return quality <= 90 ? TJSAMP_420 : TJSAMP_444; }

}  // namespace

TurboJpegEncoder::~TurboJpegEncoder() {
  if (buffer_) tjFree(buffer_);
  if (handle_) tjDestroy(handle_);
}

bool TurboJpegEncoder::reserve(unsigned long size) {
  if (size <= capacity_) return true;
  if (buffer_) tjFree(buffer_);
  capacity_ = 0;
  buffer_ = tjAlloc(static_cast<int>(size));
  if (!buffer_) return false;
  capacity_ = size;
  return true;
}

bool TurboJpegEncoder::encode(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
  return encodeRows(frame, 0, frame.height, quality, out);
}

bool TurboJpegEncoder::encodeRows(const PixelFrame& frame, int y, int height, int quality,
                                  std::vector<std::uint8_t>& out) {
  out.clear();
  if (!detail::jpegInputUsable(frame) || y < 0 || height < 1 || y + height > frame.height) return false;
  prepareJpegEncoder();
  quality = detail::clampJpegQuality(quality);
  if (!handle_) handle_ = tjInitCompress();
  if (!handle_) return false;
  const int subsampling = subsamplingFor(quality);
  const unsigned long bound = tjBufSize(frame.width, height, subsampling);
  if (bound == static_cast<unsigned long>(-1) || bound > 0x7FFFFFFFul || !reserve(bound)) return false;
  unsigned long size = capacity_;
  unsigned char* target = buffer_;
  const unsigned char* first = frame.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.width) * 4u;
  if (tjCompress2(handle_, first, frame.width, frame.width * 4, height, TJPF_RGBX, &target, &size, subsampling,
                  quality, TJFLAG_NOREALLOC) != 0)
    return false;
  if (target != buffer_ || size == 0 || size > capacity_) return false;
  out.resize(size);
  std::memcpy(out.data(), target, size);
  return !out.empty();
}

void prepareJpegEncoder() {
  // TurboJPEG 2 takes the restart interval from the environment only: one
  // restart marker per MCU row (a few bytes a row) lets a change re-encode
  // just its rows.
  static const bool done = [] {
    setProcessEnv("TJ_RESTART", "1");
    return true;
  }();
  (void)done;
}

int jpegRowHeight(int quality) { return tjMCUHeight[subsamplingFor(detail::clampJpegQuality(quality))]; }

bool encodeJpegTurbo(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out) {
  TurboJpegEncoder encoder;
  return encoder.encode(frame, quality, out);
}

bool encodeJpegTurboRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out) {
  TurboJpegEncoder encoder;
  return encoder.encodeRows(frame, y, height, quality, out);
}

}  // namespace vl
