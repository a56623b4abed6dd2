// JPEG encoding of RGBA frames (alpha ignored). The encoder behind
// encodeJpeg is chosen at build time (VL_JPEG: turbo or stb); both are
// always built so each can be called by name.
#pragma once

#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl {

// Clears out; false for an empty or short frame. Quality is clamped to
// 1 … 100. true only when out holds a complete JPEG file.
bool encodeJpeg(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);

// The two encoders, same contract. The TurboJPEG one keeps its handle and
// output buffer per thread, so steady sizes allocate nothing after warm-up.
bool encodeJpegTurbo(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);
bool encodeJpegStb(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);

// "turbo" or "stb": the encoder behind encodeJpeg.
const char* jpegEncoderName();

}  // namespace vl
