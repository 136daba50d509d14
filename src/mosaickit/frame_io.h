// The two ends of the frame stream: FrameReader cuts frames out of a byte source, FrameWriter
// writes whole frames to a file descriptor from any thread.
//
// Both throw only ProtocolError: a broken stream ends the process, unlike a bad payload.

#ifndef MOSAICKIT_FRAME_IO_H_
#define MOSAICKIT_FRAME_IO_H_

#include <sys/types.h>
#include <sys/uio.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>

#include "mosaickit/protocol.h"

namespace mosaickit {

// Reads frames from a source with the contract of POSIX read: the function stores up to `count`
// bytes at `dst` and returns how many (> 0), 0 at end of input, or a negative value with errno
// set. Not thread-safe: one thread reads.
class FrameReader {
 public:
  using ReadFn = std::function<ssize_t(uint8_t* dst, size_t count)>;

  explicit FrameReader(ReadFn readFn);
  // Reads with POSIX read on `fd`, which the caller keeps open and owns.
  explicit FrameReader(int fd);

  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // The next whole frame, or nullopt when the input ends cleanly at a frame boundary. Throws
  // ProtocolError for a length field outside 5..maxFrameLength (checked before anything else is
  // read), for input that ends inside a frame and for read errors other than EINTR. The type
  // byte is not checked. One frame costs at most three read requests: length, header, payload;
  // the payload is read in place, so one frame allocates at most its own length.
  // After a throw the stream is broken: do not call next again.
  std::optional<Frame> next();

 private:
  bool readFull(uint8_t* dst, size_t count);

  ReadFn readFn_;
};

// Writes frames to a file descriptor that the caller keeps open and owns. Thread-safe: each
// frame is written whole under the writer's lock, so frames from several threads never
// interleave; they go out in the order their senders take the lock.
class FrameWriter {
 public:
  explicit FrameWriter(int fd) : fd_(fd) {}

  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // Writes the whole frame, continuing partial writes and retrying EINTR. Throws
  // ProtocolError("write: " + strerror text) on any other failure or a zero-byte write; part of
  // the frame may then be on the output. Does not apply maxFrameLength.
  void send(const Frame& frame);

 private:
  void writeAll(std::span<iovec> parts);  // REQUIRES: lock_ held

  int fd_;
  std::mutex lock_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_FRAME_IO_H_
