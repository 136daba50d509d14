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

// Checks that cue i of the track names cell (i mod columns, i div columns) of its sheet, of the
// thumbnail size, and that the cell shows moment i of `moments` (a strip of reference pictures
// of that size, one per expected moment) better than any other moment, and well.
void expectCuesShowTheirMoments(const fs::path& out, int columns, int cellW, int cellH,
                                const RgbImage& moments) {
  const std::vector<Cue> cues = readCues(out / "thumbnails.vtt");
  const int count = moments.width / cellW;
  ASSERT_EQ(static_cast<int>(cues.size()), count);
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE("cue " + std::to_string(i));
    const Cue& cue = cues[static_cast<size_t>(i)];
    EXPECT_EQ(cue.x, (i % columns) * cellW);
    EXPECT_EQ(cue.y, (i / columns) * cellH);
    ASSERT_EQ(cue.w, cellW);
    ASSERT_EQ(cue.h, cellH);
    const RgbImage shown = readJpeg(out / cue.sheet).crop(cue.x, cue.y, cue.w, cue.h);
    const Likeness best = mostLike(moments, shown);
    EXPECT_EQ(best.index, i);
    EXPECT_GE(best.psnr, 20);
  }
}

// 6 seconds of a moving pattern, a keyframe every second.
fs::path sixSecondClip() {
  return ffmpegClip("moving_6s.mp4",
                    "-f lavfi -i testsrc2=s=640x360:r=25:d=6 -c:v libx264 -preset ultrafast -g 25");
}

TEST(SpritesPictures, EachCueNamesItsCellAndTheCellShowsItsMoment) {
  // 3 columns: a cue position taken from the wrong axis or order shows the wrong moment.
  const fs::path out =
      makeSprites(sixSecondClip(), "mapping", {"--interval", "1", "--grid", "3x3"});
  expectCuesShowTheirMoments(out, 3, kCellW, kCellH,
                             keyframeStrip(sixSecondClip(), 6, kCellW, kCellH));
}

TEST(SpritesPictures, TurnedVideosGiveUprightThumbnails) {
  // A landscape recording tagged as a phone does: shown as a portrait picture, 160 x 284.
  for (const std::string rotate : {"90", "270"}) {
    SCOPED_TRACE(rotate);
    const fs::path clip =
        ffmpegClip("rotate_" + rotate + ".mp4", "-i '" + sixSecondClip().string() +
                                                    "' -c copy -metadata:s:v:0 rotate=" + rotate);
    const fs::path out =
        makeSprites(clip, "rotate_" + rotate, {"--interval", "1", "--grid", "4x2", "--json"});
    const RgbImage sheet = readJpeg(out / "sheet-001.jpg");
    EXPECT_EQ(sheet.width, 4 * 160);
    EXPECT_EQ(sheet.height, 2 * 284);
    expectCuesShowTheirMoments(out, 4, 160, 284, keyframeStrip(clip, 6, 160, 284));
  }
}

TEST(SpritesPictures, CuesFollowPlaybackTimeThroughAnEditList) {
  // Keyframes every 2 seconds; the cut starts playback at 3 s of the source, so a player shows
  // the source's keyframe at 2 s (decoded before the edit's start) from 0 to 1 s, the one at 4 s
  // from 1 to 3 s, and so on, for 9 seconds.
  const fs::path source =
      ffmpegClip("gop2_12s.mp4",
                 "-f lavfi -i testsrc2=s=640x360:r=25:d=12 -c:v libx264 -preset ultrafast -g 50");
  const fs::path cut = ffmpegClip("gop2_cut3.mp4", "-ss 3 -i '" + source.string() + "' -c copy");
  const fs::path out = makeSprites(cut, "edit_list", {"--interval", "1", "--grid", "5x1"});
  const std::vector<Cue> cues = readCues(out / "thumbnails.vtt");
  const std::vector<double> starts = {0, 1, 3, 5, 7};
  ASSERT_EQ(cues.size(), starts.size());
  for (size_t i = 0; i < cues.size(); ++i) {
    EXPECT_EQ(cues[i].start, vttTime(starts[i])) << i;
    EXPECT_EQ(cues[i].end, vttTime(i + 1 < starts.size() ? starts[i + 1] : 9)) << i;
  }
  // The source's keyframes at 2, 4, 6, 8 and 10 s.
  const RgbImage all = keyframeStrip(source, 6, kCellW, kCellH);
  ASSERT_EQ(all.width, 6 * kCellW);
  expectCuesShowTheirMoments(out, 5, kCellW, kCellH, all.crop(kCellW, 0, 5 * kCellW, kCellH));
}

TEST(SpritesPictures, ATruncatedFileSaysWhereItsDataEnds) {
  // A 20-second MP4 with its index in front, cut at half its bytes.
  const fs::path whole =
      ffmpegClip("faststart_20s.mp4",
                 "-f lavfi -i testsrc2=s=320x180:r=25:d=20 -c:v libx264 -preset ultrafast -g 25 "
                 "-movflags +faststart");
  const fs::path cut = spriteClipsDir() / "faststart_20s_half.mp4";
  if (!fs::exists(cut)) {
    fs::copy_file(whole, cut.string() + ".partial", fs::copy_options::overwrite_existing);
    fs::resize_file(cut.string() + ".partial", fs::file_size(whole) / 2);
    fs::rename(cut.string() + ".partial", cut);
  }
  const fs::path out = freshDir("truncated");
  const ProgramRun r =
      runSprites({cut.string(), "-o", out.string(), "--interval", "4", "--json", "-q"});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_TRUE(r.err.starts_with("gridwright-sprites: " + cut.string() + ": the data ends at 10."))
      << r.err;
  EXPECT_NE(r.err.find("of the 20.000 s the file states"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("\"truncated\": {\"dataEnd\": 10."), std::string::npos) << r.out;
  // The track covers what could be read: 0-4, 4-8 and 8-10 s.
  const std::vector<Cue> cues = readCues(out / "thumbnails.vtt");
  ASSERT_EQ(cues.size(), 3u);
  EXPECT_EQ(cues[2].start, vttTime(8));
  EXPECT_TRUE(cues[2].end.starts_with("00:00:10.")) << cues[2].end;

  // The whole file says nothing of the kind.
  const ProgramRun ok =
      runSprites({whole.string(), "-o", freshDir("not_truncated").string(), "--json", "-q"});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.err, "");
  EXPECT_NE(ok.out.find("\"truncated\": null"), std::string::npos) << ok.out;
}

}  // namespace
