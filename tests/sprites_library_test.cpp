// gridwright-sprites over a library: folders of clips made with ffmpeg (names with spaces and
// beyond ASCII, both codecs, three containers), broken and non-video files among them, through
// the real tool and one daemon: the mirrored output tree, the statuses, incremental reruns,
// shards.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"
#include "support/sprite_files.h"

namespace {

namespace fs = std::filesystem;

using namespace testing_support;

// The library's videos: relative path -> the clip it is a copy of.
const std::map<std::string, std::string> kVideos = {
    {"Films/My Film \xC3\xA9t\xC3\xA9.mp4", "library_h264.mp4"},
    {"Series/S01/ep 1.mkv", "library_h265.mkv"},
    {"Series/S01/ep 2.ts", "library_h264.ts"},
    {"Series/S01/Ep 3.MP4", "library_h264.mp4"},
};

fs::path libraryClip(const std::string& name) {
  const std::string video = "-f lavfi -i testsrc2=s=320x180:r=25:d=4 ";
  if (name == "library_h265.mkv") {
    return ffmpegClip(name, video +
                                "-c:v libx265 -preset ultrafast -x265-params "
                                "log-level=error:keyint=25");
  }
  if (name == "library_audio.mp4") return ffmpegClip(name, "-f lavfi -i sine=d=1 -c:a aac");
  return ffmpegClip(name, video + "-c:v libx264 -preset ultrafast -g 25");
}

// A library under `root`: the videos, and what a library also holds.
void makeLibrary(const fs::path& root) {
  for (const auto& [relative, clip] : kVideos) {
    fs::create_directories((root / relative).parent_path());
    fs::copy_file(libraryClip(clip), root / relative);
  }
  std::ofstream(root / "Series/S01/notes.txt") << "not a video";
  std::ofstream(root / "Series/S01/cover.jpg") << "not a video either";
  fs::create_directories(root / ".cache");
  fs::copy_file(libraryClip("library_h264.mp4"), root / ".cache/hidden.mp4");
  fs::copy_file(libraryClip("library_h264.mp4"), root / "Films/.partial.mp4");
  // A link out of the library, and a link to a folder: neither is followed.
  fs::create_directory_symlink(spriteClipsDir(), root / "Films/elsewhere");
  fs::create_symlink(libraryClip("library_h264.mp4"), root / "Films/outside.mp4");
}

// The output folder of a video of the library: its relative path without its extension.
std::string outputOf(const std::string& relative) {
  return fs::path(relative).replace_extension().string();
}

// Every file below `root` (not the folders), as relative paths, with its modification time.
std::map<std::string, fs::file_time_type> treeOf(const fs::path& root) {
  std::map<std::string, fs::file_time_type> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_directory()) continue;
    tree[entry.path().lexically_relative(root).string()] = entry.last_write_time();
  }
  return tree;
}

TEST(SpritesLibrary, AFolderTreeGivesAMirroredTreeAndBadFilesAreNamed) {
  const fs::path dir = freshDir("library_tree");
  makeLibrary(dir / "lib");
  fs::create_directories(dir / "bad");
  std::ofstream(dir / "bad/broken.mp4") << std::string(5000, 'x');
  fs::copy_file(libraryClip("library_audio.mp4"), dir / "bad/music.mp4");

  const ProgramRun r = runSprites({(dir / "lib").string(), (dir / "bad").string(), "-o",
                                   (dir / "out").string(), "--json", "-q"});
  EXPECT_EQ(r.status, 4) << r.err;  // some failed, the rest written
  EXPECT_EQ(countOf(r.err, "\n"), 2u) << r.err;
  EXPECT_NE(r.err.find("gridwright-sprites: " + (dir / "bad/broken.mp4").string() + ": "),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("gridwright-sprites: " + (dir / "bad/music.mp4").string() +
                       ": no H.264 or H.265 video stream (it has aac audio)"),
            std::string::npos)
      << r.err;

  std::set<std::string> folders;
  for (const auto& [path, time] : treeOf(dir / "out")) {
    if (path.ends_with("/thumbnails.vtt")) folders.insert(fs::path(path).parent_path().string());
  }
  std::set<std::string> expected;
  for (const auto& [relative, clip] : kVideos) expected.insert(outputOf(relative));
  EXPECT_EQ(folders, expected);
  for (const std::string& folder : expected) {
    EXPECT_EQ(readCues(dir / "out" / folder / "thumbnails.vtt").size(), 1u) << folder;
  }
  // The failed files left no folder; nothing came from hidden files, links or other files.
  EXPECT_FALSE(fs::exists(dir / "out/broken"));
  EXPECT_FALSE(fs::exists(dir / "out/music"));
  EXPECT_EQ(treeOf(dir / "out").size(), 4u * 3);  // a sheet, the track and the record each

  EXPECT_EQ(countOf(r.out, "\"status\": \"done\""), 4u) << r.out;
  EXPECT_EQ(countOf(r.out, "\"status\": \"failed\""), 2u) << r.out;
  EXPECT_TRUE(
      r.out.ends_with("\"files\": 6, \"done\": 4, \"upToDate\": 0, \"truncated\": 0, "
                      "\"failed\": 2, \"totalMillis\": " +
                      r.out.substr(r.out.rfind(' ') + 1)))
      << r.out;
}

TEST(SpritesLibrary, RerunsRedoOnlyWhatChanged) {
  const fs::path dir = freshDir("library_rerun");
  makeLibrary(dir / "lib");
  const std::vector<std::string> run = {(dir / "lib").string(), "-o", (dir / "out").string(),
                                        "--json", "-q"};
  ASSERT_EQ(runSprites(run).status, 0);
  const auto before = treeOf(dir / "out");

  // Everything up to date: nothing written, nothing opened, no daemon.
  ProgramRun r = runSprites(run);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(countOf(r.out, "\"status\": \"up to date\""), 4u) << r.out;
  EXPECT_EQ(treeOf(dir / "out"), before);

  // One source changed: it alone is made again.
  const std::string changed = "Series/S01/ep 2.ts";
  fs::last_write_time(dir / "lib" / changed,
                      fs::last_write_time(dir / "lib" / changed) + std::chrono::seconds(5));
  r = runSprites(run);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(countOf(r.out, "\"status\": \"up to date\""), 3u) << r.out;
  EXPECT_EQ(countOf(r.out, "\"status\": \"done\""), 1u) << r.out;
  const auto after = treeOf(dir / "out");
  for (const auto& [path, time] : before) {
    const bool redone = path.starts_with(outputOf(changed) + "/");
    EXPECT_EQ(after.at(path) != time, redone) << path;
  }

  // Other options shape other thumbnails: all are made again; --force does the same.
  for (const std::vector<std::string>& extra :
       {std::vector<std::string>{"--interval", "2"}, std::vector<std::string>{"--force"}}) {
    std::vector<std::string> again = run;
    again.insert(again.end(), extra.begin(), extra.end());
    if (extra.front() == "--force") again.insert(again.end(), {"--interval", "2"});
    r = runSprites(again);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "\"status\": \"done\""), 4u) << extra.front() << r.out;
  }
  EXPECT_EQ(readCues(dir / "out" / outputOf(changed) / "thumbnails.vtt").size(), 2u);
}

TEST(SpritesLibrary, OutputFoldersAreNotWalkedAndOneMissingAFileIsMadeAgain) {
  const fs::path dir = freshDir("library_beside");
  makeLibrary(dir / "lib");
  const std::vector<std::string> run = {(dir / "lib").string(), "--json", "-q"};
  ProgramRun r = runSprites(run);
  ASSERT_EQ(r.status, 0) << r.err;
  // Reported in the walk's order, whatever order the files were made in.
  std::vector<std::string> inputs, expected;
  for (size_t at = r.out.find("\"input\": \""); at != std::string::npos;
       at = r.out.find("\"input\": \"", at + 1)) {
    inputs.push_back(r.out.substr(at + 10, r.out.find('"', at + 10) - at - 10));
  }
  for (const auto& [relative, clip] : kVideos)
    expected.push_back((dir / "lib" / relative).string());
  EXPECT_EQ(inputs, expected);

  // Each output folder is beside its video, inside the library: a video put into one is not
  // the library's.
  const fs::path films = dir / "lib/Films/My Film \xC3\xA9t\xC3\xA9-sprites";
  ASSERT_TRUE(fs::exists(films / ".gridwright-sprites"));
  fs::copy_file(libraryClip("library_h264.mp4"), films / "stray.mp4");
  r = runSprites(run);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(countOf(r.out, "\"status\": \"up to date\""), 4u) << r.out;
  EXPECT_EQ(r.out.find("stray.mp4"), std::string::npos) << r.out;

  // A folder that lost a file its record names is made again; a file of someone else's named
  // as the tool names its temporary files is left as it is.
  const fs::path episode = dir / "lib/Series/S01/ep 1-sprites";
  fs::remove(episode / "sheet-001.jpg");
  std::ofstream(episode / ".sheet-001.jpg.partial") << "mine";
  r = runSprites(run);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(countOf(r.out, "\"status\": \"done\""), 1u) << r.out;
  EXPECT_EQ(readCues(episode / "thumbnails.vtt").size(), 1u);
  EXPECT_TRUE(fs::exists(episode / "sheet-001.jpg"));
  EXPECT_EQ(fileText(episode / ".sheet-001.jpg.partial"), "mine");
}

TEST(SpritesLibrary, ShardsTakeEveryFileOnce) {
  const fs::path dir = freshDir("library_shards");
  makeLibrary(dir / "lib");
  std::multiset<std::string> made;
  for (int k = 0; k < 3; ++k) {
    const ProgramRun r = runSprites({(dir / "lib").string(), "-o", (dir / "out").string(), "--json",
                                     "-q", "--shard", std::to_string(k) + "/3"});
    // A shard may hold no file of so small a library.
    EXPECT_TRUE(r.status == 0 || r.err.find("no video found") != std::string::npos) << r.err;
    for (size_t at = r.out.find("\"input\": \""); at != std::string::npos;
         at = r.out.find("\"input\": \"", at + 1)) {
      const size_t begin = at + 10;
      made.insert(r.out.substr(begin, r.out.find('"', begin) - begin));
    }
  }
  std::multiset<std::string> all;
  for (const auto& [relative, clip] : kVideos) all.insert((dir / "lib" / relative).string());
  EXPECT_EQ(made, all);

  const ProgramRun bad = runSprites({(dir / "lib").string(), "--shard", "3/3"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(bad.err.starts_with("gridwright-sprites: --shard wants K/N with 0 <= K < N"))
      << bad.err;
}

// The gridwright processes whose parent is `parent` (once they run the daemon, not while they
// are still the parent's copy before exec).
std::vector<pid_t> daemonsOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ppid ...: comm may hold spaces, so read from its closing parenthesis.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    pid_t ppid = 0;
    rest >> state >> ppid;
    std::string comm;
    std::getline(std::ifstream(entry.path() / "comm"), comm);
    if (ppid == parent && comm == "gridwright") {
      children.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return children;
}

TEST(SpritesLibrary, AnInterruptedRunLeavesNothingHalfMadeAndTheNextFinishesIt) {
  const fs::path dir = freshDir("library_interrupted");
  makeLibrary(dir / "lib");
  const fs::path out = dir / "out";
  // The daemon is frozen as soon as it starts, so the run cannot end before the signal comes.
  mosaickit::ChildProcess tool(GRIDWRIGHT_SPRITES_BIN,
                               {{(dir / "lib").string(), "-o", out.string(), "-q"}});
  std::vector<pid_t> daemon;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (daemon.empty() && std::chrono::steady_clock::now() < deadline)
    daemon = daemonsOf(tool.pid());
  ASSERT_EQ(daemon.size(), 1u);
  ::kill(daemon.front(), SIGSTOP);
  tool.kill(SIGTERM);
  std::optional<mosaickit::ExitStatus> status;
  while (!(status = tool.poll()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(status.has_value()) << "the tool did not end after SIGTERM";
  EXPECT_EQ(status->signal, SIGTERM) << status->describe();

  // Nothing half made: no temporary file, and each folder that is there is whole.
  for (const auto& [path, time] : treeOf(out)) {
    EXPECT_FALSE(path.ends_with(".partial")) << path;
    EXPECT_TRUE(fs::exists(out / fs::path(path).parent_path() / ".gridwright-sprites")) << path;
  }
  const ProgramRun again = runSprites({(dir / "lib").string(), "-o", out.string(), "-q", "--json"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(
      countOf(again.out, "\"status\": \"done\"") + countOf(again.out, "\"status\": \"up to date\""),
      4u)
      << again.out;
  for (const auto& [relative, clip] : kVideos) {
    EXPECT_EQ(readCues(out / outputOf(relative) / "thumbnails.vtt").size(), 1u) << relative;
  }
}

TEST(SpritesLibrary, NothingToDoIsStatusOne) {
  const fs::path dir = freshDir("library_empty");
  fs::create_directories(dir / "lib/sub");
  std::ofstream(dir / "lib/sub/readme.txt") << "no videos here";
  const ProgramRun r = runSprites({(dir / "lib").string(), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "gridwright-sprites: no video found in " + (dir / "lib").string() + "\n");

  // Two files bound for one folder: the second is not made over the first.
  fs::copy_file(libraryClip("library_h264.mp4"), dir / "lib/a.mp4");
  fs::copy_file(libraryClip("library_h264.ts"), dir / "lib/a.ts");
  const ProgramRun two = runSprites({(dir / "lib").string(), "-o", (dir / "out").string(), "-q"});
  EXPECT_EQ(two.status, 4);
  EXPECT_EQ(two.err, "gridwright-sprites: " + (dir / "lib/a.ts").string() + ": its output folder " +
                         (dir / "out/a").string() + " is that of " + (dir / "lib/a.mp4").string() +
                         "; give the two their own folders\n");
}

}  // namespace
