#include "mosaickit/frame_io.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
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
  // The payload is written from where it lies: a reply of tens of megabytes is not copied once
  // more behind its header. One gathered write keeps the frame one write for the system, as if
  // it were one buffer.
  const Bytes header = frame.encodeHeader();
  std::array<iovec, 2> parts = {{
      {const_cast<uint8_t*>(header.data()), header.size()},
      {const_cast<uint8_t*>(frame.payload.data()), frame.payload.size()},
  }};
  std::lock_guard<std::mutex> hold(lock_);
  writeAll(parts);
}

void FrameWriter::writeAll(std::span<iovec> parts) {
  size_t first = 0;
  for (;;) {
    while (first < parts.size() && parts[first].iov_len == 0) ++first;
    if (first == parts.size()) return;
    ssize_t n = ::writev(fd_, &parts[first], static_cast<int>(parts.size() - first));
    if (n < 0 && errno == EINTR) continue;
    if (n < 1) throw ProtocolError("write: " + errnoText(errno));
    // Partial writes are continued from where they stopped.
    for (size_t k = first; n > 0; ++k) {
      const size_t taken = std::min(static_cast<size_t>(n), parts[k].iov_len);
      parts[k].iov_base = static_cast<uint8_t*>(parts[k].iov_base) + taken;
      parts[k].iov_len -= taken;
      n -= static_cast<ssize_t>(taken);
    }
  }
}

}  // namespace mosaickit
