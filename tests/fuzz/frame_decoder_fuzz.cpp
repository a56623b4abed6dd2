// The frame decoder against the format itself: the input arrives in chunks
// of varying size, and the frames returned (and where a bad length stops
// the stream) must be exactly those a straight walk over the whole input
// finds, whatever the chunking and however often delivered frames are
// discarded in between.
#include <algorithm>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "net/frame.h"

namespace {

struct Expected {
  std::uint8_t kind;
  std::size_t offset;  // of the payload
  std::uint32_t length;
  bool skipped;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vl::net;
  if (size < 2) return 0;
  // Two bytes choose the chunking, how often delivered frames are dropped
  // and whether (and above which lengths) frames are skipped.
  const std::size_t chunkBase = data[0] % 23 + 1;
  const unsigned discardEvery = data[1] % 4;
  const unsigned skipMode = data[1] / 4 % 4;
  const std::uint32_t skipText = skipMode == 2 ? 0 : skipMode == 3 ? 64 : 16;
  const std::uint32_t skipOther = skipMode == 1 ? 0 : skipMode == 3 ? 64 : 16;
  data += 2;
  size -= 2;

  std::vector<Expected> expected;
  bool endsInBadLength = false;
  std::uint32_t badLength = 0;
  std::size_t pos = 0;
  while (size - pos >= kFrameHeaderSize) {
    const std::uint8_t* h = data + pos;
    const std::uint32_t length = (std::uint32_t{h[0]} << 24) | (std::uint32_t{h[1]} << 16) |
                                 (std::uint32_t{h[2]} << 8) | std::uint32_t{h[3]};
    if (length > kMaxFramePayload) {
      endsInBadLength = true;
      badLength = length;
      break;
    }
    if (skipMode != 0 && length > (h[4] == 1 ? skipText : skipOther)) {
      // Reported from its header; an unfinished one swallows the rest.
      expected.push_back({h[4], pos + kFrameHeaderSize, length, true});
      if (size - pos - kFrameHeaderSize < length) {
        pos = size;
        break;
      }
      pos += kFrameHeaderSize + length;
      continue;
    }
    if (size - pos - kFrameHeaderSize < length) break;
    expected.push_back({h[4], pos + kFrameHeaderSize, length, false});
    pos += kFrameHeaderSize + length;
  }

  FrameDecoder decoder;
  if (skipMode != 0) decoder.setSkipAbove(skipText, skipOther);
  std::size_t fed = 0, seen = 0, chunkIndex = 0;
  bool stopped = false;
  while (fed < size && !stopped) {
    const std::size_t chunk = std::min(size - fed, chunkBase * (1 + chunkIndex++ % 3));
    VL_FUZZ_CHECK(decoder.append(data + fed, chunk));
    fed += chunk;
    FrameView frame;
    DecodeStatus status;
    while ((status = decoder.next(frame)) == DecodeStatus::Frame || status == DecodeStatus::Skipped) {
      VL_FUZZ_CHECK(seen < expected.size());
      const Expected& e = expected[seen++];
      VL_FUZZ_CHECK(static_cast<std::uint8_t>(static_cast<std::uint32_t>(frame.kind) & 0xFF) == e.kind);
      VL_FUZZ_CHECK(frame.length == e.length);
      VL_FUZZ_CHECK(e.skipped == (status == DecodeStatus::Skipped));
      if (e.skipped) {
        VL_FUZZ_CHECK(frame.payload == nullptr);
        continue;
      }
      VL_FUZZ_CHECK((frame.payload == nullptr) == (e.length == 0));
      if (e.length != 0) VL_FUZZ_CHECK(std::memcmp(frame.payload, data + e.offset, e.length) == 0);

      // The frame written back is the bytes it came from.
      std::vector<std::uint8_t> again;
      VL_FUZZ_CHECK(appendFrame(again, static_cast<FrameKind>(e.kind), frame.payload, frame.length));
      VL_FUZZ_CHECK(std::memcmp(again.data(), data + e.offset - kFrameHeaderSize, again.size()) == 0);
      if (discardEvery != 0 && seen % discardEvery == 0) decoder.discardDelivered();
    }
    if (status == DecodeStatus::BadLength) {
      VL_FUZZ_CHECK(endsInBadLength && seen == expected.size());
      VL_FUZZ_CHECK(decoder.badLength() == badLength);
      stopped = true;
    }
  }
  VL_FUZZ_CHECK(seen == expected.size());
  VL_FUZZ_CHECK(stopped == endsInBadLength);
  if (!stopped) VL_FUZZ_CHECK(decoder.buffered() == size - pos);
  const bool tailSkipped = !expected.empty() && expected.back().skipped &&
                           expected.back().offset + expected.back().length > size;
  VL_FUZZ_CHECK(decoder.skipping() ==
                (tailSkipped ? expected.back().offset + expected.back().length - size : 0));
  decoder.clear();
  VL_FUZZ_CHECK(decoder.buffered() == 0);
  return 0;
}
