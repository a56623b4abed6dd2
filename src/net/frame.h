// The frame format of every TCP channel: a 5-byte header (payload length,
// unsigned 32-bit big-endian, then one kind byte) followed by the payload.
// There is no magic or checksum, so a reader that meets a bad length cannot
// find its place again and must drop the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vl::net {

enum class FrameKind : std::int32_t { Text = 1, Binary = 2 };

inline constexpr std::size_t kFrameHeaderSize = 5;
// Largest payload a reader accepts (inclusive).
inline constexpr std::uint32_t kMaxFramePayload = 0x4000000;
// Largest number of received, unconsumed bytes a reader keeps.
inline constexpr std::size_t kMaxReceiveBuffer = 0x4000010;
// Receive buffer a reader keeps between frames; one large frame must not
// pin its size for the rest of the connection.
inline constexpr std::size_t kKeptReceiveCapacity = 262144;

// Writes the header for (kind, length): length bits 31-24 .. 7-0, then the
// low byte of the kind.
void encodeFrameHeader(std::uint8_t out[kFrameHeaderSize], FrameKind kind, std::uint32_t length);

// Appends header and payload to `out`. Refuses (false, `out` untouched) a
// length that does not fit the 32-bit field and a null payload with a
// non-zero length: either would put a header on the wire that does not
// match the bytes after it.
bool appendFrame(std::vector<std::uint8_t>& out, FrameKind kind, const void* payload,
                 std::uint64_t length);

// One received frame. `payload` is null when `length` is 0.
struct FrameView {
  FrameKind kind = FrameKind::Text;
  const std::uint8_t* payload = nullptr;
  std::uint32_t length = 0;
};

enum class DecodeStatus {
  Frame,      // a frame was returned
  NeedMore,   // no complete frame buffered yet
  BadLength,  // the next header's length exceeds kMaxFramePayload
  Oversized,  // it exceeds the reader's own lower limit: kind and length are
              // set, payload is null, and the stream cannot go on
  Skipped,    // it exceeds the reader's skip limit: kind and length are set,
              // payload is null, and its bytes are dropped as they arrive
};

// Reassembles frames from the received byte stream.
//
// Typical pass: append() every chunk read, then call next() until it stops
// returning Frame, then discardDelivered(). Pointers handed out by next()
// stay valid until the following append(), discardDelivered() or clear().
class FrameDecoder {
 public:
  // Frames longer than this (at most kMaxFramePayload) give Oversized as
  // soon as their header is in, before any of the payload is kept.
  void setMaxPayload(std::uint32_t bytes) { maxPayload_ = bytes < kMaxFramePayload ? bytes : kMaxFramePayload; }
  // Frames longer than these (text frames, and frames of any other kind) are
  // read past instead: next() reports each once as Skipped as soon as its
  // header is in, and its payload is dropped as it arrives, so the stream
  // goes on and a long frame costs no memory. Checked before setMaxPayload's
  // limit; kMaxFramePayload still ends the stream.
  void setSkipAbove(std::uint32_t textBytes, std::uint32_t otherBytes) {
    skipping_ = true;
    skipText_ = textBytes;
    skipOther_ = otherBytes;
  }

  // Adds received bytes (dropping already delivered ones first). Returns
  // false when more than kMaxReceiveBuffer unconsumed bytes are now held:
  // the connection should be dropped.
  bool append(const void* data, std::size_t size);

  // Returns the next complete frame after those already returned.
  DecodeStatus next(FrameView& frame);

  // Removes the frames returned so far from the front of the buffer; a
  // buffer grown past kKeptReceiveCapacity is given back once what remains
  // fits in a quarter of that.
  void discardDelivered();

  void clear();

  // Bytes received and not yet returned as frames.
  std::size_t buffered() const { return buffer_.size() - readOffset_; }
  // Payload bytes of a skipped frame still to come and be dropped.
  std::uint64_t skipping() const { return skipRemaining_; }
  // Bytes the buffer holds room for.
  std::size_t capacity() const { return buffer_.capacity(); }
  // Length field of the header that caused the last BadLength.
  std::uint32_t badLength() const { return badLength_; }

 private:
  void releaseExcess();

  std::vector<std::uint8_t> buffer_;
  std::size_t readOffset_ = 0;
  std::uint32_t maxPayload_ = kMaxFramePayload;
  std::uint32_t badLength_ = 0;
  bool skipping_ = false;
  std::uint32_t skipText_ = 0;
  std::uint32_t skipOther_ = 0;
  std::uint64_t skipRemaining_ = 0;
};

}  // namespace vl::net
