// The HDR-to-SDR curve on single grey pixels: where the reference white and the knee land, that
// highlights are compressed rather than clipped, and that both transfers agree on their greys.

#include "mosaickit/tone_map.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using mosaickit::HdrSignal;
using mosaickit::HdrTransfer;
using mosaickit::ToneMapper;

// The 16-bit PQ signal of `nits`, from SMPTE ST 2084.
uint16_t pqSignal(double nits) {
  const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096,
               c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
  const double p = std::pow(nits / 10000, m1);
  return static_cast<uint16_t>(std::lround(65535 * std::pow((c1 + c2 * p) / (1 + c3 * p), m2)));
}

// The SDR grey level a mapper gives a grey pixel of 16-bit signal `signal`.
int grey(const ToneMapper& mapper, uint16_t signal) {
  uint8_t bgra[4] = {};
  mapper.toBgra({&signal, &signal, &signal, 1}, 1, 1, bgra);
  EXPECT_EQ(bgra[0], bgra[1]);
  EXPECT_EQ(bgra[1], bgra[2]);
  EXPECT_EQ(bgra[3], 255);
  return bgra[1];
}

// SDR's 8-bit level for `nits` of display light, SDR white being the reference white.
int sdrLevel(double nits) {
  return static_cast<int>(std::lround(255 * std::pow(nits / 203, 1 / 2.4)));
}

TEST(ToneMap, GreysBelowTheKneeAreUntouchedAndHighlightsAreCompressedNotClipped) {
  const ToneMapper mapper(HdrSignal{HdrTransfer::pq, true, 1000});
  // Below the knee (about 95 cd/m2 for a 1000 cd/m2 source) display light is kept.
  for (double nits : {0.0, 1.0, 10.0, 50.0, 90.0}) {
    EXPECT_NEAR(grey(mapper, pqSignal(nits)), sdrLevel(nits), 1) << nits;
  }
  // Above it, every step of the source is still a step, up to white at the source's peak.
  int previous = grey(mapper, pqSignal(90));
  for (double nits : {150.0, 203.0, 300.0, 450.0, 600.0}) {
    const int level = grey(mapper, pqSignal(nits));
    EXPECT_GT(level, previous) << nits;
    EXPECT_LT(level, 255) << nits;
    previous = level;
  }
  EXPECT_EQ(grey(mapper, pqSignal(1000)), 255);
  EXPECT_EQ(grey(mapper, pqSignal(4000)), 255);
}

TEST(ToneMap, TheSourcePeakSetsTheCompression) {
  // A source no brighter than the reference white needs no compression: its white is SDR white.
  const ToneMapper dim(HdrSignal{HdrTransfer::pq, true, 203});
  EXPECT_EQ(grey(dim, pqSignal(203)), 255);
  EXPECT_NEAR(grey(dim, pqSignal(100)), sdrLevel(100), 1);
  // The brighter the source's peak, the more its reference white is brought down.
  const ToneMapper bright(HdrSignal{HdrTransfer::pq, true, 4000});
  const ToneMapper usual(HdrSignal{HdrTransfer::pq, true, 1000});
  EXPECT_LT(grey(bright, pqSignal(203)), grey(usual, pqSignal(203)));
  EXPECT_GT(grey(usual, pqSignal(203)), 220);
}

TEST(ToneMap, HlgGreysMatchPqGreysOfTheSameLight) {
  // HLG's reference white is 75 % of its signal; its peak renders at 1000 cd/m2.
  const ToneMapper hlg(HdrSignal{HdrTransfer::hlg, true, 1000});
  const ToneMapper pq(HdrSignal{HdrTransfer::pq, true, 1000});
  EXPECT_NEAR(grey(hlg, static_cast<uint16_t>(std::lround(0.75 * 65535))), grey(pq, pqSignal(203)),
              2);
  EXPECT_EQ(grey(hlg, 65535), 255);
  EXPECT_EQ(grey(hlg, 0), 0);
}

}  // namespace
