// Shared by the fuzz targets: a check that counts as a crash, and the split
// of one fuzz input into the frames a connection would carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "log/log.h"

// A broken property must stop the run the way a memory error does, so
// libFuzzer keeps the input and the replay test fails.
#define VL_FUZZ_CHECK(condition)                                                       \
  do {                                                                                 \
    if (!(condition)) {                                                                \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

namespace vl::fuzz {

// Millions of inputs must not write millions of log lines to the terminal.
inline void quietLog() { logSetStderrEnabled(false); }

// Calls deliver(client, kindByte, payload, length) for every complete frame
// at the front of the input (5-byte header as on the wire), then once more
// for whatever is left as a text frame: a plain JSON file is a starting input on its
// own. The header's kind byte carries the kind in its low 6 bits and picks
// one of four clients (1 … 4) with its top 2, so one input can interleave
// several peers. A zero-length frame has a null payload, as the server
// hands it over.
template <class Deliver>
void forEachFrame(const std::uint8_t* data, std::size_t size, Deliver&& deliver) {
  std::size_t pos = 0;
  while (size - pos >= 5) {
    const std::uint8_t* h = data + pos;
    const std::uint64_t length = (std::uint64_t{h[0]} << 24) | (std::uint64_t{h[1]} << 16) |
                                 (std::uint64_t{h[2]} << 8) | std::uint64_t{h[3]};
    if (length > size - pos - 5) break;
    const unsigned client = 1u + (h[4] >> 6);
    const std::uint8_t kind = h[4] & 0x3F;
    deliver(client, kind, length == 0 ? nullptr : h + 5, length);
    pos += 5 + static_cast<std::size_t>(length);
  }
  if (pos < size) deliver(1u, std::uint8_t{1}, data + pos, static_cast<std::uint64_t>(size - pos));
}

}  // namespace vl::fuzz
