// The input format of the decode-path fuzz target: a control byte, then parameter sets and
// access units separated by a four-byte marker. Separators rather than length fields, so that
// the fuzzer's mutations (inserting, erasing, splicing bytes) keep most inputs meaningful.
//
//   byte 0        control: bit 0 codec (0 H.264, 1 H.265); bit 1 path (0 the whole JobRunner,
//                 1 one Decoder directly, used twice); bits 2-3 fit size; bit 4 leaves the first
//                 access unit out of every cell
//   then          pieces separated by kPieceMarker: the codec's parameter sets first (two for
//                 H.264: SPS, PPS; three for H.265: VPS, SPS, PPS), then the access units, each
//                 its NAL units with 4-byte big-endian lengths, as a job carries them
//
// Shared by the fuzz target and the program that writes its seeds from the test clips.

#ifndef GRIDWRIGHT_FUZZ_DECODE_INPUT_H_
#define GRIDWRIGHT_FUZZ_DECODE_INPUT_H_

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "mosaickit/protocol.h"

namespace decode_fuzz {

inline constexpr std::array<uint8_t, 4> kPieceMarker = {'G', 'W', 'F', 'Z'};
// Access units beyond this many are ignored, so that one input stays quick to run.
inline constexpr size_t kMaxUnits = 24;

struct FitSize {
  int w, h;
};
inline constexpr std::array<FitSize, 4> kFitSizes = {{{16, 16}, {33, 17}, {64, 36}, {3, 1}}};

struct DecodeCase {
  mosaickit::Codec codec = mosaickit::Codec::h264;
  bool direct = false;     // one Decoder, not the JobRunner
  int fit = 0;             // index into kFitSizes
  bool skipFirst = false;  // no cell shows access unit 0
  std::vector<mosaickit::Bytes> paramSets;
  std::vector<mosaickit::Bytes> units;
};

inline size_t paramSetCount(mosaickit::Codec codec) {
  return codec == mosaickit::Codec::h265 ? 3 : 2;
}

// Never fails: missing pieces leave fewer parameter sets or no access units.
inline DecodeCase parseDecodeInput(mosaickit::ByteView input) {
  DecodeCase c;
  if (input.empty()) return c;
  const uint8_t control = input[0];
  c.codec = (control & 1) ? mosaickit::Codec::h265 : mosaickit::Codec::h264;
  c.direct = (control & 2) != 0;
  c.fit = (control >> 2) & 3;
  c.skipFirst = (control & 16) != 0;
  std::vector<mosaickit::Bytes> pieces;
  auto at = input.begin() + 1;
  for (;;) {
    const auto next = std::search(at, input.end(), kPieceMarker.begin(), kPieceMarker.end());
    pieces.emplace_back(at, next);
    if (next == input.end()) break;
    at = next + kPieceMarker.size();
  }
  const size_t sets = std::min(paramSetCount(c.codec), pieces.size());
  c.paramSets.assign(pieces.begin(), pieces.begin() + sets);
  const size_t units = std::min(pieces.size() - sets, kMaxUnits);
  c.units.assign(pieces.begin() + sets, pieces.begin() + sets + units);
  return c;
}

inline mosaickit::Bytes encodeDecodeInput(const DecodeCase& c) {
  mosaickit::Bytes out;
  out.push_back(static_cast<uint8_t>((c.codec == mosaickit::Codec::h265 ? 1 : 0) |
                                     (c.direct ? 2 : 0) | (c.fit << 2) | (c.skipFirst ? 16 : 0)));
  bool first = true;
  auto piece = [&](const mosaickit::Bytes& bytes) {
    if (!first) out.insert(out.end(), kPieceMarker.begin(), kPieceMarker.end());
    first = false;
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  for (const mosaickit::Bytes& set : c.paramSets) piece(set);
  for (const mosaickit::Bytes& unit : c.units) piece(unit);
  return out;
}

}  // namespace decode_fuzz

#endif  // GRIDWRIGHT_FUZZ_DECODE_INPUT_H_
