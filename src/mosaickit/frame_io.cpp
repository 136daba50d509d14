#include "mosaickit/frame_io.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace mosaickit {

namespace {

constexpr size_t kLengthBytes = 4;
constexpr size_t kHeaderBytes = 5;  // type and reqID after the length field

std::string errnoText(int err) {
  return std::strerror(err);
}

uint32_t littleEndian32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

FrameReader::FrameReader(ReadFn readFn) : readFn_(std::move(readFn)) {}

FrameReader::FrameReader(int fd)
    : readFn_([fd](uint8_t* dst, size_t count) { return ::read(fd, dst, count); }) {}

// Fills dst completely. Returns false when the input ended before the first byte; an end after
// some bytes is an error, since the stream then stops inside a frame.
bool FrameReader::readFull(uint8_t* dst, size_t count) {
  size_t got = 0;
  while (got < count) {
    const ssize_t n = readFn_(dst + got, count - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n == 0) {
      if (got == 0) return false;
      throw ProtocolError("EOF inside a frame after " + std::to_string(got) + " of " +
                          std::to_string(count) + " bytes");
    } else if (errno != EINTR) {
      throw ProtocolError("read: " + errnoText(errno));
    }
  }
  return true;
}

std::optional<Frame> FrameReader::next() {
  uint8_t header[kLengthBytes + kHeaderBytes] = {};
  if (!readFull(header, kLengthBytes)) return std::nullopt;
  const uint32_t length = littleEndian32(header);
  if (length < kHeaderBytes) {
    throw ProtocolError("frame length " + std::to_string(length) + " < 5");
  }
  if (length > maxFrameLength) {
    throw ProtocolError("frame length " + std::to_string(length) + " > 64 MiB");
  }
  if (!readFull(header + kLengthBytes, kHeaderBytes)) {
    throw ProtocolError("EOF inside a frame header");
  }
  Frame frame;
  frame.type = header[4];
  frame.reqID = littleEndian32(header + 5);
  if (length > kHeaderBytes) {
    frame.payload.resize(length - kHeaderBytes);
    if (!readFull(frame.payload.data(), frame.payload.size())) {
      throw ProtocolError("EOF inside a frame payload");
    }
  }
  return frame;
}

void FrameWriter::send(const Frame& frame) {
  const Bytes wire = frame.encode();
  std::lock_guard<std::mutex> hold(lock_);
  size_t offset = 0;
  while (offset < wire.size()) {
    const ssize_t n = ::write(fd_, wire.data() + offset, wire.size() - offset);
    if (n >= 1) {
      offset += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      throw ProtocolError("write: " + errnoText(errno));
    }
  }
}

}  // namespace mosaickit
