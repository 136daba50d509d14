#include "mosaickit/tone_map.h"

#include <algorithm>
#include <cmath>

namespace mosaickit {

namespace {

// SMPTE ST 2084.
constexpr double kPqM1 = 2610.0 / 16384;
constexpr double kPqM2 = 2523.0 / 4096 * 128;
constexpr double kPqC1 = 3424.0 / 4096;
constexpr double kPqC2 = 2413.0 / 4096 * 32;
constexpr double kPqC3 = 2392.0 / 4096 * 32;
constexpr double kPqPeakNits = 10000;

double pqToNits(double signal) {
  const double p = std::pow(std::clamp(signal, 0.0, 1.0), 1 / kPqM2);
  return kPqPeakNits * std::pow(std::max(p - kPqC1, 0.0) / (kPqC2 - kPqC3 * p), 1 / kPqM1);
}

double nitsToPq(double nits) {
  const double p = std::pow(std::max(nits, 0.0) / kPqPeakNits, kPqM1);
  return std::pow((kPqC1 + kPqC2 * p) / (1 + kPqC3 * p), kPqM2);
}

// ARIB STD-B67: the signal back to scene light in [0, 1].
double hlgToScene(double signal) {
  constexpr double a = 0.17883277, b = 1 - 4 * a, c = 0.55991073;
  const double e = std::clamp(signal, 0.0, 1.0);
  return e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
}

// HLG to display light for a 1000 cd/m2 display, with the system gamma of 1.2 applied to each
// channel: the rendering an SDR chain gives scene light (and libzimg's, which makes most HLG test
// material). BT.2100's luminance-based OOTF would render the same greys but shift colours made
// this way towards grey (measured on such a clip: 66 % of the source's saturation against 88 %).
double hlgToDisplay(double signal) {
  return defaultPeakNits / referenceWhiteNits * std::pow(hlgToScene(signal), 1.2);
}

// The BT.2390 EETF: display light in cd/m2 mapped from [0, sourcePeak] onto [0, targetPeak],
// with a Hermite spline above the knee in the PQ domain and the identity below it.
double eetfNits(double nits, double sourcePeak, double targetPeak) {
  const double sourcePq = nitsToPq(sourcePeak);
  const double maxLum = nitsToPq(targetPeak) / sourcePq;
  if (maxLum >= 1) return nits;
  const double e1 = std::min(nitsToPq(nits) / sourcePq, 1.0);
  const double knee = 1.5 * maxLum - 0.5;
  if (e1 <= knee) return nits;
  const double t = (e1 - knee) / (1 - knee), t2 = t * t, t3 = t2 * t;
  const double e2 =
      (2 * t3 - 3 * t2 + 1) * knee + (t3 - 2 * t2 + t) * (1 - knee) + (-2 * t3 + 3 * t2) * maxLum;
  return pqToNits(e2 * sourcePq);
}

// Every 16-bit signal value to display light in reference whites.
using DecodeTable = std::vector<float>;

DecodeTable makeDecodeTable(double (*toLinear)(double)) {
  DecodeTable table(65536);
  for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<float>(toLinear(i / 65535.0));
  return table;
}

const DecodeTable& decodeTable(HdrTransfer transfer) {
  static const DecodeTable pq =
      makeDecodeTable([](double e) { return pqToNits(e) / referenceWhiteNits; });
  static const DecodeTable hlg = makeDecodeTable(hlgToDisplay);
  return transfer == HdrTransfer::pq ? pq : hlg;
}

// Linear SDR light in [0, 1], in 65536 steps, to 8 bits through the inverse BT.1886 EOTF.
constexpr size_t kEncodeSteps = 65535;

const std::vector<uint8_t>& encodeTable() {
  static const std::vector<uint8_t> table = [] {
    std::vector<uint8_t> t(kEncodeSteps + 1);
    for (size_t i = 0; i <= kEncodeSteps; ++i) {
      t[i] = static_cast<uint8_t>(
          std::lround(255 * std::pow(static_cast<double>(i) / kEncodeSteps, 1 / 2.4)));
    }
    return t;
  }();
  return table;
}

uint8_t encode(float light, const std::vector<uint8_t>& table) {
  return table[static_cast<size_t>(std::clamp(light, 0.0f, 1.0f) * kEncodeSteps + 0.5f)];
}

// The gain is smooth in the signal, so 12 bits of the brightest channel index it finely enough
// that neighbouring entries differ by far less than one output step.
constexpr int kGainShift = 4;
constexpr size_t kGainEntries = 65536 >> kGainShift;

}  // namespace

ToneMapper::ToneMapper(const HdrSignal& signal) : signal_(signal), gain_(kGainEntries) {
  const DecodeTable& decode = decodeTable(signal.transfer);
  const double peakNits = std::clamp(signal.peakNits, 1.0, 10000.0);
  for (size_t i = 0; i < kGainEntries; ++i) {
    // The middle of the codes the entry stands for; the transfer is increasing, so the
    // brightest channel's code is the code of the brightest light.
    const double light = decode[(i << kGainShift) + (1 << (kGainShift - 1))];
    const double mapped =
        eetfNits(light * referenceWhiteNits, peakNits, referenceWhiteNits) / referenceWhiteNits;
    gain_[i] = light > 0 ? static_cast<float>(mapped / light) : 1.0f;
  }
}

void ToneMapper::toBgra(const Planes& planes, int width, int height, uint8_t* bgra) const {
  const DecodeTable& decode = decodeTable(signal_.transfer);
  const std::vector<uint8_t>& encodeBits = encodeTable();
  for (int y = 0; y < height; ++y) {
    const size_t row = static_cast<size_t>(y) * planes.stride;
    const uint16_t *rs = planes.r + row, *gs = planes.g + row, *bs = planes.b + row;
    uint8_t* out = bgra + static_cast<size_t>(y) * static_cast<size_t>(width) * 4;
    for (int x = 0; x < width; ++x, out += 4) {
      // The EETF of the brightest channel scales all three, keeping the colour's ratios.
      const float gain = gain_[std::max({rs[x], gs[x], bs[x]}) >> kGainShift];
      float r = decode[rs[x]] * gain, g = decode[gs[x]] * gain, b = decode[bs[x]] * gain;
      if (signal_.bt2020) {
        const float r709 = 1.6605f * r - 0.5876f * g - 0.0728f * b;
        const float g709 = -0.1246f * r + 1.1329f * g - 0.0083f * b;
        const float b709 = -0.0182f * r - 0.1006f * g + 1.1187f * b;
        r = r709;
        g = g709;
        b = b709;
      }
      out[0] = encode(b, encodeBits);
      out[1] = encode(g, encodeBits);
      out[2] = encode(r, encodeBits);
      out[3] = 255;
    }
  }
}

}  // namespace mosaickit
