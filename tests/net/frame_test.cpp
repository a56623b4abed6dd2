// Frame encoder and reassembling decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "net/frame.h"

using namespace vl::net;

namespace {

std::vector<std::uint8_t> header(std::uint32_t length, std::uint8_t kind) {
  std::vector<std::uint8_t> h(kFrameHeaderSize);
  encodeFrameHeader(h.data(), static_cast<FrameKind>(kind), length);
  return h;
}

std::string payloadOf(const FrameView& f) {
  return f.payload ? std::string(reinterpret_cast<const char*>(f.payload), f.length) : std::string();
}

}  // namespace

TEST(FrameCodec, HeaderIsBigEndianLengthThenLowKindByte) {
  std::vector<std::uint8_t> out;
  const std::string payload(300, 'x');
  ASSERT_TRUE(appendFrame(out, FrameKind::Binary, payload.data(), payload.size()));
  ASSERT_EQ(out.size(), 305u);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 5),
            (std::vector<std::uint8_t>{0x00, 0x00, 0x01, 0x2C, 0x02}));

  std::uint8_t h[kFrameHeaderSize];
  encodeFrameHeader(h, static_cast<FrameKind>(0x1234), 0xA1B2C3D4u);
  EXPECT_EQ(std::vector<std::uint8_t>(h, h + 5), (std::vector<std::uint8_t>{0xA1, 0xB2, 0xC3, 0xD4, 0x34}));
}

TEST(FrameCodec, WriterRefusesHeadersThatWouldNotMatchThePayload) {
  std::vector<std::uint8_t> out{9};
  // A null payload is only valid with length 0.
  EXPECT_FALSE(appendFrame(out, FrameKind::Text, nullptr, 3));
  // The length field cannot hold this; the pointer must not be read.
  const char byte = 0;
  EXPECT_FALSE(appendFrame(out, FrameKind::Binary, &byte, 0x100000000ull));
  EXPECT_EQ(out, std::vector<std::uint8_t>{9});
  EXPECT_TRUE(appendFrame(out, FrameKind::Text, nullptr, 0));
  EXPECT_EQ(out, (std::vector<std::uint8_t>{9, 0, 0, 0, 0, 1}));
}

TEST(FrameCodec, ZeroLengthFrameHasNullPayloadAndNextFrameFollowsAtByteFive) {
  std::vector<std::uint8_t> bytes;
  appendFrame(bytes, FrameKind::Binary, nullptr, 0);
  appendFrame(bytes, FrameKind::Text, "{}", 2);
  FrameDecoder d;
  ASSERT_TRUE(d.append(bytes.data(), bytes.size()));
  FrameView f;
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(f.kind, FrameKind::Binary);
  EXPECT_EQ(f.payload, nullptr);
  EXPECT_EQ(f.length, 0u);
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(f.kind, FrameKind::Text);
  EXPECT_EQ(payloadOf(f), "{}");
  EXPECT_EQ(d.next(f), DecodeStatus::NeedMore);
}

TEST(FrameCodec, PartialInputWaitsWithoutError) {
  FrameDecoder d;
  FrameView f;
  const auto h = header(3, 1);
  ASSERT_TRUE(d.append(h.data(), 4));
  EXPECT_EQ(d.next(f), DecodeStatus::NeedMore);
  EXPECT_EQ(d.buffered(), 4u);

  // One byte at a time: nothing until the last payload byte is in.
  std::vector<std::uint8_t> rest{h[4], 'a', 'b'};
  for (std::uint8_t b : rest) {
    ASSERT_TRUE(d.append(&b, 1));
    EXPECT_EQ(d.next(f), DecodeStatus::NeedMore);
  }
  const std::uint8_t last = 'c';
  ASSERT_TRUE(d.append(&last, 1));
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(payloadOf(f), "abc");
  EXPECT_EQ(d.buffered(), 0u);
}

TEST(FrameCodec, SeveralFramesInOneChunkComeOutInOrder) {
  std::vector<std::uint8_t> bytes;
  const std::string withNul("a\0b", 3);
  appendFrame(bytes, FrameKind::Text, withNul.data(), withNul.size());
  appendFrame(bytes, FrameKind::Binary, "xyz", 3);
  appendFrame(bytes, static_cast<FrameKind>(7), "q", 1);
  bytes.push_back(0);  // start of a fourth header
  FrameDecoder d;
  ASSERT_TRUE(d.append(bytes.data(), bytes.size()));
  FrameView f;
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(payloadOf(f), withNul);  // exactly `length` bytes, NUL included
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(payloadOf(f), "xyz");
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(static_cast<int>(f.kind), 7);  // unknown kinds pass through
  EXPECT_EQ(d.next(f), DecodeStatus::NeedMore);
  d.discardDelivered();
  EXPECT_EQ(d.buffered(), 1u);
}

TEST(FrameCodec, LengthLimitIsInclusiveAndCheckedBeforeThePayload) {
  FrameDecoder d;
  FrameView f;
  auto h = header(kMaxFramePayload + 1, 2);
  ASSERT_TRUE(d.append(h.data(), h.size()));
  EXPECT_EQ(d.next(f), DecodeStatus::BadLength);
  EXPECT_EQ(d.badLength(), 67108865u);

  FrameDecoder big;
  h = header(kMaxFramePayload, 2);
  ASSERT_TRUE(big.append(h.data(), h.size()));
  EXPECT_EQ(big.next(f), DecodeStatus::NeedMore);
  std::vector<std::uint8_t> payload(kMaxFramePayload - 1, 0x5A);
  ASSERT_TRUE(big.append(payload.data(), payload.size()));
  EXPECT_EQ(big.next(f), DecodeStatus::NeedMore);
  const std::uint8_t last = 0xA5;
  ASSERT_TRUE(big.append(&last, 1));
  ASSERT_EQ(big.next(f), DecodeStatus::Frame);
  EXPECT_EQ(f.length, kMaxFramePayload);
  EXPECT_EQ(f.payload[0], 0x5A);
  EXPECT_EQ(f.payload[kMaxFramePayload - 1], 0xA5);
}

TEST(FrameCodec, ReceiveBufferLimitCountsOnlyUnconsumedBytes) {
  FrameDecoder d;
  std::vector<std::uint8_t> chunk(kMaxReceiveBuffer, 0);  // headers of empty frames
  ASSERT_TRUE(d.append(chunk.data(), chunk.size()));
  const std::uint8_t one = 0;
  EXPECT_FALSE(d.append(&one, 1));

  // Delivered frames no longer count once the next chunk arrives.
  FrameDecoder e;
  ASSERT_TRUE(e.append(chunk.data(), chunk.size()));
  FrameView f;
  ASSERT_EQ(e.next(f), DecodeStatus::Frame);
  EXPECT_TRUE(e.append(&one, 1));
  EXPECT_EQ(e.buffered(), kMaxReceiveBuffer - kFrameHeaderSize + 1);
}

// A reader with its own lower limit refuses from the header alone, so the
// payload of a frame it will never take is not waited for or kept.
TEST(FrameCodec, OwnLimitRefusesFromTheHeader) {
  FrameDecoder d;
  d.setMaxPayload(10);
  std::vector<std::uint8_t> bytes;
  appendFrame(bytes, FrameKind::Text, "0123456789", 10);
  const auto over = header(11, 1);
  bytes.insert(bytes.end(), over.begin(), over.end());
  ASSERT_TRUE(d.append(bytes.data(), bytes.size()));
  FrameView f;
  ASSERT_EQ(d.next(f), DecodeStatus::Frame);
  EXPECT_EQ(payloadOf(f), "0123456789");
  ASSERT_EQ(d.next(f), DecodeStatus::Oversized);
  EXPECT_EQ(f.kind, FrameKind::Text);
  EXPECT_EQ(f.length, 11u);
  EXPECT_EQ(f.payload, nullptr);
  // Beyond the format's own limit it stays a bad length.
  FrameDecoder e;
  e.setMaxPayload(0xFFFFFFFFu);
  const auto bad = header(kMaxFramePayload + 1, 1);
  ASSERT_TRUE(e.append(bad.data(), bad.size()));
  EXPECT_EQ(e.next(f), DecodeStatus::BadLength);
}

// A reader that skips long frames reports each once from its header, drops
// the payload however it is cut, keeps no more than one read's worth of
// bytes, and finds the next frame right after it.
TEST(FrameCodec, SkippedFramesAreReportedOnceAndCostNoMemory) {
  struct Case {
    const char* name;
    std::uint8_t kind;
    std::uint32_t length;
    std::size_t piece;  // bytes per append
    bool skipped;
  };
  const Case cases[] = {
      {"text at the limit is kept", 1, 64, 7, false},
      {"text one over, in 1-byte pieces", 1, 65, 1, true},
      {"text one over, all at once", 1, 65, 1000, true},
      {"large text in odd pieces", 1, 3u << 20, 65536 + 3, true},
      {"empty binary is kept", 2, 0, 5, false},
      {"one binary byte", 2, 1, 3, true},
      {"other kinds as binary", 9, 200, 64, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> bytes = header(c.length, c.kind);
    bytes.resize(bytes.size() + c.length, '[');
    appendFrame(bytes, FrameKind::Text, "ok", 2);

    FrameDecoder d;
    d.setMaxPayload(64);  // at the skip limit: not refused either
    d.setSkipAbove(64, 0);
    std::vector<std::string> seen;
    std::size_t most = 0;
    for (std::size_t at = 0; at < bytes.size(); at += c.piece) {
      const std::size_t n = std::min(c.piece, bytes.size() - at);
      ASSERT_TRUE(d.append(bytes.data() + at, n));
      most = std::max(most, d.buffered());
      FrameView f;
      for (DecodeStatus st; (st = d.next(f)) != DecodeStatus::NeedMore;) {
        ASSERT_TRUE(st == DecodeStatus::Frame || st == DecodeStatus::Skipped) << static_cast<int>(st);
        if (st == DecodeStatus::Skipped) {
          EXPECT_EQ(f.payload, nullptr);
          EXPECT_EQ(f.kind, static_cast<FrameKind>(c.kind));
          seen.push_back("skipped " + std::to_string(f.length));
        } else {
          seen.push_back(payloadOf(f).size() == c.length && seen.empty() ? "kept" : payloadOf(f));
        }
      }
      d.discardDelivered();
    }
    const std::vector<std::string> expected = {c.skipped ? "skipped " + std::to_string(c.length) : "kept", "ok"};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(d.skipping(), 0u);
    if (c.skipped) {
      EXPECT_LE(most, c.piece + 2 * kFrameHeaderSize + 2);  // a piece, or the next frame
      EXPECT_LE(d.capacity(), kKeptReceiveCapacity);
    }
  }
  // The format's own limit still ends the stream.
  FrameDecoder e;
  e.setSkipAbove(0, 0);
  const auto bad = header(kMaxFramePayload + 1, 1);
  ASSERT_TRUE(e.append(bad.data(), bad.size()));
  FrameView f;
  EXPECT_EQ(e.next(f), DecodeStatus::BadLength);
}

// One large frame must not pin a large buffer for the rest of the
// connection, whether it was the last thing received or a short tail follows.
TEST(FrameCodec, BufferGrownByALargeFrameIsGivenBackOnceDrained) {
  const std::string big(1 << 20, 'b');
  for (const std::size_t tail : {std::size_t{0}, std::size_t{3}, kFrameHeaderSize + 1}) {
    SCOPED_TRACE(tail);
    std::vector<std::uint8_t> bytes;
    appendFrame(bytes, FrameKind::Binary, big.data(), big.size());
    std::vector<std::uint8_t> next;
    appendFrame(next, FrameKind::Text, "ok", 2);
    bytes.insert(bytes.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(tail));

    FrameDecoder d;
    ASSERT_TRUE(d.append(bytes.data(), bytes.size()));
    ASSERT_GT(d.capacity(), kKeptReceiveCapacity);
    FrameView f;
    ASSERT_EQ(d.next(f), DecodeStatus::Frame);
    EXPECT_EQ(f.length, big.size());
    ASSERT_EQ(d.next(f), DecodeStatus::NeedMore);
    d.discardDelivered();
    EXPECT_LE(d.capacity(), kKeptReceiveCapacity);
    EXPECT_EQ(d.buffered(), tail);

    // The tail kept its bytes: the rest of the frame completes it.
    ASSERT_TRUE(d.append(next.data() + tail, next.size() - tail));
    ASSERT_EQ(d.next(f), DecodeStatus::Frame);
    EXPECT_EQ(payloadOf(f), "ok");
  }
}

// Random streams cut at random places must decode exactly like a straight
// reading of the whole stream. Bounded so it runs in every test pass; the
// salt list (or VL_FUZZ_SALT) makes a failure reproducible.
TEST(FrameCodecFuzz, RandomStreamsAndCutsMatchAReferenceReading) {
  std::vector<std::uint64_t> salts{1, 2, 3, 0x5A17ull, 0xC0FFEEull, 0xDEADBEEFull, 42, 77};
  if (const char* env = std::getenv("VL_FUZZ_SALT")) salts = {std::strtoull(env, nullptr, 0)};
  for (const std::uint64_t salt : salts) {
    SCOPED_TRACE("salt " + std::to_string(salt));
    std::mt19937_64 random(salt);
    for (int round = 0; round < 60; ++round) {
      // Build a stream: mostly valid frames, sometimes raw noise (which may
      // read as any header, a bad length included).
      std::vector<std::uint8_t> stream;
      const int pieces = 1 + static_cast<int>(random() % 12);
      for (int p = 0; p < pieces; ++p) {
        if (random() % 8 == 0) {
          const std::size_t n = random() % 12;
          for (std::size_t i = 0; i < n; ++i) stream.push_back(static_cast<std::uint8_t>(random()));
          continue;
        }
        const std::size_t length = random() % 4 == 0 ? 0 : random() % (random() % 3 == 0 ? 70000 : 64);
        std::vector<std::uint8_t> payload(length);
        for (auto& b : payload) b = static_cast<std::uint8_t>(random());
        appendFrame(stream, static_cast<FrameKind>(random() % 256), payload.data(), payload.size());
      }

      // Reference: read the whole stream straight through.
      std::vector<std::pair<int, std::string>> expected;
      bool expectBad = false;
      std::size_t pos = 0;
      for (;;) {
        if (stream.size() - pos < 5) break;
        const std::uint32_t len = (std::uint32_t{stream[pos]} << 24) | (std::uint32_t{stream[pos + 1]} << 16) |
                                  (std::uint32_t{stream[pos + 2]} << 8) | stream[pos + 3];
        if (len > kMaxFramePayload) {
          expectBad = true;
          break;
        }
        if (stream.size() - pos - 5 < len) break;
        expected.emplace_back(stream[pos + 4], std::string(stream.begin() + static_cast<std::ptrdiff_t>(pos + 5),
                                                           stream.begin() + static_cast<std::ptrdiff_t>(pos + 5 + len)));
        pos += 5 + len;
      }

      // Decoder fed in random cuts, discarding at random moments.
      FrameDecoder d;
      std::vector<std::pair<int, std::string>> got;
      bool gotBad = false;
      std::size_t fed = 0;
      while (fed < stream.size() && !gotBad) {
        const std::size_t cut = std::min<std::size_t>(stream.size() - fed, 1 + random() % 9000);
        ASSERT_TRUE(d.append(stream.data() + fed, cut));
        fed += cut;
        FrameView f;
        for (;;) {
          const DecodeStatus s = d.next(f);
          if (s == DecodeStatus::NeedMore) break;
          if (s == DecodeStatus::BadLength) {
            gotBad = true;
            break;
          }
          ASSERT_EQ(f.payload == nullptr, f.length == 0);
          got.emplace_back(static_cast<int>(f.kind), payloadOf(f));
        }
        if (random() % 2) d.discardDelivered();
      }
      ASSERT_EQ(gotBad, expectBad);
      ASSERT_EQ(got, expected);
      if (!gotBad) {
        EXPECT_EQ(d.buffered(), stream.size() - pos);
      }
    }
  }
}
