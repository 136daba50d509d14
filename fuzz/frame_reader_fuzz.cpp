// The frame stream from the parent is untrusted: any bytes, delivered in any pieces, must give
// whole frames, a clean end or a ProtocolError, never a crash or an allocation beyond what the
// length field allows. The first byte of the input picks the size of each read.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mosaickit/frame_io.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mosaickit;
  if (size == 0) return 0;
  const size_t chunk = data[0] % 16 + 1;
  size_t pos = 1;
  FrameReader reader([&](uint8_t* dst, size_t count) -> ssize_t {
    const size_t n = std::min({count, chunk, size - pos});
    std::memcpy(dst, data + pos, n);
    pos += n;
    return static_cast<ssize_t>(n);
  });
  try {
    while (std::optional<Frame> frame = reader.next()) {
      const Bytes wire = frame->encode();
      if (wire.size() < 9 || wire.size() - 5 > maxFrameLength) std::abort();
    }
    if (pos != size) std::abort();  // a clean end consumed everything
  } catch (const ProtocolError&) {
  }
  return 0;
}
