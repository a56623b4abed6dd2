// JPEG encoding of RGBA frames (alpha ignored). The encoder behind
// encodeJpeg is chosen at build time (VL_JPEG: turbo or stb); both are
// always built so each can be called by name.
#pragma once

#include <cstdint>
#include <vector>

#include "echo/capture.h"

namespace vl {

// Clears out; false for an empty or short frame. Quality is clamped to
// 1 … 100. true only when out holds a complete JPEG file. Each call starts
// from nothing; a stream keeps a JpegEncoder.
bool encodeJpeg(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);

// The two encoders, same contract, each call on its own.
bool encodeJpegTurbo(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);
bool encodeJpegStb(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);
bool encodeJpegTurboRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out);

// Rows [y, y + height) of the frame encoded as a picture of their own, for
// spliceJpegRows (echo/jpeg_rows.h): y a multiple of jpegRowHeight, the
// strip reaching a multiple of it or the frame's bottom. The TurboJPEG
// encoder restarts at every row of MCUs (in every encode, whole frames
// too); false from the stb one, whose files have no restart markers.
bool encodeJpegRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out);
// Height of one row of MCUs at this quality (the chroma sampling's).
int jpegRowHeight(int quality);
// Before the first encode and before other threads read the environment
// (the restart setting reaches TurboJPEG that way). Also done by the first
// encode.
void prepareJpegEncoder();

// The TurboJPEG encoder with its handle and a worst-case output buffer kept
// from call to call; the buffer only grows, so steady sizes allocate nothing
// after warm-up. One thread at a time. Owned by whoever encodes, never by a
// thread: built with mingw-w64, a thread_local's destructor runs after its
// storage was freed, and tearing down a handle read from there faults.
class TurboJpegEncoder {
 public:
  TurboJpegEncoder() = default;
  ~TurboJpegEncoder();
  TurboJpegEncoder(const TurboJpegEncoder&) = delete;
  TurboJpegEncoder& operator=(const TurboJpegEncoder&) = delete;
  bool encode(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);
  // As encodeJpegRows.
  bool encodeRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out);

 private:
  bool reserve(unsigned long size);

  void* handle_ = nullptr;  // tjhandle
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

// The encoder behind encodeJpeg, kept across frames (the echo service has
// one for its stream).
class JpegEncoder {
 public:
  bool encode(const PixelFrame& frame, int quality, std::vector<std::uint8_t>& out);
  bool encodeRows(const PixelFrame& frame, int y, int height, int quality, std::vector<std::uint8_t>& out);

 private:
  TurboJpegEncoder turbo_;  // unused (and empty) with the stb encoder
};

// "turbo" or "stb": the encoder behind encodeJpeg.
const char* jpegEncoderName();

}  // namespace vl
