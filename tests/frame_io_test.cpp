#include "mosaickit/frame_io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

namespace mosaickit {
namespace {

// A read function over bytes in memory that hands out at most `chunk` bytes per call and can
// fail with EINTR first, as a pipe may. Counts its calls.
struct MemorySource {
  Bytes data;
  size_t chunk = SIZE_MAX;
  int interruptsFirst = 0;
  size_t pos = 0;
  int calls = 0;

  FrameReader::ReadFn fn() {
    return [this](uint8_t* dst, size_t count) -> ssize_t {
      ++calls;
      if (interruptsFirst > 0) {
        --interruptsFirst;
        errno = EINTR;
        return -1;
      }
      const size_t n = std::min({count, chunk, data.size() - pos});
      if (n > 0) std::memcpy(dst, data.data() + pos, n);  // an empty vector's data() may be null
      pos += n;
      return static_cast<ssize_t>(n);
    };
  }
};

std::string protocolErrorOf(const Bytes& input) {
  MemorySource source{input};
  FrameReader reader(source.fn());
  try {
    while (reader.next()) {
    }
  } catch (const ProtocolError& e) {
    return e.description();
  }
  return "<no error>";
}

TEST(FrameReader, ReadsFramesUntilACleanEnd) {
  const Frame a{2, 7, {}};
  const Frame b{200, 0xFFFFFFFF, {1, 2, 3}};
  const Frame c{0, 1, {9}};
  Bytes wire = a.encode();
  for (const Frame& f : {b, c}) {
    const Bytes w = f.encode();
    wire.insert(wire.end(), w.begin(), w.end());
  }
  EXPECT_EQ(a.encode(), (Bytes{0x05, 0, 0, 0, 0x02, 0x07, 0, 0, 0}));

  for (size_t chunk : {size_t{1}, size_t{3}, SIZE_MAX}) {
    MemorySource source{wire, chunk, /*interruptsFirst=*/2};
    FrameReader reader(source.fn());
    EXPECT_EQ(reader.next(), a);
    EXPECT_EQ(reader.next(), b);  // type bytes are delivered as they are
    EXPECT_EQ(reader.next(), c);
    EXPECT_EQ(reader.next(), std::nullopt);
  }
}

TEST(FrameReader, EmptyInputIsACleanEnd) {
  MemorySource source;
  FrameReader reader(source.fn());
  EXPECT_EQ(reader.next(), std::nullopt);
}

TEST(FrameReader, ReadsAFrameInThreeRequests) {
  MemorySource source{Frame{2, 1, Bytes(1000, 7)}.encode()};
  FrameReader reader(source.fn());
  ASSERT_TRUE(reader.next());
  EXPECT_EQ(source.calls, 3);
}

TEST(FrameReader, BrokenStreams) {
  struct Case {
    Bytes input;
    std::string description;
  };
  const std::vector<Case> cases = {
      {{3, 0, 0, 0}, "frame length 3 < 5"},
      {{0, 0, 0, 0}, "frame length 0 < 5"},
      {{0x01, 0x00, 0x00, 0x04, 2}, "frame length 67108865 > 64 MiB"},
      {{0xFF, 0xFF, 0xFF, 0xFF}, "frame length 4294967295 > 64 MiB"},
      {{5, 0}, "EOF inside a frame after 2 of 4 bytes"},
      {{5, 0, 0, 0}, "EOF inside a frame header"},
      {{5, 0, 0, 0, 2, 0, 0}, "EOF inside a frame after 3 of 5 bytes"},
      {{10, 0, 0, 0, 2, 0, 0, 0, 0}, "EOF inside a frame payload"},
      {{10, 0, 0, 0, 2, 0, 0, 0, 0, 1, 2}, "EOF inside a frame after 2 of 5 bytes"},
  };
  for (const Case& c : cases) EXPECT_EQ(protocolErrorOf(c.input), c.description);
}

TEST(FrameReader, AcceptsTheLargestLengthWithoutReadingMoreThanTheHeaderFirst) {
  // 64 MiB exactly is accepted: the reader goes on to the header and then wants the payload.
  EXPECT_EQ(protocolErrorOf({0x00, 0x00, 0x00, 0x04, 2, 0, 0, 0, 0}), "EOF inside a frame payload");
}

TEST(FrameReader, ReportsReadErrors) {
  FrameReader reader([](uint8_t*, size_t) -> ssize_t {
    errno = EBADF;
    return -1;
  });
  try {
    reader.next();
    FAIL() << "no error";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.description(), std::string("read: ") + std::strerror(EBADF));
  }
}

class Pipe {
 public:
  Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void closeRead() { closeFd(fds_[0]); }
  void closeWrite() { closeFd(fds_[1]); }

 private:
  static void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

TEST(FrameWriter, FramesFromManyThreadsArriveWhole) {
  Pipe pipe;
  FrameWriter writer(pipe.writeEnd());
  constexpr int kThreads = 4, kFrames = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // Frames larger than the pipe buffer force partial writes.
    threads.emplace_back([&writer, t] {
      for (int k = 0; k < kFrames; ++k) {
        writer.send(Frame{3, static_cast<uint32_t>(t), Bytes(100000, static_cast<uint8_t>(t))});
      }
    });
  }
  FrameReader reader(pipe.readEnd());
  std::vector<int> seen(kThreads);
  for (int k = 0; k < kThreads * kFrames; ++k) {
    const std::optional<Frame> frame = reader.next();
    ASSERT_TRUE(frame);
    ASSERT_LT(frame->reqID, static_cast<uint32_t>(kThreads));
    ASSERT_EQ(frame->payload, Bytes(100000, static_cast<uint8_t>(frame->reqID)));
    ++seen[frame->reqID];
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(seen, std::vector<int>(kThreads, kFrames));
}

TEST(FrameWriter, WritingToAPipeWithoutReaderFails) {
  std::signal(SIGPIPE, SIG_IGN);
  Pipe pipe;
  pipe.closeRead();
  FrameWriter writer(pipe.writeEnd());
  try {
    writer.send(Frame{1, 0, {}});
    FAIL() << "no error";
  } catch (const ProtocolError& e) {
    EXPECT_EQ(e.description(), std::string("write: ") + std::strerror(EPIPE));
  }
}

}  // namespace
}  // namespace mosaickit
