// gridwright-sprites end to end on the kinds of file people have, checking what the thumbnails
// show against references made by the ffmpeg command: HDR clips, interlaced recordings, rotated
// phone videos, trimmed MP4s and truncated files.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/sprite_files.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// Sheets of 4 x 1 cells of 160 x 90, one per keyframe.
constexpr int kCellW = 160, kCellH = 90;

RgbImage cell(const RgbImage& sheet, int column, int row) {
  return sheet.crop(column * kCellW, row * kCellH, kCellW, kCellH);
}

// Runs the tool on `clip` into a fresh folder with `options`; fails the test unless it succeeds.
fs::path makeSprites(const fs::path& clip, const std::string& name,
                     std::vector<std::string> options) {
  const fs::path out = freshDir(name);
  std::vector<std::string> args = {clip.string(), "-o", out.string(), "-q"};
  args.insert(args.end(), options.begin(), options.end());
  const ProgramRun r = runSprites(args);
  EXPECT_EQ(r.status, 0) << r.err;
  return out;
}

// An SDR test pattern placed in HDR as BT.2408 has it (SDR white at the HDR reference white of
// 203 cd/m2), in BT.2020, coded as 10-bit H.265 with its colour tags. The pattern moves, so each
// keyframe has its own reference.
constexpr const char* kPattern = "-f lavfi -i testsrc2=s=640x360:r=25:d=4";

fs::path hdrClip(const std::string& transfer) {
  return ffmpegClip(
      "hdr_" + transfer + ".mp4",
      std::string(kPattern) +
          " -vf format=gbrp,setparams=color_primaries=bt709:color_trc=bt709:colorspace=gbr:"
          "range=pc,zscale=t=linear:npl=203,format=gbrpf32le,zscale=p=bt2020:t=" +
          transfer +
          ":m=bt2020nc:r=limited:npl=203,format=yuv420p10le -c:v libx265 -preset "
          "ultrafast -x265-params log-level=error:keyint=25:colorprim=bt2020:transfer=" +
          transfer + ":colormatrix=bt2020nc");
}

TEST(SpritesPictures, HdrLooksLikeItsSdrSource) {
  const RgbImage source = ffmpegFrame(
      std::string(kPattern) + " -vf 'select=not(mod(n\\,25)),scale=160:90:flags=area,tile=4x1'",
      4 * kCellW, kCellH);
  ASSERT_EQ(source.width, 4 * kCellW);
  for (const std::string transfer : {"smpte2084", "arib-std-b67"}) {
    SCOPED_TRACE(transfer);
    const fs::path out =
        makeSprites(hdrClip(transfer), "hdr_" + transfer, {"--keyframes", "--grid", "4x1"});
    const RgbImage sheet = readJpeg(out / "sheet-001.jpg");
    ASSERT_EQ(sheet.width, 4 * kCellW);
    for (int i = 0; i < 4; ++i) {
      SCOPED_TRACE("cell " + std::to_string(i));
      const RgbImage want = cell(source, i, 0), got = cell(sheet, i, 0);
      EXPECT_GE(psnr(want, got), 18);
      EXPECT_GE(meanSaturation(got), 0.7 * meanSaturation(want));
      EXPECT_NEAR(meanLuma(got) / meanLuma(want), 1, 0.2);
    }
  }
}

TEST(SpritesPictures, InterlacedPicturesShowOneField) {
  // 1080i25, top field first, whose bottom fields are the negative of its top fields: the most
  // motion two fields can have. Scaling the whole frame would blend them towards grey.
  const fs::path clip =
      ffmpegClip("interlaced.ts",
                 "-f lavfi -i testsrc2=s=1920x1080:r=50:d=2 -vf "
                 "negate=enable='eq(mod(n\\,2)\\,1)',tinterlace=mode=interleave_top,setfield=tff "
                 "-c:v libx264 -preset ultrafast -flags +ildct+ilme -x264-params tff=1 -g 25");
  const fs::path out = makeSprites(clip, "interlaced", {"--keyframes", "--size", "160x90"});
  const RgbImage sheet = readJpeg(out / "sheet-001.jpg");
  ASSERT_EQ(sheet.width, 2 * kCellW);
  const std::string input = "-i '" + clip.string() + "' -vf ";
  const RgbImage field = ffmpegFrame(input + "field=top,scale=160:90:flags=area", kCellW, kCellH);
  const RgbImage blend = ffmpegFrame(input + "scale=160:90:flags=area", kCellW, kCellH);
  const RgbImage first = cell(sheet, 0, 0);
  EXPECT_GE(psnr(field, first), 20);
  EXPECT_GT(psnr(field, first), psnr(blend, first) + 6);
}

}  // namespace
