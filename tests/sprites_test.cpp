// gridwright-sprites end to end: clips made with the ffmpeg command in several containers and
// both codecs go through the real tool and the real daemon; the sheets' sizes, the track's cues
// and the error lines are checked.

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/sprite_files.h"

namespace {

namespace fs = std::filesystem;

using namespace testing_support;

// name -> the ffmpeg arguments between the input and the output. Every clip is 12 seconds of a
// moving test pattern at 25 frames per second, 320 x 180 unless said otherwise, with a keyframe
// every second unless said otherwise.
const std::map<std::string, std::string> kClipRecipes = {
    {"h264.mp4", "-c:v libx264 -preset ultrafast -g 25"},
    {"h264.ts", "-c:v libx264 -preset ultrafast -g 25"},
    {"h264.h264", "-c:v libx264 -preset ultrafast -g 25"},
    {"h264_sparse.mp4", "-c:v libx264 -preset ultrafast -g 100"},
    {"h264_high.h264", "-c:v libx264 -preset veryfast -profile:v high -g 25"},
    {"h265.mp4",
     "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=25 "
     "-tag:v hvc1"},
    {"h265.ts", "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=25"},
    {"h265.h265", "-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=25"},
    // 320 x 240 pixels twice as wide as high: a 16:9 picture.
    {"anamorphic.mkv", "-vf scale=320:240,setsar=4/3 -c:v libx264 -preset ultrafast -g 25"},
    {"mpeg4.mp4", "-c:v mpeg4"},
};

fs::path clip(const std::string& name) {
  if (name.ends_with(".wav")) return ffmpegClip(name, "-f lavfi -i sine=d=2");
  return ffmpegClip(name, "-f lavfi -i testsrc2=s=320x180:r=25:d=12 " + kClipRecipes.at(name));
}

// A raw H.264 stream whose profile byte says 255, a profile no decoder knows.
fs::path unknownProfileClip() {
  const fs::path path = spriteClipsDir() / "unknown_profile.h264";
  if (fs::exists(path)) return path;
  std::ifstream in(clip("h264_high.h264"), std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string sps("\x00\x00\x00\x01\x67\x64", 6);
  for (size_t at = bytes.find(sps); at != std::string::npos; at = bytes.find(sps, at + 1)) {
    bytes[at + 5] = '\xFF';
  }
  const fs::path partial = path.string() + "." + std::to_string(::getpid()) + ".partial";
  std::ofstream(partial, std::ios::binary) << bytes;
  fs::rename(partial, path);
  return path;
}

using ToolRun = ProgramRun;

ToolRun sprites(std::vector<std::string> args) {
  return runSprites(std::move(args));
}

std::pair<int, int> jpegSize(const fs::path& path) {
  const RgbImage image = readJpeg(path);
  return {image.width, image.height};
}

struct SheetCase {
  std::string clip;
  std::vector<std::string> options;
  std::pair<int, int> cell;
  std::vector<std::pair<int, int>> sheets;  // width and height of each sheet
  std::vector<double> cueStarts;            // the last cue ends at 12 seconds
};

TEST(Sprites, MakesSheetsAndTheirTrack) {
  const std::vector<SheetCase> cases = {
      // Defaults: one thumbnail every 10 seconds, 160 wide, at most 10 x 10 per sheet.
      {"h264.mp4", {}, {160, 90}, {{320, 90}}, {0, 10}},
      {"h265.ts",
       {"--interval", "2", "--grid", "4x2"},
       {160, 90},
       {{640, 180}},
       {0, 2, 4, 6, 8, 10}},
      {"h264.ts",
       {"--keyframes", "--grid", "5x2"},
       {160, 90},
       {{800, 180}, {800, 90}},
       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}},
      {"h265.mp4", {"--count", "3", "--size", "64x48"}, {64, 48}, {{192, 48}}, {0, 4, 8}},
      {"anamorphic.mkv", {"--interval", "4"}, {160, 90}, {{480, 90}}, {0, 4, 8}},
      {"h264.h264", {"--interval", "3", "--width", "100"}, {100, 56}, {{400, 56}}, {0, 3, 6, 9}},
      {"h265.h265",
       {"--interval", "6", "--grid", "1x1"},
       {160, 90},
       {{160, 90}, {160, 90}},
       {0, 6}},
      // Keyframes every 4 seconds: times that share a keyframe share its thumbnail.
      {"h264_sparse.mp4", {"--interval", "1"}, {160, 90}, {{480, 90}}, {0, 4, 8}},
  };
  for (const SheetCase& c : cases) {
    SCOPED_TRACE(c.clip);
    const fs::path out = freshDir("ok_" + c.clip);
    std::vector<std::string> args = {clip(c.clip).string(), "-o", out.string(), "--json"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ToolRun r = sprites(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\"cues\": " + std::to_string(c.cueStarts.size())), std::string::npos)
        << r.out;

    std::vector<std::string> wantFiles = {".gridwright-sprites"};
    std::map<std::string, std::pair<int, int>> sheetSize;
    for (size_t s = 0; s < c.sheets.size(); ++s) {
      char name[32];
      std::snprintf(name, sizeof name, "sheet-%03zu.jpg", s + 1);
      wantFiles.push_back(name);
      sheetSize[name] = jpegSize(out / name);
      EXPECT_EQ(sheetSize[name], c.sheets[s]) << name;
    }
    wantFiles.push_back("thumbnails.vtt");
    EXPECT_EQ(filesIn(out), wantFiles);

    const std::vector<Cue> cues = readCues(out / "thumbnails.vtt");
    ASSERT_EQ(cues.size(), c.cueStarts.size());
    for (size_t i = 0; i < cues.size(); ++i) {
      const Cue& cue = cues[i];
      EXPECT_EQ(cue.start, vttTime(c.cueStarts[i])) << "cue " << i;
      EXPECT_EQ(cue.end, vttTime(i + 1 < cues.size() ? c.cueStarts[i + 1] : 12.0)) << "cue " << i;
      ASSERT_TRUE(sheetSize.count(cue.sheet)) << cue.sheet;
      const auto [sheetW, sheetH] = sheetSize[cue.sheet];
      EXPECT_EQ(std::make_pair(cue.w, cue.h), c.cell) << "cue " << i;
      EXPECT_EQ(cue.x % cue.w, 0) << "cue " << i;
      EXPECT_EQ(cue.y % cue.h, 0) << "cue " << i;
      EXPECT_LE(cue.x + cue.w, sheetW) << "cue " << i;
      EXPECT_LE(cue.y + cue.h, sheetH) << "cue " << i;
    }
  }
}

struct ErrorCase {
  std::string name;
  std::vector<std::string> args;  // "{out}" stands for the output folder
  int status;
  std::string line;  // the start of the one line on standard error
};

TEST(Sprites, VersionGoesToStandardOutput) {
  const ToolRun r = sprites({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "gridwright-sprites 1.0\n");
  EXPECT_EQ(r.err, "");
}

TEST(Sprites, BadInputGetsOneClearLineAndLeavesNothingLookingComplete) {
  const std::string missing = (spriteClipsDir() / "missing.mp4").string();
  const std::string wav = clip("sine.wav").string();
  const std::vector<ErrorCase> cases = {
      {"missing", {missing}, 1, "gridwright-sprites: " + missing + ": No such file or directory"},
      {"other codec",
       {clip("mpeg4.mp4").string()},
       1,
       "gridwright-sprites: " + clip("mpeg4.mp4").string() +
           ": no H.264 or H.265 video stream (it has mpeg4 video)"},
      {"no video",
       {wav},
       1,
       "gridwright-sprites: " + wav + ": no H.264 or H.265 video stream (it has pcm_s16le audio)"},
      {"refused profile",
       {unknownProfileClip().string(), "--grid", "1x1", "--interval", "3"},
       1,
       "gridwright-sprites: gridwright could not make sheet-001.jpg (decode: "},
      {"failing daemon",
       {clip("h264.mp4").string(), "--daemon", "/bin/false"},
       1,
       "gridwright-sprites: gridwright ended before greeting with exit status 1"},
      {"missing daemon",
       {clip("h264.mp4").string(), "--daemon", "/nonexistent/gridwright"},
       1,
       "gridwright-sprites: cannot start /nonexistent/gridwright: No such file or directory"},
      // Every mistake of the command line is status 2, whether it shows before the input is read
      // or only once its picture size is known.
      {"canvas",
       {clip("h264.mp4").string(), "--size", "1000x100", "--grid", "10x1"},
       2,
       "gridwright-sprites: sheets of 10x1 thumbnails of 1000x100 would be 10000x100 pixels, "
       "over 8192 per side; use a smaller --grid or --width (see --help)"},
      {"width over the sheet a grid makes",
       {clip("h264.mp4").string(), "--width", "5000", "--grid", "2x1"},
       2,
       "gridwright-sprites: sheets of 2x1 thumbnails of 5000x2813 would be 10000x2813 pixels"},
      {"width over any sheet's",
       {clip("h264.mp4").string(), "--width", "9000"},
       2,
       "gridwright-sprites: --width wants a whole number from 1 to 8192, not \"9000\""},
      {"quality",
       {clip("h264.mp4").string(), "--quality", "32"},
       2,
       "gridwright-sprites: --quality wants a whole number from 1 to 31, not \"32\""},
      {"interval and count",
       {clip("h264.mp4").string(), "--interval", "2", "--count", "3"},
       2,
       "gridwright-sprites: --interval and --count cannot be used together (see --help)"},
      {"keyframes and interval",
       {clip("h264.mp4").string(), "--keyframes", "--interval", "3"},
       2,
       "gridwright-sprites: --keyframes and --interval cannot be used together (see --help)"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path out = freshDir("bad_" + std::to_string(&c - cases.data()));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-o", out.string()});
    const ToolRun r = sprites(args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.err.starts_with(c.line)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(filesIn(out), std::vector<std::string>{}) << c.name;
  }
}

TEST(Sprites, ARunRemovesAndOverwritesOnlyWhatItWrote) {
  const fs::path out = freshDir("owns");
  const std::string input = clip("h264.mp4").string();
  const std::vector<std::string> twelve = {input, "-o",     out.string(), "--interval",
                                           "1",   "--grid", "1x1",        "-q"};
  // A folder of a person's own, with pictures named as sheets are, and no record.
  fs::create_directories(out);
  for (const char* name : {"sheet-099.jpg", "sheet-01.jpg", "notes.txt"}) {
    std::ofstream(out / name) << "mine";
  }
  ToolRun r = sprites(twelve);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(filesIn(out).size(), 17u);  // 12 sheets, the track, the record and the three
  for (const char* name : {"sheet-099.jpg", "sheet-01.jpg", "notes.txt"}) {
    EXPECT_EQ(fileText(out / name), "mine") << name;
  }

  // The person puts a link in place of one sheet and their own picture in place of another;
  // a rerun that needs two sheets removes the ten others it wrote and nothing else.
  fs::remove(out / "sheet-005.jpg");
  fs::create_symlink("notes.txt", out / "sheet-005.jpg");
  std::ofstream(out / "sheet-007.jpg", std::ios::trunc) << "mine too";
  r = sprites({input, "-o", out.string(), "--interval", "6", "--grid", "1x1", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(filesIn(out),
            (std::vector<std::string>{".gridwright-sprites", "notes.txt", "sheet-001.jpg",
                                      "sheet-002.jpg", "sheet-005.jpg", "sheet-007.jpg",
                                      "sheet-01.jpg", "sheet-099.jpg", "thumbnails.vtt"}));
  EXPECT_TRUE(fs::is_symlink(out / "sheet-005.jpg"));
  EXPECT_EQ(fileText(out / "sheet-007.jpg"), "mine too");
  EXPECT_EQ(fileText(out / "notes.txt"), "mine");
  const std::vector<Cue> cues = readCues(out / "thumbnails.vtt");
  ASSERT_EQ(cues.size(), 2u);
  EXPECT_EQ(cues[1].sheet, "sheet-002.jpg");

  // A run that would write over those files refuses before it writes anything.
  const std::string before = fileText(out / ".gridwright-sprites");
  r = sprites(twelve);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "gridwright-sprites: " + (out / "sheet-005.jpg").string() +
                       " is not a file that gridwright-sprites wrote (or it was changed since); "
                       "move it away or choose another --output\n");
  EXPECT_EQ(fileText(out / ".gridwright-sprites"), before);
  EXPECT_EQ(fileText(out / "sheet-007.jpg"), "mine too");
  EXPECT_EQ(filesIn(out).size(), 9u);

  // Another format: the track it no longer writes goes, the playlist comes.
  r = sprites(
      {input, "-o", out.string(), "--interval", "6", "--grid", "1x1", "-q", "--format", "hls"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(out / "thumbnails.vtt"));
  EXPECT_TRUE(fs::exists(out / "thumbnails.m3u8"));

  // A record that is somebody else's file is not overwritten either.
  const fs::path other = freshDir("owns_other");
  fs::create_directories(other);
  std::ofstream(other / ".gridwright-sprites") << "my settings";
  r = sprites({input, "-o", other.string(), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(
      r.err.ends_with("was not written by gridwright-sprites; move it away or choose "
                      "another --output\n"))
      << r.err;
  EXPECT_EQ(filesIn(other), std::vector<std::string>{".gridwright-sprites"});
}

// Runs `script` as root in a mount namespace of its own, where it may mount a small tmpfs; false
// where the machine does not allow that.
bool runInMountNamespace(const std::string& script, ToolRun& run) {
  if (std::system("unshare -m true 2>/dev/null") != 0) return false;
  run = runProgram("/usr/bin/unshare", {"-m", "sh", "-c", script});
  return true;
}

TEST(Sprites, AFullDiskGivesItsReasonAndLeavesNoFolderBehind) {
  const fs::path mount = freshDir("full_disk");
  fs::create_directories(mount);
  // Room for the first sheet's temporary file, not for every sheet.
  const std::string script = "mount -t tmpfs -o size=24k tmpfs '" + mount.string() + "' && '" +
                             GRIDWRIGHT_SPRITES_BIN + "' '" + clip("h264.mp4").string() +
                             "' -q --interval 1 --grid 1x1 -o '" + (mount / "a/b").string() +
                             "'; echo \"status $?\"; ls -A '" + mount.string() + "'";
  ToolRun r;
  if (!runInMountNamespace(script, r)) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(r.out, "status 1\n") << r.err;  // nothing left in the file system
  EXPECT_TRUE(r.err.starts_with("gridwright-sprites: cannot write " + (mount / "a/b").string() +
                                "/.sheet-0"))
      << r.err;
  EXPECT_TRUE(r.err.ends_with(".jpg.partial: No space left on device\n")) << r.err;
}

// Everything a program writes to a terminal `columns` wide, read from the terminal's side.
std::string runOnTerminal(const std::vector<std::string>& args, unsigned short columns) {
  winsize size{};
  size.ws_col = columns;
  size.ws_row = 24;
  int terminal = -1;
  const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
  if (pid == 0) {
    std::vector<char*> argv = {const_cast<char*>(GRIDWRIGHT_SPRITES_BIN)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  std::string seen;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;  // EIO once the program has gone
    seen.append(buffer, static_cast<size_t>(n));
  }
  ::close(terminal);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
  return seen;
}

TEST(Sprites, TheProgressLineFitsANarrowTerminal) {
  for (unsigned short columns : {50, 24, 12, 80}) {
    SCOPED_TRACE(columns);
    const std::string seen =
        runOnTerminal({clip("h264.ts").string(), "-o", freshDir("progress").string(), "--keyframes",
                       "--grid", "2x1"},
                      columns);
    // Each redraw starts with a carriage return and clears what a longer line left.
    size_t redraws = 0;
    std::string line;
    for (size_t i = 0; i <= seen.size(); ++i) {
      const char c = i < seen.size() ? seen[i] : '\n';
      if (c != '\r' && c != '\n') {
        line += c;
        continue;
      }
      // Only the progress line is redrawn; the closing summary is an ordinary line.
      const std::string clear = "\033[K";
      if (line.ends_with(clear)) {
        line.resize(line.size() - clear.size());
        ++redraws;
        EXPECT_LT(line.size(), columns) << "\"" << line << "\"";
      }
      line.clear();
    }
    EXPECT_GE(redraws, 6u) << seen;  // 12 keyframes on 6 sheets
  }
}

}  // namespace
