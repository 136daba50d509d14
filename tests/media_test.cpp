#include "mosaickit/media.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "support/clips.h"
#include "support/sps_edit.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace mosaickit {
namespace {

using testing_support::Clip;
using testing_support::loadClip;
using testing_support::SpsEdit;

// The clip's parameter sets with its SPS declaring `width` x `height`.
std::vector<Bytes> declaring(const Clip& clip, unsigned width, unsigned height) {
  std::vector<Bytes> sets = clip.paramSets;
  Bytes& sps = sets[testing_support::spsIndex(clip.codec)];
  sps = testing_support::editSps(clip.codec, sps, SpsEdit::size(width, height));
  return sets;
}

constexpr int invalidData = -1094995529;  // AVERROR_INVALIDDATA

// Every picture of a clip, decoded by one session from start to end of stream.
std::vector<TaggedPicture> decodeAll(const Clip& clip) {
  Session session(makeFormat(clip.codec, clip.paramSets));
  std::vector<TaggedPicture> pictures;
  for (size_t i = 0; i < clip.accessUnits.size(); ++i) {
    session.send(clip.accessUnits[i], static_cast<int64_t>(i));
    while (auto picture = session.receive()) pictures.push_back(std::move(*picture));
  }
  session.sendEnd();
  while (auto picture = session.receive()) pictures.push_back(std::move(*picture));
  return pictures;
}

// The sample of `plane` at the centre of the picture, at the plane's own bit depth.
int centreSample(const AVFrame& frame, int plane) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int x = (plane == 0 ? frame.width : frame.width >> desc->log2_chroma_w) / 2;
  const int y = (plane == 0 ? frame.height : frame.height >> desc->log2_chroma_h) / 2;
  const uint8_t* row = frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane];
  if (desc->comp[0].depth > 8) {
    uint16_t v;
    std::memcpy(&v, row + 2 * x, 2);
    return v;
  }
  return row[x];
}

// Y, Cb, Cr of a pure primary (R, G, B in 0 or 1) as 8-bit code values.
std::array<double, 3> expectedYCbCr(double r, double g, double b, bool bt709, bool fullRange) {
  const double kr = bt709 ? 0.2126 : 0.299;
  const double kb = bt709 ? 0.0722 : 0.114;
  const double y = kr * r + (1 - kr - kb) * g + kb * b;
  const double pb = (b - y) / (2 * (1 - kb));
  const double pr = (r - y) / (2 * (1 - kr));
  auto clip = [](double v) { return std::min(255.0, std::max(0.0, v)); };
  if (fullRange) return {clip(255 * y), clip(128 + 255 * pb), clip(128 + 255 * pr)};
  return {16 + 219 * y, 128 + 224 * pb, 128 + 224 * pr};
}

TEST(MakeFormat, BuildsRecordsWithFourByteLengths) {
  struct Case {
    const char* clip;
    uint8_t lengthByte;  // where the record keeps the NAL length size
    size_t lengthAt;
  };
  const Case cases[] = {{"h264_rgb_640x360", 0xFF, 4}, {"h265_rgb_640x360", 0x0F, 21}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const Clip clip = loadClip(c.clip);
    const Format format = makeFormat(clip.codec, clip.paramSets);
    EXPECT_EQ(format.codec, clip.codec);
    ASSERT_GT(format.record.size(), c.lengthAt);
    EXPECT_EQ(format.record[0], 1);  // configuration version
    EXPECT_EQ(format.record[c.lengthAt] & 0x03, 3);
    EXPECT_EQ(format.record[c.lengthAt], c.lengthByte);
  }
}

TEST(MakeFormat, RejectsParameterSetsTheDecoderCannotUse) {
  enum class Damage { zeroBody, cutTo3, empty, lastByteZero, sliceInstead, drop };
  struct Case {
    const char* clip;
    size_t set;
    Damage damage;
  };
  const Case cases[] = {
      {"h264_rgb_640x360", 0, Damage::zeroBody},     {"h264_rgb_640x360", 0, Damage::cutTo3},
      {"h264_rgb_640x360", 1, Damage::zeroBody},     {"h264_rgb_640x360", 1, Damage::empty},
      {"h264_rgb_640x360", 1, Damage::lastByteZero}, {"h264_rgb_640x360", 1, Damage::sliceInstead},
      {"h264_rgb_640x360", 1, Damage::drop},         {"h265_rgb_640x360", 0, Damage::zeroBody},
      {"h265_rgb_640x360", 1, Damage::zeroBody},     {"h265_rgb_640x360", 1, Damage::cutTo3},
      {"h265_rgb_640x360", 2, Damage::zeroBody},     {"h265_rgb_640x360", 2, Damage::cutTo3},
      {"h265_rgb_640x360", 0, Damage::drop},         {"h265_rgb_640x360", 2, Damage::sliceInstead},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " set " + std::to_string(c.set) + " damage " +
                 std::to_string(static_cast<int>(c.damage)));
    Clip clip = loadClip(c.clip);
    Bytes& set = clip.paramSets[c.set];
    switch (c.damage) {
      case Damage::zeroBody:
        std::fill(set.begin() + 1, set.end(), 0);
        break;
      case Damage::cutTo3:
        set.resize(3);
        break;
      case Damage::empty:
        set.clear();
        break;
      case Damage::lastByteZero:
        set.push_back(0);
        break;
      case Damage::sliceInstead:
        set = clip.accessUnits[0];
        set.erase(set.begin(), set.begin() + 4);
        break;
      case Damage::drop:
        clip.paramSets.erase(clip.paramSets.begin() + c.set);
        break;
    }
    try {
      makeFormat(clip.codec, clip.paramSets);
      ADD_FAILURE() << "accepted";
    } catch (const JobError& e) {
      EXPECT_EQ(e.code(), ErrorCode::decode);
      EXPECT_EQ(e.message(), "bad parameter sets (status " + std::to_string(invalidData) + ")");
    }
  }
}

TEST(Session, DecodesSolidColoursInTheStreamsOwnFormat) {
  struct Case {
    const char* clip;
    int width, height;
    AVPixelFormat format;
    bool bt709, fullRange;
  };
  const Case cases[] = {
      {"h264_rgb_1280x720", 1280, 720, AV_PIX_FMT_YUV420P, true, false},
      {"h264_rgb_1920x1080", 1920, 1080, AV_PIX_FMT_YUV420P, true, false},
      {"h264_rgb_640x360", 640, 360, AV_PIX_FMT_YUV420P, false, false},
      {"h264_rgb_640x360_full", 640, 360, AV_PIX_FMT_YUVJ420P, false, true},
      {"h265_rgb_640x360", 640, 360, AV_PIX_FMT_YUV420P, false, false},
      {"h265_rgb_640x360_main10", 640, 360, AV_PIX_FMT_YUV420P10LE, false, false},
  };
  const double primaries[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const std::vector<TaggedPicture> pictures = decodeAll(loadClip(c.clip));
    ASSERT_EQ(pictures.size(), 3u);
    for (size_t i = 0; i < pictures.size(); ++i) {
      SCOPED_TRACE("picture " + std::to_string(i));
      const AVFrame& frame = pictures[i].picture.frame();
      EXPECT_EQ(pictures[i].tag, static_cast<int64_t>(i));
      EXPECT_EQ(pictures[i].damage, 0);
      EXPECT_EQ(pictures[i].picture.width(), c.width);
      EXPECT_EQ(pictures[i].picture.height(), c.height);
      EXPECT_EQ(frame.format, c.format);
      const auto expected =
          expectedYCbCr(primaries[i][0], primaries[i][1], primaries[i][2], c.bt709, c.fullRange);
      const double scale = c.format == AV_PIX_FMT_YUV420P10LE ? 4 : 1;
      for (int plane = 0; plane < 3; ++plane) {
        EXPECT_NEAR(centreSample(frame, plane) / scale, expected[plane], 3) << "plane " << plane;
      }
    }
  }
}

TEST(Session, CropsToTheDisplayWindowExactly) {
  struct Case {
    const char* clip;
    AVPixelFormat format;
  };
  const Case cases[] = {{"h264_crop_420", AV_PIX_FMT_YUV420P},
                        {"h264_crop_444", AV_PIX_FMT_YUV444P},
                        {"h265_crop_422_main10", AV_PIX_FMT_YUV422P10LE}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const std::vector<TaggedPicture> pictures = decodeAll(loadClip(c.clip));
    ASSERT_FALSE(pictures.empty());
    for (const TaggedPicture& tagged : pictures) {
      const AVFrame& frame = tagged.picture.frame();
      EXPECT_EQ(tagged.picture.width(), 160);
      EXPECT_EQ(tagged.picture.height(), 96);
      ASSERT_EQ(frame.format, c.format);
      // Lossless blue everywhere: a red column or row left over from the crop would differ.
      const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(c.format);
      const int bytes = desc->comp[0].depth > 8 ? 2 : 1;
      for (int plane = 0; plane < 3; ++plane) {
        const int w = (plane == 0 ? frame.width : frame.width >> desc->log2_chroma_w) * bytes;
        const int h = plane == 0 ? frame.height : frame.height >> desc->log2_chroma_h;
        const uint8_t* first = frame.data[plane];
        int differing = 0;
        for (int y = 0; y < h; ++y) {
          const uint8_t* row =
              frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane];
          for (int x = 0; x < w; ++x) differing += row[x] != first[x % bytes];
        }
        EXPECT_EQ(differing, 0) << "plane " << plane;
      }
    }
  }
}

TEST(Session, FlushStartsANewStreamAfterTheEnd) {
  const Clip clip = loadClip("h264_bframes");
  Session session(makeFormat(clip.codec, clip.paramSets));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::vector<int64_t> tags;
    session.send(clip.accessUnits[0], 100 + round);
    while (auto picture = session.receive()) tags.push_back(picture->tag);
    session.sendEnd();
    while (auto picture = session.receive()) tags.push_back(picture->tag);
    EXPECT_EQ(tags, std::vector<int64_t>{100 + round});
    session.flush();
  }
}

TEST(Session, ReportsARefusedAccessUnitByTheCallThatFailed) {
  const Clip clip = loadClip("h265_rgb_640x360");
  Session session(makeFormat(clip.codec, clip.paramSets));
  Bytes unit = clip.accessUnits[1];
  unit.resize(unit.size() / 2);
  try {
    session.send(unit, 0);
    ADD_FAILURE() << "accepted";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::decode);
    EXPECT_EQ(e.message(), "avcodec_send_packet " + std::to_string(invalidData));
  }
}

// One size rule for both codecs, before any decoder exists: up to 8192 x 8192 luma samples in
// any shape, whatever the codec's own limits would let through (H.265 up to 16888 a side, H.264
// 1055 macroblocks).
TEST(MakeFormat, RefusesPicturesLargerThanTheLargestSize) {
  struct Case {
    const char* clip;
    unsigned width, height;
    bool accepted;
  };
  const Case cases[] = {
      {"h264_rgb_640x360", 8192, 8192, true},    {"h265_rgb_640x360", 8192, 8192, true},
      {"h264_rgb_640x360", 16384, 4096, true},   {"h265_rgb_640x360", 16384, 4096, true},
      {"h264_rgb_640x360", 8192, 8208, false},   {"h265_rgb_640x360", 8192, 8208, false},
      {"h264_rgb_640x360", 16240, 16240, false}, {"h265_rgb_640x360", 16880, 16880, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " " + std::to_string(c.width) + "x" +
                 std::to_string(c.height));
    const Clip clip = loadClip(c.clip);
    const std::vector<Bytes> sets = declaring(clip, c.width, c.height);
    if (c.accepted) {
      EXPECT_NO_THROW(Session(makeFormat(clip.codec, sets)));
      continue;
    }
    try {
      makeFormat(clip.codec, sets);
      ADD_FAILURE() << "accepted";
    } catch (const LimitError& e) {
      EXPECT_EQ(e.code(), ErrorCode::decode);
      EXPECT_EQ(e.message(), "pictures of " + std::to_string(c.width) + "x" +
                                 std::to_string(c.height) + " over the 67108864-sample limit");
    }
  }
}

// Sets that pass the bitstream check but that the decoder itself refuses when it opens are bad
// parameter sets like any other: here chroma deeper than luma, which H.265 allows and
// libavcodec does not decode.
TEST(Session, ParameterSetsTheDecoderRefusesAreBadParameterSets) {
  Clip clip = loadClip("h265_rgb_640x360");
  Bytes& sps = clip.paramSets[testing_support::spsIndex(clip.codec)];
  sps = testing_support::editSps(clip.codec, sps, SpsEdit::chromaDepth(10));
  try {
    Session session(makeFormat(clip.codec, clip.paramSets));
    ADD_FAILURE() << "accepted";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::decode);
    EXPECT_EQ(e.message(), "bad parameter sets (status " + std::to_string(invalidData) + ")");
  }
}

// Runs `body` with standard error redirected to a file; returns what was written there.
template <typename Body>
std::string captureStderr(Body body) {
  std::fflush(stderr);
  FILE* sink = std::tmpfile();
  const int saved = ::dup(2);
  ::dup2(::fileno(sink), 2);
  body();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string text(static_cast<size_t>(std::ftell(sink)), '\0');
  std::rewind(sink);
  text.resize(std::fread(text.data(), 1, text.size(), sink));
  std::fclose(sink);
  return text;
}

TEST(Session, FFmpegWritesNothingToStandardError) {
  const std::string written = captureStderr([] {
    Clip clip = loadClip("h264_rgb_640x360");
    Session session(makeFormat(clip.codec, clip.paramSets));
    Bytes unit = clip.accessUnits[1];
    std::fill(unit.begin() + unit.size() / 2, unit.end(), 0x55);
    EXPECT_THROW(session.send(unit, 0), JobError);
    clip.paramSets[0].resize(3);
    EXPECT_THROW(makeFormat(clip.codec, clip.paramSets), JobError);
  });
  EXPECT_EQ(written, "");
}

}  // namespace
}  // namespace mosaickit
