#include "support/sprite_files.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>

#include "mosaickit/turbojpeg_handle.h"

namespace testing_support {

namespace fs = std::filesystem;

fs::path spriteClipsDir() {
  return GRIDWRIGHT_SPRITE_CLIPS_DIR;
}

namespace {

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

fs::path partialName(const fs::path& path) {
  return path.string() + "." + std::to_string(::getpid()) + ".partial";
}

}  // namespace

fs::path ffmpegClip(const std::string& name, const std::string& args) {
  const fs::path path = spriteClipsDir() / name;
  if (fs::exists(path)) return path;
  fs::create_directories(spriteClipsDir());
  static const std::map<std::string, std::string> muxers = {
      {".mp4", "mp4"}, {".mov", "mov"},   {".ts", "mpegts"}, {".mkv", "matroska"},
      {".wav", "wav"}, {".h264", "h264"}, {".h265", "hevc"}};
  const fs::path partial = partialName(path);
  const std::string command = "ffmpeg -hide_banner -nostdin -loglevel error -y -threads 2 " + args +
                              " -f " + muxers.at(path.extension().string()) + " '" +
                              partial.string() + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  fs::rename(partial, path);
  return path;
}

fs::path evenKeyframesClip() {
  return ffmpegClip("even_keyframes.mp4",
                    "-f lavfi -i testsrc2=s=320x180:r=25:d=13 -c:v libx264 -preset ultrafast "
                    "-g 50 -keyint_min 50 -sc_threshold 0");
}

void packageWithFfmpeg(const fs::path& dir, const fs::path& clip) {
  fs::create_directories(dir / "hls");
  fs::create_directories(dir / "dash");
  const std::string in =
      "ffmpeg -hide_banner -nostdin -loglevel error -y -i '" + clip.string() + "' -c copy ";
  const std::string hls = in +
                          "-f hls -hls_segment_type fmp4 -hls_playlist_type vod -hls_time 4 "
                          "-master_pl_name master.m3u8 '" +
                          (dir / "hls/video.m3u8").string() + "'";
  const std::string dash =
      in + "-f dash -seg_duration 4 '" + (dir / "dash/video.mpd").string() + "'";
  EXPECT_EQ(std::system(hls.c_str()), 0) << hls;
  EXPECT_EQ(std::system(dash.c_str()), 0) << dash;
}

ProgramRun runSprites(std::vector<std::string> args) {
  return runProgram(GRIDWRIGHT_SPRITES_BIN, std::move(args));
}

std::string fileText(const fs::path& path) {
  return readAll(path);
}

size_t countOf(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

fs::path freshDir(const std::string& name) {
  const fs::path dir = fs::path(::testing::TempDir()) / "sprites_test" / name;
  fs::remove_all(dir);
  return dir;
}

std::vector<std::string> filesIn(const fs::path& dir) {
  std::vector<std::string> names;
  if (!fs::exists(dir)) return names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::array<uint8_t, 3> RgbImage::at(int x, int y) const {
  const uint8_t* p = pixels.data() + (static_cast<size_t>(y) * width + x) * 3;
  return {p[0], p[1], p[2]};
}

RgbImage RgbImage::crop(int x, int y, int w, int h) const {
  RgbImage part{w, h, {}};
  for (int row = y; row < y + h; ++row) {
    const auto* from = pixels.data() + (static_cast<size_t>(row) * width + x) * 3;
    part.pixels.insert(part.pixels.end(), from, from + static_cast<size_t>(w) * 3);
  }
  return part;
}

RgbImage readJpeg(const fs::path& path) {
  const std::string bytes = readAll(path);
  const mosaickit::TjHandle handle(tjInitDecompress());
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  int w = 0, h = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(handle.get(), data, bytes.size(), &w, &h, &subsampling, &colourspace) !=
      0) {
    ADD_FAILURE() << "unreadable JPEG " << path;
    return {};
  }
  RgbImage image{w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  if (tjDecompress2(handle.get(), data, bytes.size(), image.pixels.data(), w, 0, h, TJPF_RGB,
                    TJFLAG_ACCURATEDCT) != 0) {
    ADD_FAILURE() << "undecodable JPEG " << path;
    return {};
  }
  return image;
}

RgbImage ffmpegFrame(const std::string& args, int width, int height) {
  const std::string command = "ffmpeg -hide_banner -nostdin -loglevel error " + args +
                              " -frames:v 1 -f rawvideo -pix_fmt rgb24 -";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  RgbImage image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3)};
  const size_t got = pipe ? std::fread(image.pixels.data(), 1, image.pixels.size(), pipe.get()) : 0;
  if (got != image.pixels.size()) {
    ADD_FAILURE() << "no " << width << "x" << height << " frame from: " << command;
    return {};
  }
  return image;
}

RgbImage keyframeStrip(const fs::path& clip, int keyframes, int cellW, int cellH) {
  return ffmpegFrame(
      "-i '" + clip.string() + "' -vf 'select=eq(pict_type\\,I),scale=" + std::to_string(cellW) +
          ":" + std::to_string(cellH) + ":flags=area,tile=" + std::to_string(keyframes) + "x1'",
      keyframes * cellW, cellH);
}

Likeness mostLike(const RgbImage& strip, const RgbImage& shown) {
  Likeness best;
  if (shown.width <= 0) return best;
  for (int m = 0; m < strip.width / shown.width; ++m) {
    const double p = psnr(strip.crop(m * shown.width, 0, shown.width, shown.height), shown);
    if (best.index < 0 || p > best.psnr) best = {m, p};
  }
  return best;
}

double psnr(const RgbImage& a, const RgbImage& b) {
  double squares = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) {
    const double d = double(a.pixels[i]) - double(b.pixels[i]);
    squares += d * d;
  }
  const double mean = squares / static_cast<double>(std::max<size_t>(a.pixels.size(), 1));
  return mean == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mean);
}

double meanSaturation(const RgbImage& image) {
  double sum = 0;
  for (size_t i = 0; i + 2 < image.pixels.size(); i += 3) {
    const auto [lo, hi] = std::minmax({image.pixels[i], image.pixels[i + 1], image.pixels[i + 2]});
    sum += hi - lo;
  }
  return sum / static_cast<double>(std::max<size_t>(image.pixels.size() / 3, 1));
}

double meanLuma(const RgbImage& image) {
  double sum = 0;
  for (size_t i = 0; i + 2 < image.pixels.size(); i += 3) {
    sum += 0.2126 * image.pixels[i] + 0.7152 * image.pixels[i + 1] + 0.0722 * image.pixels[i + 2];
  }
  return sum / static_cast<double>(std::max<size_t>(image.pixels.size() / 3, 1));
}

std::vector<Cue> readCues(const fs::path& vtt) {
  const std::string text = readAll(vtt);
  EXPECT_TRUE(text.starts_with("WEBVTT\n")) << text;
  const std::regex cue(
      R"((\d\d:\d\d:\d\d\.\d\d\d) --> (\d\d:\d\d:\d\d\.\d\d\d)\n([^#\n]+)#xywh=(\d+),(\d+),(\d+),(\d+)\n)");
  std::vector<Cue> cues;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), cue); it != std::sregex_iterator();
       ++it) {
    const std::smatch& m = *it;
    cues.push_back(
        {m[1], m[2], m[3], std::stoi(m[4]), std::stoi(m[5]), std::stoi(m[6]), std::stoi(m[7])});
  }
  return cues;
}

std::string vttTime(double seconds) {
  char text[32];
  const long ms = std::lround(seconds * 1000);
  std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%03ld", ms / 3600000, ms / 60000 % 60,
                ms / 1000 % 60, ms % 1000);
  return text;
}

}  // namespace testing_support
