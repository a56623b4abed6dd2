#include "net/frame.h"

#include <cstring>

namespace vl::net {

void encodeFrameHeader(std::uint8_t out[kFrameHeaderSize], FrameKind kind, std::uint32_t length) {
  out[0] = static_cast<std::uint8_t>(length >> 24);
  out[1] = static_cast<std::uint8_t>(length >> 16);
  out[2] = static_cast<std::uint8_t>(length >> 8);
  out[3] = static_cast<std::uint8_t>(length);
  out[4] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(kind) & 0xFF);
}

bool appendFrame(std::vector<std::uint8_t>& out, FrameKind kind, const void* payload,
                 std::uint64_t length) {
  if (length > 0xFFFFFFFFull) return false;
  if (length != 0 && payload == nullptr) return false;
  std::uint8_t header[kFrameHeaderSize];
  encodeFrameHeader(header, kind, static_cast<std::uint32_t>(length));
  out.insert(out.end(), header, header + kFrameHeaderSize);
  if (length != 0) {
    const auto* p = static_cast<const std::uint8_t*>(payload);
    out.insert(out.end(), p, p + length);
  }
  return true;
}

bool FrameDecoder::append(const void* data, std::size_t size) {
  discardDelivered();
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (skipRemaining_ != 0 && size != 0) {
    // Nothing is buffered while a frame is skipped: its bytes come first.
    const std::size_t dropped = skipRemaining_ < size ? static_cast<std::size_t>(skipRemaining_) : size;
    p += dropped;
    size -= dropped;
    skipRemaining_ -= dropped;
  }
  if (size != 0) buffer_.insert(buffer_.end(), p, p + size);
  return buffer_.size() <= kMaxReceiveBuffer;
}

DecodeStatus FrameDecoder::next(FrameView& frame) {
  if (skipRemaining_ != 0) return DecodeStatus::NeedMore;
  const std::size_t available = buffer_.size() - readOffset_;
  if (available < kFrameHeaderSize) return DecodeStatus::NeedMore;
  const std::uint8_t* p = buffer_.data() + readOffset_;
  const std::uint32_t length = (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) |
                               (std::uint32_t{p[2]} << 8) | std::uint32_t{p[3]};
  if (length > kMaxFramePayload) {
    badLength_ = length;
    return DecodeStatus::BadLength;
  }
  const FrameKind kind = static_cast<FrameKind>(p[4]);
  if (skipping_ && length > (kind == FrameKind::Text ? skipText_ : skipOther_)) {
    const std::size_t here = available - kFrameHeaderSize < length ? available - kFrameHeaderSize : length;
    readOffset_ += kFrameHeaderSize + here;
    skipRemaining_ = length - here;
    frame.kind = kind;
    frame.payload = nullptr;
    frame.length = length;
    return DecodeStatus::Skipped;
  }
  if (length > maxPayload_) {
    frame.kind = static_cast<FrameKind>(p[4]);
    frame.payload = nullptr;
    frame.length = length;
    return DecodeStatus::Oversized;
  }
  if (available - kFrameHeaderSize < length) return DecodeStatus::NeedMore;
  frame.kind = static_cast<FrameKind>(p[4]);
  frame.payload = length == 0 ? nullptr : p + kFrameHeaderSize;
  frame.length = length;
  readOffset_ += kFrameHeaderSize + length;
  return DecodeStatus::Frame;
}

void FrameDecoder::discardDelivered() {
  if (readOffset_ == 0) return;
  if (readOffset_ == buffer_.size()) {
    buffer_.clear();
  } else {
    // Only the tail of an incomplete frame moves.
    std::memmove(buffer_.data(), buffer_.data() + readOffset_, buffer_.size() - readOffset_);
    buffer_.resize(buffer_.size() - readOffset_);
  }
  readOffset_ = 0;
  releaseExcess();
}

void FrameDecoder::clear() {
  buffer_.clear();
  readOffset_ = 0;
  skipRemaining_ = 0;
  releaseExcess();
}

void FrameDecoder::releaseExcess() {
  // Small buffers keep their room so a steady stream never reallocates.
  if (buffer_.capacity() <= kKeptReceiveCapacity || buffer_.size() > kKeptReceiveCapacity / 4) return;
  std::vector<std::uint8_t> kept(buffer_.begin(), buffer_.end());
  buffer_.swap(kept);
}

}  // namespace vl::net
