// HDR pictures made fit for an SDR thumbnail: PQ (SMPTE ST 2084) and HLG (ARIB STD-B67) signals,
// in BT.2020 or BT.709 primaries, turned into 8-bit BT.709 BGRA as an SDR display would show
// them.
//
// The conversion works on pictures already reduced to cell size, from 16-bit RGB that still
// carries the source's transfer, so it costs a few table lookups per cell pixel and bands no
// more than the decoder's 10 bits:
//   1. the signal goes to display light (PQ: its EOTF; HLG: its inverse OETF and a system gamma
//      of 1.2 per channel for a 1000 cd/m2 display), counted in units of the HDR reference white
//      of 203 cd/m2;
//   2. highlights are compressed with the BT.2390 EETF in the PQ domain, from the source's peak
//      onto the reference white, applied to the brightest of R, G and B so that hues and
//      saturation stay; everything below the knee (about 95 cd/m2 for a 1000 cd/m2 source) is
//      untouched, and a source whose peak is the reference white or less is not compressed;
//   3. BT.2020 colours are mapped into BT.709 primaries (outside colours clip per channel);
//   4. the reference white is SDR white, encoded with the inverse of the BT.1886 EOTF
//      (gamma 2.4).
//
// Thread-safety: a ToneMapper is immutable once made; any number of threads may use one. Its
// shared tables are built once per process, on first use, safely.
// Errors: none (beyond std::bad_alloc).

#ifndef MOSAICKIT_TONE_MAP_H_
#define MOSAICKIT_TONE_MAP_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mosaickit {

enum class HdrTransfer { pq, hlg };

// What an HDR stream says about itself.
struct HdrSignal {
  HdrTransfer transfer = HdrTransfer::pq;
  bool bt2020 = true;      // BT.2020 primaries (else BT.709)
  double peakNits = 1000;  // the brightest the content gets, from the stream's metadata

  friend bool operator==(const HdrSignal&, const HdrSignal&) = default;
};

// The HDR reference white (BT.2408), which becomes SDR white.
inline constexpr double referenceWhiteNits = 203;
// The peak assumed where a stream gives none, and the display HLG is rendered for.
inline constexpr double defaultPeakNits = 1000;

class ToneMapper {
 public:
  explicit ToneMapper(const HdrSignal& signal);

  const HdrSignal& signal() const { return signal_; }

  // 16-bit planes of full-range R', G' and B' (the signal, before its transfer), rows `stride`
  // samples apart in each.
  struct Planes {
    const uint16_t* r;
    const uint16_t* g;
    const uint16_t* b;
    size_t stride;
  };

  // Converts width x height pixels to BGRA with alpha 255 (rows width x 4 bytes apart).
  void toBgra(const Planes& planes, int width, int height, uint8_t* bgra) const;

 private:
  HdrSignal signal_;
  // By the top 12 bits of a pixel's brightest channel: the factor the EETF gives its light.
  std::vector<float> gain_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_TONE_MAP_H_
