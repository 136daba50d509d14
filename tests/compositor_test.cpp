#include "mosaickit/compositor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>

#include "mosaickit/media.h"
#include "support/clips.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace mosaickit {
namespace {

using YUV = std::array<int, 3>;
using RGB = std::array<double, 3>;

// Builds a decoded picture in memory: yuvAt gives the Y, Cb, Cr code values (at the format's
// own bit depth) for each luma position; chroma planes take the value at their sample's
// top-left luma position.
Picture makePicture(AVPixelFormat format, int width, int height,
                    const std::function<YUV(int x, int y)>& yuvAt,
                    AVColorSpace colorspace = AVCOL_SPC_UNSPECIFIED,
                    AVColorRange range = AVCOL_RANGE_MPEG) {
  AVFrame* frame = av_frame_alloc();
  frame->format = format;
  frame->width = width;
  frame->height = height;
  frame->colorspace = colorspace;
  frame->color_range = range;
  EXPECT_EQ(av_frame_get_buffer(frame, 0), 0);
  Picture picture(frame);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
  const bool wide = desc->comp[0].depth > 8;
  for (int plane = 0; plane < 3; ++plane) {
    const int sx = plane ? desc->log2_chroma_w : 0, sy = plane ? desc->log2_chroma_h : 0;
    for (int y = 0; y < AV_CEIL_RSHIFT(height, sy); ++y) {
      uint8_t* row = frame->data[plane] + y * frame->linesize[plane];
      for (int x = 0; x < AV_CEIL_RSHIFT(width, sx); ++x) {
        const int v = yuvAt(x << sx, y << sy)[plane];
        if (wide) {
          reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(v);
        } else {
          row[x] = static_cast<uint8_t>(v);
        }
      }
    }
  }
  return picture;
}

struct Matrix {
  double kr, kb;
};
constexpr Matrix bt709{0.2126, 0.0722};
constexpr Matrix bt601{0.299, 0.114};

// The exact RGB (0-255, unclamped) of a YUV code value.
RGB toRGB(YUV yuv, int bits, bool fullRange, Matrix m) {
  const double scale = double(1 << (bits - 8));
  double y, pb, pr;
  if (fullRange) {
    y = yuv[0] / (255 * scale);
    pb = (yuv[1] - 128 * scale) / (255 * scale);
    pr = (yuv[2] - 128 * scale) / (255 * scale);
  } else {
    y = (yuv[0] - 16 * scale) / (219 * scale);
    pb = (yuv[1] - 128 * scale) / (224 * scale);
    pr = (yuv[2] - 128 * scale) / (224 * scale);
  }
  const double r = y + 2 * (1 - m.kr) * pr;
  const double b = y + 2 * (1 - m.kb) * pb;
  const double g = (y - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
  return {r * 255, g * 255, b * 255};
}

// The blue, green and red bytes of a pixel as R, G, B.
RGB rgbAt(const BGRAImage& image, int x, int y) {
  const auto p = image.pixel(x, y);
  return {double(p[2]), double(p[1]), double(p[0])};
}

TEST(BGRAImageTest, LayoutAndAccessors) {
  Bytes pixels(3 * 2 * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i);
  const BGRAImage image(3, 2, pixels);
  EXPECT_EQ(image.rowBytes(), 12);
  EXPECT_EQ(image.pixel(0, 0), (std::array<uint8_t, 4>{0, 1, 2, 3}));
  EXPECT_EQ(image.pixel(2, 1), (std::array<uint8_t, 4>{20, 21, 22, 23}));
  EXPECT_THROW(BGRAImage(3, 2, Bytes(23)), std::invalid_argument);
  EXPECT_EQ(BGRAImage(5, 4).pixels(), Bytes(80, 0));
}

// Solid pictures whose RGB is known: a wrong matrix or range shifts the result by far more
// than the tolerance (the colour is chosen so that BT.601 and BT.709 differ by 10 or more).
struct ColourCase {
  std::string name;
  AVPixelFormat format;
  int width, height;
  AVColorSpace colorspace;
  AVColorRange range;
  YUV yuv;
  bool fullRange;
  Matrix matrix;
};

void PrintTo(const ColourCase& c, std::ostream* os) {
  *os << c.name;
}

class ScaleColourTest : public testing::TestWithParam<ColourCase> {};

TEST_P(ScaleColourTest, SolidColourComesOutAsSignalled) {
  const ColourCase& c = GetParam();
  const Picture picture = makePicture(
      c.format, c.width, c.height, [&](int, int) { return c.yuv; }, c.colorspace, c.range);
  const BGRAImage image = Compositor::scale(picture, 40, 30);
  const int bits = av_pix_fmt_desc_get(c.format)->comp[0].depth;
  const RGB want = toRGB(c.yuv, bits, c.fullRange, c.matrix);
  for (auto [x, y] : {std::pair{0, 0}, {39, 29}, {20, 15}}) {
    const RGB got = rgbAt(image, x, y);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(got[i], std::clamp(want[i], 0.0, 255.0), 2.0)
          << "channel "
          << "RGB"[i] << " at " << x << "," << y;
    }
    EXPECT_EQ(image.pixel(x, y)[3], 255);
  }
}

const YUV kTeal{100, 150, 90}, kTeal10{400, 600, 360}, kOrange{150, 70, 190};
INSTANTIATE_TEST_SUITE_P(
    Matrices, ScaleColourTest,
    testing::Values(ColourCase{"bt709Signalled", AV_PIX_FMT_YUV420P, 320, 240, AVCOL_SPC_BT709,
                               AVCOL_RANGE_MPEG, kTeal, false, bt709},
                    ColourCase{"bt601Signalled", AV_PIX_FMT_YUV420P, 1280, 720, AVCOL_SPC_BT470BG,
                               AVCOL_RANGE_MPEG, kTeal, false, bt601},
                    ColourCase{"smpte170mSignalled", AV_PIX_FMT_YUV420P, 1280, 720,
                               AVCOL_SPC_SMPTE170M, AVCOL_RANGE_MPEG, kOrange, false, bt601},
                    ColourCase{"unsignalledHD", AV_PIX_FMT_YUV420P, 1280, 720,
                               AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, kTeal, false, bt709},
                    ColourCase{"unsignalledSD", AV_PIX_FMT_YUV420P, 720, 576, AVCOL_SPC_UNSPECIFIED,
                               AVCOL_RANGE_UNSPECIFIED, kTeal, false, bt601},
                    ColourCase{"fullRangeByFormat", AV_PIX_FMT_YUVJ420P, 640, 480,
                               AVCOL_SPC_BT470BG, AVCOL_RANGE_UNSPECIFIED, kOrange, true, bt601},
                    ColourCase{"fullRangeSignalled", AV_PIX_FMT_YUV420P, 1920, 1080,
                               AVCOL_SPC_BT709, AVCOL_RANGE_JPEG, kOrange, true, bt709},
                    ColourCase{"main10", AV_PIX_FMT_YUV420P10LE, 1920, 1080, AVCOL_SPC_BT709,
                               AVCOL_RANGE_MPEG, kTeal10, false, bt709},
                    ColourCase{"main10Unsignalled", AV_PIX_FMT_YUV420P10LE, 640, 360,
                               AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, kTeal10, false,
                               bt601},
                    ColourCase{"yuv422", AV_PIX_FMT_YUV422P, 1280, 720, AVCOL_SPC_BT709,
                               AVCOL_RANGE_MPEG, kOrange, false, bt709},
                    ColourCase{"yuv444", AV_PIX_FMT_YUV444P, 1280, 720, AVCOL_SPC_BT709,
                               AVCOL_RANGE_MPEG, kTeal, false, bt709},
                    ColourCase{"yuv422p10", AV_PIX_FMT_YUV422P10LE, 1280, 720, AVCOL_SPC_BT709,
                               AVCOL_RANGE_MPEG, kTeal10, false, bt709},
                    ColourCase{"yuv444p10", AV_PIX_FMT_YUV444P10LE, 1280, 720, AVCOL_SPC_BT470BG,
                               AVCOL_RANGE_MPEG, kTeal10, false, bt601}),
    [](const testing::TestParamInfo<ColourCase>& info) { return info.param.name; });

// Blocks of unrelated colours, each exactly one target pixel in size: a box reduction gives
// every target pixel its block's colour. Aliasing, or chroma left at half resolution and smeared
// across neighbouring blocks, pulls the result far below the bound.
TEST(ScaleQualityTest, LargeReductionMatchesBoxAverage) {
  constexpr int kBlock = 12, kW = 160, kH = 90;
  auto blockColour = [](int bx, int by) {
    const unsigned h = unsigned(bx * 7919 + by * 104729) * 2654435761u;
    return YUV{int(40 + h % 170), int(40 + (h >> 8) % 176), int(40 + (h >> 16) % 176)};
  };
  const Picture picture = makePicture(
      AV_PIX_FMT_YUV420P, kW * kBlock, kH * kBlock,
      [&](int x, int y) { return blockColour(x / kBlock, y / kBlock); }, AVCOL_SPC_BT709);
  const BGRAImage image = Compositor::scale(picture, kW, kH);

  double squaredError = 0;
  for (int by = 0; by < kH; ++by) {
    for (int bx = 0; bx < kW; ++bx) {
      const RGB want = toRGB(blockColour(bx, by), 8, false, bt709);
      const RGB got = rgbAt(image, bx, by);
      for (int i = 0; i < 3; ++i) {
        const double d = got[i] - std::clamp(want[i], 0.0, 255.0);
        squaredError += d * d;
      }
    }
  }
  const double psnr = 10 * std::log10(255.0 * 255.0 / (squaredError / (kW * kH * 3)));
  EXPECT_GT(psnr, 50.0);
}

// Single-pixel stripes far finer than the target grid must average to grey, not alias into
// bands.
TEST(ScaleQualityTest, FineStripesAverageToGrey) {
  const Picture picture = makePicture(AV_PIX_FMT_YUV420P, 1920, 1080, [](int x, int) {
    return YUV{x % 2 ? 235 : 16, 128, 128};
  });
  const BGRAImage image = Compositor::scale(picture, 160, 90);
  for (int y = 0; y < 90; y += 7) {
    for (int x = 0; x < 160; x += 3) EXPECT_NEAR(rgbAt(image, x, y)[1], 127.5, 3.0);
  }
}

struct GeometryCase {
  int srcW, srcH, dstW, dstH;
};

void PrintTo(const GeometryCase& c, std::ostream* os) {
  *os << c.srcW << "x" << c.srcH << " to " << c.dstW << "x" << c.dstH;
}

class ScaleGeometryTest : public testing::TestWithParam<GeometryCase> {};

// Whatever the proportions, the whole target is filled (no bars), rows are unpadded, and the
// source's row padding never shows.
TEST_P(ScaleGeometryTest, FillsTheWholeTarget) {
  const GeometryCase c = GetParam();
  const YUV white{235, 128, 128};
  Picture picture =
      makePicture(AV_PIX_FMT_YUV420P, c.srcW, c.srcH, [&](int, int) { return white; });
  // Poison the padding at the end of every luma row.
  const AVFrame& frame = picture.frame();
  for (int y = 0; y < c.srcH; ++y) {
    std::fill(frame.data[0] + y * frame.linesize[0] + c.srcW,
              frame.data[0] + (y + 1) * frame.linesize[0], uint8_t{0});
  }
  const BGRAImage image = Compositor::scale(picture, c.dstW, c.dstH);
  ASSERT_EQ(image.width(), c.dstW);
  ASSERT_EQ(image.height(), c.dstH);
  EXPECT_EQ(image.pixels().size(), size_t(c.dstW) * c.dstH * 4);
  EXPECT_EQ(image.rowBytes(), c.dstW * 4);
  for (int y = 0; y < c.dstH; ++y) {
    for (int x = 0; x < c.dstW; ++x) {
      ASSERT_GE(rgbAt(image, x, y)[1], 253) << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ScaleGeometryTest,
    testing::Values(GeometryCase{1920, 1080, 160, 160}, GeometryCase{1920, 1080, 160, 90},
                    GeometryCase{1920, 1080, 32, 18}, GeometryCase{100, 60, 100, 60},
                    GeometryCase{99, 61, 240, 150}, GeometryCase{1280, 720, 1, 1}));

TEST(ScaleErrorTest, FormatsTheScalerCannotReadAreRejected) {
  for (AVPixelFormat format : {AV_PIX_FMT_VAAPI, AV_PIX_FMT_CUDA, AV_PIX_FMT_NONE}) {
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = 64;
    frame->height = 64;
    const Picture picture(frame);
    try {
      Compositor::scale(picture, 16, 16);
      ADD_FAILURE() << "no error for format " << format;
    } catch (const JobError& e) {
      EXPECT_EQ(e.code(), ErrorCode::internalError);
      EXPECT_EQ(e.message(), "decoder output is not BGRA");
    }
  }
}

// One scaler serving pictures of changing formats and sizes gives what separate one-shot
// scales give.
TEST(ScalerTest, ReusedScalerMatchesOneShot) {
  struct Source {
    AVPixelFormat format;
    int width, height, dstW, dstH;
    YUV yuv;
  };
  const Source sources[] = {
      {AV_PIX_FMT_YUV420P, 640, 360, 64, 36, kTeal},
      {AV_PIX_FMT_YUV420P, 640, 360, 64, 36, kOrange},
      {AV_PIX_FMT_YUV420P10LE, 640, 360, 64, 36, kTeal10},
      {AV_PIX_FMT_YUV420P, 320, 180, 64, 36, kOrange},
      {AV_PIX_FMT_YUV420P, 640, 360, 32, 18, kTeal},
      {AV_PIX_FMT_YUV444P, 64, 64, 8, 8, kTeal},
      {AV_PIX_FMT_YUV420P, 640, 360, 64, 36, kTeal},
  };
  Compositor::Scaler scaler;
  for (const Source& s : sources) {
    const Picture picture = makePicture(s.format, s.width, s.height, [&](int x, int y) {
      return (x / 8 + y / 8) % 2 ? s.yuv : YUV{s.yuv[0] / 2, 128, 128};
    });
    EXPECT_EQ(scaler.scale(picture, s.dstW, s.dstH), Compositor::scale(picture, s.dstW, s.dstH));
  }
}

// Real streams, decoded: solid red, green and blue clips with each colour description, and
// cropped clips whose every displayed pixel is blue while the cropped-away border is red.
struct ClipCase {
  std::string clip;
  // The expected colour of each access unit's picture in order, or one colour for them all.
  std::vector<RGB> colours;
};

void PrintTo(const ClipCase& c, std::ostream* os) {
  *os << c.clip;
}

std::vector<Picture> decodeClip(const std::string& name) {
  const testing_support::Clip clip = testing_support::loadClip(name);
  Session session(makeFormat(clip.codec, clip.paramSets));
  std::vector<Picture> pictures;
  auto drain = [&] {
    while (auto tagged = session.receive()) pictures.push_back(std::move(tagged->picture));
  };
  for (size_t i = 0; i < clip.accessUnits.size(); ++i) {
    session.send(clip.accessUnits[i], int64_t(i));
    drain();
  }
  session.sendEnd();
  drain();
  return pictures;
}

class ScaleClipTest : public testing::TestWithParam<ClipCase> {};

TEST_P(ScaleClipTest, DecodedColoursComeOutAsEncoded) {
  const ClipCase& c = GetParam();
  const std::vector<Picture> pictures = decodeClip(c.clip);
  ASSERT_FALSE(pictures.empty());
  if (c.colours.size() > 1) {
    ASSERT_EQ(pictures.size(), c.colours.size());
  }
  Compositor::Scaler scaler;
  for (size_t i = 0; i < pictures.size(); ++i) {
    const BGRAImage image = scaler.scale(pictures[i], 48, 27);
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const RGB got = rgbAt(image, x, y);
        for (int k = 0; k < 3; ++k) {
          ASSERT_NEAR(got[k], c.colours[c.colours.size() > 1 ? i : 0][k], 8.0)
              << "picture " << i << " channel "
              << "RGB"[k] << " at " << x << "," << y;
        }
      }
    }
  }
}

const RGB kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255};
const std::vector<RGB> kRGB{kRed, kGreen, kBlue}, kAllBlue{kBlue};
INSTANTIATE_TEST_SUITE_P(
    Clips, ScaleClipTest,
    testing::Values(ClipCase{"h264_rgb_1280x720", kRGB}, ClipCase{"h264_rgb_1920x1080", kRGB},
                    ClipCase{"h264_rgb_640x360", kRGB}, ClipCase{"h264_rgb_640x360_full", kRGB},
                    ClipCase{"h265_rgb_640x360", kRGB}, ClipCase{"h265_rgb_640x360_main10", kRGB},
                    ClipCase{"h264_crop_420", kAllBlue}, ClipCase{"h264_crop_444", kAllBlue},
                    ClipCase{"h265_crop_422_main10", kAllBlue}),
    [](const testing::TestParamInfo<ClipCase>& info) { return info.param.clip; });

// ---- compose ----

// A picture of one colour, distinct per id, with alpha 255.
BGRAImage solid(int width, int height, int id) {
  BGRAImage image(width, height);
  for (size_t i = 0; i < image.pixels().size(); i += 4) {
    image.pixels()[i] = uint8_t(10 + id);
    image.pixels()[i + 1] = uint8_t(20 + id);
    image.pixels()[i + 2] = uint8_t(30 + id);
    image.pixels()[i + 3] = 255;
  }
  return image;
}

std::array<uint8_t, 4> colourOf(int id) {
  return {uint8_t(10 + id), uint8_t(20 + id), uint8_t(30 + id), 255};
}
constexpr std::array<uint8_t, 4> kBlack{0, 0, 0, 0};

// What a canvas pixel should be: the id of the picture there, or -1 for black.
using Oracle = std::function<int(int x, int y)>;

struct ComposeCase {
  std::string name;
  Level level;
  int cellW, cellH, padX, padY;
  std::vector<std::optional<std::pair<int, int>>> frameSizes;  // picture i has colour i
  int64_t canvasW, canvasH;
  Oracle expected;
};

void PrintTo(const ComposeCase& c, std::ostream* os) {
  *os << c.name;
}

class ComposeTest : public testing::TestWithParam<ComposeCase> {};

TEST_P(ComposeTest, PlacesPicturesAndNothingElse) {
  const ComposeCase& c = GetParam();
  std::vector<std::optional<BGRAImage>> frames;
  for (size_t i = 0; i < c.frameSizes.size(); ++i) {
    if (c.frameSizes[i]) {
      frames.push_back(solid(c.frameSizes[i]->first, c.frameSizes[i]->second, int(i)));
    } else {
      frames.push_back(std::nullopt);
    }
  }
  const BGRAImage canvas = Compositor::compose(c.level, c.cellW, c.cellH, c.padX, c.padY, frames);
  ASSERT_EQ(canvas.width(), c.canvasW);
  ASSERT_EQ(canvas.height(), c.canvasH);
  ASSERT_EQ(canvas.pixels().size(), size_t(c.canvasW * c.canvasH * 4));
  for (int y = 0; y < canvas.height(); ++y) {
    for (int x = 0; x < canvas.width(); ++x) {
      const int id = c.expected(x, y);
      ASSERT_EQ(canvas.pixel(x, y), id < 0 ? kBlack : colourOf(id)) << "at " << x << "," << y;
    }
  }
}

// Inside cell (col,row) of size w x h, is (x,y) within the picture placed at pad (px,py) of
// size pw x ph, clipped to the cell?
bool within(int x, int y, int col, int row, int w, int h, int px, int py, int pw, int ph) {
  const int left = col * w + px, top = row * h + py;
  return x >= left && x < left + pw && y >= top && y < top + ph && x >= col * w &&
         x < (col + 1) * w && y >= row * h && y < (row + 1) * h;
}

constexpr uint16_t B = blackCell;
using Size = std::pair<int, int>;

INSTANTIATE_TEST_SUITE_P(
    Levels, ComposeTest,
    testing::Values(
        ComposeCase{"allBlack",
                    Level{3, 2, {B, B, B, B, B, B}},
                    10,
                    8,
                    1,
                    1,
                    {Size{8, 6}},
                    30,
                    16,
                    [](int, int) { return -1; }},
        ComposeCase{"edgeToEdge",
                    Level{2, 2, {0, 1, 2, 3}},
                    5,
                    4,
                    0,
                    0,
                    {Size{5, 4}, Size{5, 4}, Size{5, 4}, Size{5, 4}},
                    10,
                    8,
                    [](int x, int y) { return (y / 4) * 2 + x / 5; }},
        // Position 4 of a 3 x 2 grid is column 1, row 1.
        ComposeCase{"padOffsetAndRowMajor",
                    Level{3, 2, {B, B, B, B, 0, B}},
                    10,
                    8,
                    2,
                    3,
                    {Size{6, 4}},
                    30,
                    16,
                    [](int x, int y) { return within(x, y, 1, 1, 10, 8, 2, 3, 6, 4) ? 0 : -1; }},
        ComposeCase{"emptyEntryIsBlack",
                    Level{2, 1, {0, 1}},
                    4,
                    4,
                    0,
                    0,
                    {std::nullopt, Size{4, 4}},
                    8,
                    4,
                    [](int x, int) { return x >= 4 ? 1 : -1; }},
        ComposeCase{"repeatedPicture",
                    Level{3, 1, {1, 0, 1}},
                    6,
                    5,
                    1,
                    1,
                    {Size{4, 3}, Size{4, 3}},
                    18,
                    5,
                    [](int x, int y) {
                      for (int col = 0; col < 3; ++col) {
                        if (within(x, y, col, 0, 6, 5, 1, 1, 4, 3)) return col == 1 ? 0 : 1;
                      }
                      return -1;
                    }},
        // Broken preconditions: clipped to the cell, never outside the canvas.
        ComposeCase{"pictureLargerThanCellIsClipped",
                    Level{2, 2, {0, B, B, 0}},
                    6,
                    5,
                    2,
                    2,
                    {Size{20, 20}},
                    12,
                    10,
                    [](int x, int y) {
                      return within(x, y, 0, 0, 6, 5, 2, 2, 20, 20) ||
                                     within(x, y, 1, 1, 6, 5, 2, 2, 20, 20)
                                 ? 0
                                 : -1;
                    }},
        ComposeCase{"negativePadIsClipped",
                    Level{2, 1, {B, 0}},
                    6,
                    5,
                    -2,
                    -3,
                    {Size{6, 5}},
                    12,
                    5,
                    [](int x, int y) { return within(x, y, 1, 0, 6, 5, -2, -3, 6, 5) ? 0 : -1; }},
        ComposeCase{"indicesBeyondGridIgnored",
                    Level{1, 1, {0, 0, 0, 0}},
                    4,
                    4,
                    0,
                    0,
                    {Size{4, 4}},
                    4,
                    4,
                    [](int, int) { return 0; }},
        ComposeCase{"indexBeyondFramesIgnored",
                    Level{2, 1, {7, 0}},
                    4,
                    4,
                    0,
                    0,
                    {Size{4, 4}},
                    8,
                    4,
                    [](int x, int) { return x >= 4 ? 0 : -1; }},
        ComposeCase{"tooFewIndices",
                    Level{2, 2, {0}},
                    3,
                    3,
                    0,
                    0,
                    {Size{3, 3}},
                    6,
                    6,
                    [](int x, int y) { return x < 3 && y < 3 ? 0 : -1; }},
        ComposeCase{"zeroColumns",
                    Level{0, 3, {0, 0, 0}},
                    4,
                    4,
                    0,
                    0,
                    {Size{4, 4}},
                    0,
                    12,
                    [](int, int) { return -1; }},
        ComposeCase{"zeroCellWidth",
                    Level{2, 1, {0, 0}},
                    0,
                    4,
                    0,
                    0,
                    {Size{4, 4}},
                    0,
                    4,
                    [](int, int) { return -1; }}),
    [](const testing::TestParamInfo<ComposeCase>& info) { return info.param.name; });

// The alpha byte travels with a copied pixel; the background keeps alpha 0.
TEST(ComposeAlphaTest, AlphaIsCopiedAsIs) {
  BGRAImage picture(2, 2, Bytes(16, 0x80));
  const std::vector<std::optional<BGRAImage>> frames{picture};
  const BGRAImage canvas = Compositor::compose(Level{1, 1, {0}}, 3, 3, 1, 1, frames);
  EXPECT_EQ(canvas.pixel(1, 1), (std::array<uint8_t, 4>{0x80, 0x80, 0x80, 0x80}));
  EXPECT_EQ(canvas.pixel(0, 0), kBlack);
}

}  // namespace
}  // namespace mosaickit
