// What the HDR path costs per picture: Compositor::Scaler::scale on a 1920 x 1080 10-bit 4:2:0
// picture of a noisy pattern, once tagged SDR (BT.709) and once PQ and HLG (BT.2020), to cells
// of 160 x 90 (or the size given). The pictures alternate, so that a drifting machine moves them
// alike; the figure is the median time per picture over the rounds.
//
//   bench_hdr_scale [PICTURES [WIDTH HEIGHT]]

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "mosaickit/compositor.h"
#include "mosaickit/media.h"

namespace {

using mosaickit::Picture;
using Clock = std::chrono::steady_clock;

Picture noisyPicture(AVColorTransferCharacteristic transfer, AVColorPrimaries primaries,
                     AVColorSpace matrix) {
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_YUV420P10LE;
  frame->width = 1920;
  frame->height = 1080;
  frame->color_trc = transfer;
  frame->color_primaries = primaries;
  frame->colorspace = matrix;
  frame->color_range = AVCOL_RANGE_MPEG;
  if (av_frame_get_buffer(frame, 0) != 0) std::abort();
  std::mt19937 random(7);
  for (int plane = 0; plane < 3; ++plane) {
    const int w = plane ? 960 : 1920, h = plane ? 540 : 1080;
    for (int y = 0; y < h; ++y) {
      auto* row = reinterpret_cast<uint16_t*>(frame->data[plane] + y * frame->linesize[plane]);
      for (int x = 0; x < w; ++x) row[x] = static_cast<uint16_t>(64 + random() % 877);
    }
  }
  return Picture(frame);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int pictures = argc > 1 ? std::atoi(argv[1]) : 300;
  const int width = argc > 3 ? std::atoi(argv[2]) : 160;
  const int height = argc > 3 ? std::atoi(argv[3]) : 90;
  const Picture sdr = noisyPicture(AVCOL_TRC_BT709, AVCOL_PRI_BT709, AVCOL_SPC_BT709);
  const Picture pq = noisyPicture(AVCOL_TRC_SMPTE2084, AVCOL_PRI_BT2020, AVCOL_SPC_BT2020_NCL);
  const Picture hlg = noisyPicture(AVCOL_TRC_ARIB_STD_B67, AVCOL_PRI_BT2020, AVCOL_SPC_BT2020_NCL);
  const Picture* kinds[] = {&sdr, &pq, &hlg};
  const char* names[] = {"SDR", "PQ", "HLG"};
  mosaickit::Compositor::Scaler scalers[3];
  std::vector<double> micros[3];
  for (int i = 0; i < pictures + 10; ++i) {
    for (int k = 0; k < 3; ++k) {
      const auto start = Clock::now();
      const mosaickit::BGRAImage image = scalers[k].scale(*kinds[k], width, height);
      const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
      if (i >= 10) micros[k].push_back(us);  // the first ones build contexts and tables
      if (image.width() != width) std::abort();
    }
  }
  std::printf("1920x1080 10-bit 4:2:0 to %dx%d, median of %d pictures each:\n", width, height,
              pictures);
  for (int k = 0; k < 3; ++k) {
    std::printf("  %-3s %8.1f us per picture (%+.1f us against SDR)\n", names[k], median(micros[k]),
                median(micros[k]) - median(micros[0]));
  }
  return 0;
}
