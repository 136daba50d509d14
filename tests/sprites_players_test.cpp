// Real players read gridwright-sprites' thumbnails: a clip made with ffmpeg is packaged as HLS
// (fMP4 segments) and DASH by ffmpeg's own muxers, the real tool adds its thumbnails to both
// manifests, and Shaka Player (HLS and DASH) and dash.js (DASH), in headless Chromium driven by
// tests/players/read_thumbnails.mjs, are asked for the thumbnail of each interval. Each answer
// must name the sheet and cell whose picture is the keyframe at or before that interval's start,
// matched against ffmpeg's own decode of every keyframe.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/sprite_files.h"

namespace {

namespace fs = std::filesystem;

using namespace testing_support;

constexpr int kCellW = 160, kCellH = 90;
constexpr int kKeyframes = 7;    // at 0, 2, ..., 12 s of 13 s
constexpr int kThumbnails = 13;  // one a second: 8 on the first sheet of 4 x 2, 5 on the second

// One answer of a player: PLAYER PROTOCOL TIME URL X Y W H.
struct Answer {
  std::string player, protocol;
  double time = 0;
  std::string url;
  double x = 0, y = 0, w = 0, h = 0;
};

std::vector<Answer> readAnswers(const std::string& out, std::map<std::string, int>& tracks) {
  std::vector<Answer> answers;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    Answer a;
    words >> a.player >> a.protocol;
    if (a.player == "tracks") {
      int n = 0;
      std::string protocol;
      words >> protocol >> n;
      tracks[a.protocol + " " + protocol] = n;
      continue;
    }
    words >> a.time >> a.url >> a.x >> a.y >> a.w >> a.h;
    answers.push_back(a);
  }
  return answers;
}

TEST(SpritesPlayers, ShakaPlayerAndDashJsShowTheKeyframeOfEachInterval) {
  const fs::path root = freshDir("players");
  packageWithFfmpeg(root, evenKeyframesClip());
  ASSERT_FALSE(::testing::Test::HasFailure());

  const ProgramRun made = runSprites(
      {evenKeyframesClip().string(), "-o", (root / "thumbs").string(), "--format", "hls,dash",
       "--interval", "1", "--grid", "4x2", "-q", "--hls-master",
       (root / "hls/master.m3u8").string(), "--dash-mpd", (root / "dash/video.mpd").string()});
  ASSERT_EQ(made.status, 0) << made.err;

  // Each interval's start, and a moment inside it.
  std::vector<std::string> args = {GRIDWRIGHT_PLAYERS_DIR "/read_thumbnails.mjs",
                                   GRIDWRIGHT_CHROMIUM, root.string(), "hls/master.m3u8",
                                   "dash/video.mpd"};
  for (int k = 0; k < kThumbnails; ++k) {
    args.push_back(std::to_string(k));
    args.push_back(std::to_string(k) + ".6");
  }
  const ProgramRun players = runProgram(GRIDWRIGHT_NODE, args);
  ASSERT_EQ(players.status, 0) << players.err
                               << "\n(the players come from bash scripts/packages.sh)";

  std::map<std::string, int> tracks;
  const std::vector<Answer> answers = readAnswers(players.out, tracks);
  EXPECT_EQ(tracks,
            (std::map<std::string, int>{{"dashjs dash", 1}, {"shaka dash", 1}, {"shaka hls", 1}}));
  ASSERT_EQ(answers.size(), 3u * 2 * kThumbnails) << players.out;

  const RgbImage keyframes = keyframeStrip(evenKeyframesClip(), kKeyframes, kCellW, kCellH);
  std::map<std::string, RgbImage> sheets;
  for (const Answer& a : answers) {
    SCOPED_TRACE(a.player + " " + a.protocol + " at " + std::to_string(a.time));
    const int k = static_cast<int>(a.time);  // the interval
    ASSERT_EQ(a.url, k < 8 ? "thumbs/sheet-001.jpg" : "thumbs/sheet-002.jpg");
    EXPECT_EQ(a.x, k % 4 * kCellW);
    EXPECT_EQ(a.y, k % 8 / 4 * kCellH);
    ASSERT_EQ(a.w, kCellW);
    ASSERT_EQ(a.h, kCellH);
    if (!sheets.count(a.url)) sheets[a.url] = readJpeg(root / a.url);
    const RgbImage shown =
        sheets[a.url].crop(static_cast<int>(a.x), static_cast<int>(a.y), kCellW, kCellH);
    const Likeness best = mostLike(keyframes, shown);
    EXPECT_EQ(best.index, k / 2);  // the keyframe at or before k seconds
    EXPECT_GE(best.psnr, 20);
  }
}

}  // namespace
