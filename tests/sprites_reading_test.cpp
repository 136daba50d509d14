// How gridwright-sprites reads files, end to end through the real tool and daemon: through the
// index of an MP4 or MOV (a few per cent of the bytes) with the same outputs as reading every
// packet, and the rules of the reading path that those outputs rest on: a keyframe cut short
// by the end of the file, a file that ends early, a turned sheet.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/sprite_files.h"

namespace {

namespace fs = std::filesystem;

using namespace testing_support;

// A file cut to its first `bytes` bytes, made once beside the clips.
fs::path cutTo(const fs::path& clip, const std::string& name, size_t bytes) {
  const fs::path path = spriteClipsDir() / name;
  if (fs::exists(path)) return path;
  const std::string whole = fileText(clip);
  std::ofstream(path.string() + ".partial", std::ios::binary) << whole.substr(0, bytes);
  fs::rename(path.string() + ".partial", path);
  return path;
}

// Each video packet's position, size and key flag, as ffprobe lists them.
struct Packet {
  long long pos = 0, size = 0;
  double time = 0;
  bool key = false;
};

std::vector<Packet> packetsOf(const fs::path& clip) {
  const fs::path list = fs::path(::testing::TempDir()) / "packets.csv";
  const std::string command =
      "ffprobe -v error -select_streams v -show_entries packet=pts_time,pos,size,flags -of "
      "csv=p=0 '" +
      clip.string() + "' > '" + list.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  std::vector<Packet> packets;
  std::ifstream in(list);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string time, size, pos, flags;
    std::getline(fields, time, ',');
    std::getline(fields, size, ',');
    std::getline(fields, pos, ',');
    std::getline(fields, flags, ',');
    packets.push_back({std::stoll(pos), std::stoll(size), std::stod(time), flags[0] == 'K'});
  }
  return packets;
}

// A number of the one-line JSON summary: "key": N.
double jsonNumber(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\": ");
  if (at == std::string::npos) return -1;
  return std::stod(json.substr(at + key.size() + 4));
}

struct Clip {
  std::string name;  // in the clips folder
  std::string args;  // for ffmpegClip, or empty when made otherwise
  bool indexed;      // read through the index
};

fs::path bframes() {
  return ffmpegClip("reading_bframes.mp4",
                    "-f lavfi -i testsrc2=s=320x180:r=25:d=12 -c:v libx264 -preset medium -bf 3 "
                    "-g 50");
}

fs::path faststart() {
  return ffmpegClip("reading_faststart.mp4",
                    "-i '" + bframes().string() + "' -c copy -movflags +faststart");
}

TEST(SpritesReading, TheIndexGivesWhatEveryPacketGives) {
  const std::string src = "-f lavfi -i testsrc2=s=320x180:r=25:d=12 ";
  const std::vector<Clip> clips = {
      {"reading_bframes.mp4", "", true},
      {"reading_opengop.mp4",
       src + "-c:v libx264 -preset medium -bf 3 -g 50 -x264-params open-gop=1", true},
      // An edit list that starts playback 3 s in, between keyframes.
      {"reading_cut.mov", "-ss 3 -i '" + bframes().string() + "' -c copy", true},
      {"reading_h265.mp4",
       src + "-c:v libx265 -preset fast -x265-params log-level=error:keyint=50:bframes=4 "
             "-tag:v hvc1",
       true},
      {"reading_turned.mp4", "-i '" + bframes().string() + "' -c copy -metadata:s:v:0 rotate=90",
       true},
      {"reading_cut.mp4", "", true},  // the faststart file cut at 60 %
      {"reading_bframes.mkv", "-i '" + bframes().string() + "' -c copy", false},
  };
  for (const Clip& c : clips) {
    SCOPED_TRACE(c.name);
    const fs::path clip = c.name == "reading_bframes.mp4" ? bframes()
                          : c.name == "reading_cut.mp4"
                              ? cutTo(faststart(), c.name, fs::file_size(faststart()) * 6 / 10)
                              : ffmpegClip(c.name, c.args);
    for (const std::vector<std::string>& selection :
         {std::vector<std::string>{"--interval", "1", "--format", "vtt,hls,bif"},
          std::vector<std::string>{"--keyframes"}}) {
      const fs::path index = freshDir("reading_index"), all = freshDir("reading_all");
      std::vector<ProgramRun> runs;
      for (const fs::path& out : {index, all}) {
        std::vector<std::string> args = {clip.string(), "-o", out.string(), "-q", "--json"};
        args.insert(args.end(), selection.begin(), selection.end());
        if (out == all) args.push_back("--read-all");
        runs.push_back(runSprites(args));
      }
      EXPECT_EQ(runs[0].status, runs[1].status);
      EXPECT_EQ(runs[0].err, runs[1].err);
      EXPECT_NE(runs[0].out.find(c.indexed ? "\"read\": \"index\"" : "\"read\": \"every packet\""),
                std::string::npos)
          << runs[0].out;
      EXPECT_NE(runs[1].out.find("\"read\": \"every packet\""), std::string::npos);
      EXPECT_EQ(filesIn(index), filesIn(all));
      for (const std::string& name : filesIn(index)) {
        if (name == ".gridwright-sprites") continue;  // its times differ
        EXPECT_TRUE(fileText(index / name) == fileText(all / name)) << name;
      }
    }
  }
}

TEST(SpritesReading, AnMp4IsReadAtTheSpeedOfItsKeyframes) {
  // Two minutes with a keyframe every 10 s: the keyframes are about 1 % of the bytes.
  const fs::path clip = ffmpegClip("reading_long.mp4",
                                   "-f lavfi -i testsrc2=s=640x360:r=25:d=120 -c:v libx264 "
                                   "-preset ultrafast -crf 28 -g 250");
  const double size = static_cast<double>(fs::file_size(clip));
  const ProgramRun index =
      runSprites({clip.string(), "-o", freshDir("reading_long").string(), "--json"});
  ASSERT_EQ(index.status, 0) << index.err;
  const ProgramRun all =
      runSprites({clip.string(), "-o", freshDir("reading_long").string(), "--json", "--read-all"});
  ASSERT_EQ(all.status, 0) << all.err;
  // Every packet is read twice, once for the times and once for the keyframes' bytes.
  EXPECT_GT(jsonNumber(all.out, "bytesRead"), 1.9 * size) << all.out;
  EXPECT_LT(jsonNumber(index.out, "bytesRead"), 0.05 * size) << index.out;
  EXPECT_GT(jsonNumber(index.out, "bytesRead"), 0.005 * size) << index.out;
}

TEST(SpritesReading, AKeyframeCutShortByTheEndIsLeftOut) {
  // Cut in the middle of the last keyframe's bytes (at 10 s of 12): nine keyframes and a piece.
  const fs::path source =
      ffmpegClip("reading_tail.mkv",
                 "-f lavfi -i testsrc2=s=320x180:r=25:d=12 -c:v libx264 -preset "
                 "ultrafast -g 50 -keyint_min 50 -sc_threshold 0");
  for (const fs::path& whole : {source, faststart()}) {
    SCOPED_TRACE(whole.filename().string());
    std::vector<Packet> keys;
    for (const Packet& p : packetsOf(whole)) {
      if (p.key) keys.push_back(p);
    }
    ASSERT_EQ(keys.size(), 6u);
    const fs::path cut = cutTo(whole, "keyframe_cut_" + whole.filename().string(),
                               static_cast<size_t>(keys.back().pos + keys.back().size / 2));
    const fs::path out = freshDir("reading_keyframe_cut");
    const ProgramRun r = runSprites({cut.string(), "-o", out.string(), "--keyframes", "--json"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(jsonNumber(r.out, "keyframes"), 5) << r.out;
    EXPECT_EQ(readCues(out / "thumbnails.vtt").size(), 5u);
  }
}

TEST(SpritesReading, AFileThatEndsUnderASecondEarlyIsReported) {
  // The data ends 0.75 s before the 12 s the file states.
  std::vector<Packet> packets = packetsOf(faststart());
  size_t cutAt = 0;
  for (const Packet& p : packets) {
    if (p.time >= 11.25 && (cutAt == 0 || static_cast<size_t>(p.pos) < cutAt)) {
      cutAt = static_cast<size_t>(p.pos);
    }
  }
  ASSERT_GT(cutAt, 0u);
  const fs::path cut = cutTo(faststart(), "reading_short.mp4", cutAt);
  for (const char* how : {"--json", "--read-all"}) {
    SCOPED_TRACE(how);
    const ProgramRun r =
        runSprites({cut.string(), "-o", freshDir("reading_short").string(), how, "-q"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_TRUE(r.err.starts_with("gridwright-sprites: " + cut.string() + ": the data ends at 11."))
        << r.err;
    EXPECT_NE(r.err.find(" of the 12.000 s the file states"), std::string::npos) << r.err;
  }
}

TEST(SpritesReading, TurnedSheetsOfWholeBlocksAreUpright) {
  // Cells of 160 x 288: a sheet of whole 16 x 16 blocks, which is turned without loss.
  for (const char* degrees : {"90", "270"}) {
    SCOPED_TRACE(degrees);
    const fs::path clip =
        ffmpegClip(std::string("reading_turned_") + degrees + ".mp4",
                   "-i '" + faststart().string() + "' -c copy -metadata:s:v:0 rotate=" + degrees);
    const fs::path out = freshDir(std::string("reading_turned_") + degrees);
    const ProgramRun r = runSprites(
        {clip.string(), "-o", out.string(), "--keyframes", "--size", "160x288", "--grid", "6x1"});
    ASSERT_EQ(r.status, 0) << r.err;
    const RgbImage sheet = readJpeg(out / "sheet-001.jpg");
    ASSERT_EQ(sheet.width, 6 * 160);
    ASSERT_EQ(sheet.height, 288);
    const RgbImage upright = keyframeStrip(clip, 6, 160, 288);  // ffmpeg turns them itself
    for (int k = 0; k < 6; ++k) {
      const Likeness best = mostLike(upright, sheet.crop(k * 160, 0, 160, 288));
      EXPECT_EQ(best.index, k);
      EXPECT_GE(best.psnr, 25);
    }
  }
}

}  // namespace
