#include "orientation.h"

extern "C" {
#include <libavutil/display.h>
}
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>

#include "mosaickit/turbojpeg_handle.h"

namespace sprites {

namespace {

using mosaickit::Bytes;
using mosaickit::TjBuffer;
using mosaickit::TjHandle;

// Every orientation as a swap of axes followed by mirrors: F(x, y) = S(sx, sy) where
// (u, v) = swap ? (y, x) : (x, y), sx = mirrorX ? W-1-u : u, sy = mirrorY ? H-1-v : v.
struct Turn {
  bool swap, mirrorX, mirrorY;
};

Turn turnOf(Orientation orientation) {
  switch (orientation) {
    case Orientation::none:
      return {false, false, false};
    case Orientation::hflip:
      return {false, true, false};
    case Orientation::vflip:
      return {false, false, true};
    case Orientation::transpose:
      return {true, false, false};
    case Orientation::transverse:
      return {true, true, true};
    case Orientation::rot90:
      return {true, false, true};
    case Orientation::rot180:
      return {false, true, true};
    case Orientation::rot270:
      return {true, true, false};
  }
  return {false, false, false};
}

// Where point (x, y) of the turned picture comes from in a source of width x height.
std::pair<int, int> sourceOf(const Turn& turn, int x, int y, int width, int height) {
  const int u = turn.swap ? y : x, v = turn.swap ? x : y;
  return {turn.mirrorX ? width - 1 - u : u, turn.mirrorY ? height - 1 - v : v};
}

int transformOp(Orientation orientation) {
  switch (orientation) {
    case Orientation::none:
      return TJXOP_NONE;
    case Orientation::hflip:
      return TJXOP_HFLIP;
    case Orientation::vflip:
      return TJXOP_VFLIP;
    case Orientation::transpose:
      return TJXOP_TRANSPOSE;
    case Orientation::transverse:
      return TJXOP_TRANSVERSE;
    case Orientation::rot90:
      return TJXOP_ROT90;
    case Orientation::rot180:
      return TJXOP_ROT180;
    case Orientation::rot270:
      return TJXOP_ROT270;
  }
  return TJXOP_NONE;
}

TjHandle makeHandle(tjhandle raw) {
  if (raw == nullptr) throw OrientationError("cannot start TurboJPEG");
  return TjHandle(raw);
}

[[noreturn]] void fail(const char* call, tjhandle handle) {
  throw OrientationError(std::string(call) + ": " + tjGetErrorStr2(handle));
}

// libjpeg's luminance table at quality 50 (natural order) and the order DQT stores it in.
constexpr std::array<int, 64> kStandardLuma = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<int, 64> kZigzag = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The luminance quantisation table of a JPEG (table 0, in stored order), or none.
std::optional<std::array<int, 64>> lumaTable(const Bytes& jpeg) {
  size_t i = 2;  // after SOI
  while (i + 4 <= jpeg.size() && jpeg[i] == 0xFF) {
    const uint8_t marker = jpeg[i + 1];
    const size_t length = size_t{jpeg[i + 2]} << 8 | jpeg[i + 3];
    if (marker == 0xDA || length < 2 || i + 2 + length > jpeg.size()) break;  // start of scan
    if (marker == 0xDB) {
      for (size_t t = i + 4; t < i + 2 + length;) {
        const bool wide = (jpeg[t] >> 4) != 0;
        const int id = jpeg[t] & 0x0F;
        const size_t size = wide ? 128 : 64;
        if (t + 1 + size > i + 2 + length) break;
        if (id == 0) {
          std::array<int, 64> table{};
          for (size_t k = 0; k < 64; ++k) {
            table[k] = wide ? (jpeg[t + 1 + 2 * k] << 8 | jpeg[t + 2 + 2 * k]) : jpeg[t + 1 + k];
          }
          return table;
        }
        t += 1 + size;
      }
    }
    i += 2 + length;
  }
  return std::nullopt;
}

// The libjpeg quality whose scaled standard table is nearest the JPEG's own (exact for a JPEG
// that libjpeg made at a whole-number quality); 90 when the table cannot be read.
int qualityOf(const Bytes& jpeg) {
  const std::optional<std::array<int, 64>> table = lumaTable(jpeg);
  if (!table) return 90;
  int best = 90;
  long bestDistance = -1;
  for (int q = 1; q <= 100; ++q) {
    const long scale = q < 50 ? 5000 / q : 200 - 2 * q;
    long distance = 0;
    for (size_t k = 0; k < 64; ++k) {
      const long want = std::clamp<long>((kStandardLuma[kZigzag[k]] * scale + 50) / 100, 1, 255);
      distance += std::labs(want - (*table)[k]);
    }
    if (bestDistance < 0 || distance < bestDistance) {
      best = q;
      bestDistance = distance;
    }
  }
  return best;
}

std::optional<Bytes> turnLosslessly(const Bytes& jpeg, Orientation orientation) {
  const TjHandle handle = makeHandle(tjInitTransform());
  tjtransform transform{};
  transform.op = transformOp(orientation);
  // Refused, rather than done with the partial edge blocks dropped, when the size is not a whole
  // number of blocks where the turn needs it.
  transform.options = TJXOPT_PERFECT;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int status =
      tjTransform(handle.get(), jpeg.data(), jpeg.size(), 1, &out, &size, &transform, 0);
  const TjBuffer owned(out);
  if (status != 0) return std::nullopt;
  return Bytes(owned.get(), owned.get() + size);
}

Bytes turnByEncodingAgain(const Bytes& jpeg, Orientation orientation) {
  const TjHandle decoder = makeHandle(tjInitDecompress());
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(decoder.get(), jpeg.data(), jpeg.size(), &width, &height, &subsampling,
                          &colourspace) != 0) {
    fail("tjDecompressHeader3", decoder.get());
  }
  const auto w = static_cast<size_t>(width), h = static_cast<size_t>(height);
  Bytes pixels(w * h * 3);
  if (tjDecompress2(decoder.get(), jpeg.data(), jpeg.size(), pixels.data(), width, 0, height,
                    TJPF_RGB, TJFLAG_ACCURATEDCT) != 0) {
    fail("tjDecompress2", decoder.get());
  }
  const Turn turn = turnOf(orientation);
  const int outW = turn.swap ? height : width, outH = turn.swap ? width : height;
  Bytes turned(pixels.size());
  for (int y = 0; y < outH; ++y) {
    for (int x = 0; x < outW; ++x) {
      const auto [sx, sy] = sourceOf(turn, x, y, width, height);
      const uint8_t* from = pixels.data() + (static_cast<size_t>(sy) * w + size_t(sx)) * 3;
      uint8_t* to = turned.data() + (static_cast<size_t>(y) * size_t(outW) + size_t(x)) * 3;
      to[0] = from[0];
      to[1] = from[1];
      to[2] = from[2];
    }
  }
  const TjHandle encoder = makeHandle(tjInitCompress());
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const int status = tjCompress2(encoder.get(), turned.data(), outW, 0, outH, TJPF_RGB, &out, &size,
                                 subsampling, qualityOf(jpeg), TJFLAG_ACCURATEDCT);
  const TjBuffer owned(out);
  if (status != 0) fail("tjCompress2", encoder.get());
  return Bytes(owned.get(), owned.get() + size);
}

}  // namespace

Orientation orientationOf(const int32_t matrix[9]) {
  // libavutil gives the anticlockwise angle; players turn clockwise by its negative.
  const double angle = -av_display_rotation_get(matrix);
  if (!std::isfinite(angle)) return Orientation::none;
  const long quarter = ((std::lround(angle / 90) % 4) + 4) % 4;
  // A mirror shows as the sign of the matrix's entries beside the rotation.
  switch (quarter) {
    case 1:
      return matrix[3] > 0 ? Orientation::transpose : Orientation::rot90;
    case 2:
      if (matrix[0] < 0 && matrix[4] < 0) return Orientation::rot180;
      return matrix[0] < 0   ? Orientation::hflip
             : matrix[4] < 0 ? Orientation::vflip
                             : Orientation::none;
    case 3:
      return matrix[3] < 0 ? Orientation::transverse : Orientation::rot270;
    default:
      return matrix[4] < 0 ? Orientation::vflip : Orientation::none;
  }
}

std::string describe(Orientation orientation) {
  switch (orientation) {
    case Orientation::none:
      return "0";
    case Orientation::hflip:
      return "0 mirrored";
    case Orientation::vflip:
      return "180 mirrored";
    case Orientation::transpose:
      return "270 mirrored";
    case Orientation::transverse:
      return "90 mirrored";
    case Orientation::rot90:
      return "90";
    case Orientation::rot180:
      return "180";
    case Orientation::rot270:
      return "270";
  }
  return "0";
}

bool swapsSides(Orientation orientation) {
  return turnOf(orientation).swap;
}

std::pair<int, int> codedCell(Orientation orientation, int shownColumn, int shownRow, int columns,
                              int rows) {
  return sourceOf(turnOf(orientation), shownColumn, shownRow, columns, rows);
}

Bytes orientJpeg(const Bytes& jpeg, Orientation orientation) {
  if (orientation == Orientation::none) return jpeg;
  if (std::optional<Bytes> turned = turnLosslessly(jpeg, orientation)) return std::move(*turned);
  return turnByEncodingAgain(jpeg, orientation);
}

}  // namespace sprites
