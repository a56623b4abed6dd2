// TurboJPEG encoder. The compressor handle and a worst-case output buffer
// live per thread across calls; the buffer only grows, so steady streaming
// allocates nothing (the result is copied into the caller's vector, whose
// capacity is reused too).
#include <turbojpeg.h>

#include <cstring>

#include "echo/jpeg.h"
#include "echo/jpeg_common.h"
#include "log/helpers.h"

namespace vl {
namespace {

struct TurboEncoder {
  tjhandle handle = nullptr;
  unsigned char* buffer = nullptr;
  unsigned long capacity = 0;

  ~TurboEncoder() {
    if (buffer) tjFree(buffer);
    if (handle) tjDestroy(handle);
  }

  bool reserve(unsigned long size) {
    if (size <= capacity) return true;
    if (buffer) tjFree(buffer);
    capacity = 0;
    buffer = tjAlloc(static_cast<int>(size));
    if (!buffer) return false;
    capacity = size;
    return true;
  }
};

// Same chroma choice as stb's writer: 4:2:0 up to quality 90, 4:4:4 above.
int subsamplingFor(int quality) { return quality <= 90 ? TJSAMP_420 : TJSAMP_444; }

bool encodeRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out) {
  out.clear();
  if (!detail::jpegInputUsable(frame) || y < 0 || height < 1 || y + height > frame.height) return false;
  prepareJpegEncoder();
  quality = detail::clampJpegQuality(quality);
  thread_local TurboEncoder encoder;
  if (!encoder.handle) encoder.handle = tjInitCompress();
  if (!encoder.handle) return false;
  const int subsampling = subsamplingFor(quality);
  const unsigned long bound = tjBufSize(frame.width, height, subsampling);
  if (bound == static_cast<unsigned long>(-1) || bound > 0x7FFFFFFFul || !encoder.reserve(bound)) return false;
  unsigned long size = encoder.capacity;
  unsigned char* target = encoder.buffer;
  const unsigned char* first = frame.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.width) * 4u;
  if (tjCompress2(encoder.handle, first, frame.width, frame.width * 4, height, TJPF_RGBX, &target, &size, subsampling,
                  quality, TJFLAG_NOREALLOC) != 0)
    return false;
  if (target != encoder.buffer || size == 0 || size > encoder.capacity) return false;
  out.resize(size);
  std::memcpy(out.data(), target, size);
  return !out.empty();
}

}  // namespace

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
  return encodeRows(frame, 0, frame.height, quality, out);
}

bool encodeJpegTurboRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out) {
  return encodeRows(frame, y, height, quality, out);
}

}  // namespace vl
