// gridwright-sprites' formats end to end: HLS image playlists, DASH thumbnail tiles and BIF files
// beside the WebVTT track, written by the real tool and daemon from clips made with ffmpeg, read
// back here as a player reads them; the user's own HLS and DASH manifests that get the
// thumbnails; and the options around them.

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child.h"
#include "support/sprite_files.h"

namespace {

namespace fs = std::filesystem;

using namespace testing_support;

constexpr int kCellW = 160, kCellH = 90;

// The clip's seven keyframes, at 0, 2, ..., 12 s, as ffmpeg decodes them. Thumbnails every
// second fill one sheet of 4 x 2 and part of a second.
const RgbImage& evenKeyframes() {
  static const RgbImage strip = keyframeStrip(evenKeyframesClip(), 7, kCellW, kCellH);
  return strip;
}

// Decodes a JPEG held in memory by writing it out for the shared reader.
RgbImage jpegFromBytes(const std::string& bytes, const std::string& name) {
  const fs::path path = fs::path(::testing::TempDir()) / name;
  std::ofstream(path, std::ios::binary) << bytes;
  return readJpeg(path);
}

uint32_t u32At(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = v << 8 | static_cast<uint8_t>(bytes.at(at + static_cast<size_t>(i)));
  return v;
}

// A BIF file read from the layout Roku publishes, checking the layout as it goes.
struct BifImage {
  uint32_t timestamp;
  std::string jpeg;
};

std::vector<BifImage> readBif(const fs::path& path) {
  const std::string bytes = fileText(path);
  std::vector<BifImage> images;
  EXPECT_GE(bytes.size(), 72u);
  if (bytes.size() < 72) return images;
  EXPECT_EQ(bytes.substr(0, 8), std::string("\x89\x42\x49\x46\x0D\x0A\x1A\x0A", 8));
  EXPECT_EQ(u32At(bytes, 8), 0u);      // version
  EXPECT_EQ(u32At(bytes, 16), 1000u);  // timestamps in milliseconds
  EXPECT_EQ(bytes.substr(20, 44), std::string(44, '\0'));
  const uint32_t count = u32At(bytes, 12);
  EXPECT_EQ(u32At(bytes, 64 + count * 8), 0xFFFFFFFFu);
  EXPECT_EQ(u32At(bytes, 64 + count * 8 + 4), bytes.size());
  uint32_t expectedOffset = 64 + (count + 1) * 8;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = u32At(bytes, 64 + i * 8 + 4);
    const uint32_t next = u32At(bytes, 64 + (i + 1) * 8 + 4);
    EXPECT_EQ(offset, expectedOffset) << "image " << i;  // in order, no gaps
    if (offset > next || next > bytes.size()) break;
    images.push_back({u32At(bytes, 64 + i * 8), bytes.substr(offset, next - offset)});
    expectedOffset = next;
  }
  return images;
}

// The keyframe (0 to 6, at 2 s each) that a thumbnail standing from `start` seconds must show.
int keyframeAtOrBefore(double start) {
  return static_cast<int>(start / 2 + 1e-9);
}

void expectShows(const RgbImage& shown, int keyframe, const std::string& what) {
  SCOPED_TRACE(what);
  ASSERT_EQ(shown.width, kCellW);
  ASSERT_EQ(shown.height, kCellH);
  const Likeness best = mostLike(evenKeyframes(), shown);
  EXPECT_EQ(best.index, keyframe);
  EXPECT_GE(best.psnr, 20);
}

TEST(SpritesFormats, TilesAndBifImagesStandForEveryInterval) {
  const fs::path out = freshDir("formats_all");
  const ProgramRun r =
      runSprites({evenKeyframesClip().string(), "-o", out.string(), "--format", "vtt,hls,dash,bif",
                  "--interval", "1", "--grid", "4x2", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("\"files\": [\"sheet-001.jpg\", \"sheet-002.jpg\", \"thumbnails.bif\", "
                       "\"thumbnails.m3u8\", \"thumbnails.mpd\", \"thumbnails.vtt\"]"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"thumbnails\": 13, \"interval\": 1.000000"), std::string::npos) << r.out;

  // Both sheets have the one grid the tracks declare; thumbnail k is cell k % 8 of sheet k / 8.
  for (int k = 0; k < 13; ++k) {
    const RgbImage sheet = readJpeg(out / (k < 8 ? "sheet-001.jpg" : "sheet-002.jpg"));
    ASSERT_EQ(sheet.width, 4 * kCellW);
    ASSERT_EQ(sheet.height, 2 * kCellH);
    expectShows(sheet.crop(k % 4 * kCellW, k % 8 / 4 * kCellH, kCellW, kCellH),
                keyframeAtOrBefore(k), "cell of thumbnail " + std::to_string(k));
  }

  EXPECT_EQ(fileText(out / "thumbnails.m3u8"),
            "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:8\n#EXT-X-MEDIA-SEQUENCE:0\n"
            "#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-IMAGES-ONLY\n"
            "#EXTINF:8.000,\n#EXT-X-TILES:RESOLUTION=160x90,LAYOUT=4x2,DURATION=1.000\n"
            "sheet-001.jpg\n"
            "#EXTINF:5.000,\n#EXT-X-TILES:RESOLUTION=160x90,LAYOUT=4x2,DURATION=1.000\n"
            "sheet-002.jpg\n#EXT-X-ENDLIST\n");

  pugi::xml_document mpd;
  ASSERT_TRUE(mpd.load_file((out / "thumbnails.mpd").c_str()));
  EXPECT_STREQ(mpd.child("MPD").attribute("mediaPresentationDuration").value(), "PT13.000S");
  const pugi::xml_node set = mpd.child("MPD").child("Period").child("AdaptationSet");
  EXPECT_STREQ(set.attribute("contentType").value(), "image");
  EXPECT_STREQ(set.attribute("mimeType").value(), "image/jpeg");
  const pugi::xml_node segments = set.child("SegmentTemplate");
  EXPECT_STREQ(segments.attribute("media").value(), "sheet-$Number%03d$.jpg");
  EXPECT_EQ(segments.attribute("duration").as_ullong(),
            8 * segments.attribute("timescale").as_ullong());
  EXPECT_EQ(segments.attribute("startNumber").as_int(), 1);
  const pugi::xml_node representation = set.child("Representation");
  EXPECT_EQ(representation.attribute("width").as_int(), 4 * kCellW);
  EXPECT_EQ(representation.attribute("height").as_int(), 2 * kCellH);
  EXPECT_GT(representation.attribute("bandwidth").as_ullong(), 0u);
  const pugi::xml_node property = representation.child("EssentialProperty");
  EXPECT_STREQ(property.attribute("schemeIdUri").value(), "http://dashif.org/thumbnail_tile");
  EXPECT_STREQ(property.attribute("value").value(), "4x2");

  const std::vector<BifImage> images = readBif(out / "thumbnails.bif");
  ASSERT_EQ(images.size(), 13u);
  for (size_t k = 0; k < images.size(); ++k) {
    EXPECT_EQ(images[k].timestamp, k * 1000) << k;
    expectShows(jpegFromBytes(images[k].jpeg, "bif_image.jpg"), keyframeAtOrBefore(k),
                "BIF image " + std::to_string(k));
  }

  // The WebVTT track keeps one cue per keyframe shown, naming its first cell.
  const std::vector<Cue> cues = readCues(out / "thumbnails.vtt");
  ASSERT_EQ(cues.size(), 7u);
  for (size_t i = 0; i < cues.size(); ++i) {
    const size_t k = 2 * i;
    EXPECT_EQ(cues[i].start, vttTime(static_cast<double>(k))) << i;
    EXPECT_EQ(cues[i].end, vttTime(std::min(k + 2.0, 13.0))) << i;
    EXPECT_EQ(cues[i].sheet, k < 8 ? "sheet-001.jpg" : "sheet-002.jpg") << i;
    EXPECT_EQ(cues[i].x, static_cast<int>(k % 4) * kCellW) << i;
    EXPECT_EQ(cues[i].y, static_cast<int>(k % 8 / 4) * kCellH) << i;
  }
}

TEST(SpritesFormats, CountSpreadsEvenIntervalsOverTheVideo) {
  const fs::path out = freshDir("formats_count");
  const ProgramRun r = runSprites({evenKeyframesClip().string(), "-o", out.string(), "--format",
                                   "hls,bif", "--count", "5", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string playlist = fileText(out / "thumbnails.m3u8");
  EXPECT_NE(playlist.find("#EXTINF:13.000,\n#EXT-X-TILES:RESOLUTION=160x90,LAYOUT=5x1,"
                          "DURATION=2.600\nsheet-001.jpg\n"),
            std::string::npos)
      << playlist;
  const std::vector<BifImage> images = readBif(out / "thumbnails.bif");
  ASSERT_EQ(images.size(), 5u);
  for (size_t k = 0; k < images.size(); ++k) {
    EXPECT_EQ(images[k].timestamp, k * 2600) << k;
    expectShows(jpegFromBytes(images[k].jpeg, "bif_count.jpg"), keyframeAtOrBefore(k * 2.6),
                "BIF image " + std::to_string(k));
  }
  EXPECT_FALSE(fs::exists(out / "thumbnails.vtt"));
}

// `text` less the first occurrence of every piece from `begin` up to and including `end`.
std::string without(std::string text, const std::string& begin, const std::string& end) {
  const size_t from = text.find(begin);
  if (from == std::string::npos) return text;
  const size_t to = text.find(end, from);
  if (to == std::string::npos) return text;
  return text.erase(from, to + end.size() - from);
}

TEST(SpritesFormats, ThePackagesManifestsGainTheThumbnailsAndKeepTheRest) {
  const fs::path dir = freshDir("package_edit");
  packageWithFfmpeg(dir, evenKeyframesClip());
  ASSERT_FALSE(::testing::Test::HasFailure());
  const fs::path master = dir / "hls/master.m3u8", mpd = dir / "dash/video.mpd";
  const std::string masterBefore = fileText(master), mpdBefore = fileText(mpd);
  ASSERT_NE(masterBefore.find("#EXT-X-STREAM-INF:"), std::string::npos) << masterBefore;

  for (const char* interval : {"1", "2"}) {
    SCOPED_TRACE(std::string("interval ") + interval);
    const ProgramRun r = runSprites({evenKeyframesClip().string(), "-o", (dir / "thumbs").string(),
                                     "--interval", interval, "--grid", "4x2", "-q", "--hls-master",
                                     master.string(), "--dash-mpd", mpd.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    // Once, however often the run is made, and every other byte as it was.
    const std::string masterAfter = fileText(master);
    ASSERT_TRUE(masterAfter.starts_with(masterBefore)) << masterAfter;
    const std::string added = masterAfter.substr(masterBefore.size());
    EXPECT_TRUE(added.starts_with("#EXT-X-IMAGE-STREAM-INF:BANDWIDTH=")) << added;
    EXPECT_TRUE(
        added.ends_with(",RESOLUTION=160x90,CODECS=\"jpeg\","
                        "URI=\"../thumbs/thumbnails.m3u8\"\n"))
        << added;
    EXPECT_EQ(countOf(added, "\n"), 1u) << added;

    const std::string mpdAfter = fileText(mpd);
    EXPECT_EQ(countOf(mpdAfter, "<AdaptationSet"), 2u) << mpdAfter;
    EXPECT_NE(mpdAfter.find("media=\"../thumbs/sheet-$Number%03d$.jpg\""), std::string::npos)
        << mpdAfter;
    EXPECT_EQ(without(mpdAfter, "\n\t\t<AdaptationSet id=\"1\" contentType=\"image\"",
                      "</AdaptationSet>"),
              mpdBefore);
    EXPECT_TRUE(fs::exists(dir / "thumbs/thumbnails.m3u8"));
    EXPECT_FALSE(fs::exists(dir / "thumbs/thumbnails.mpd"));  // the MPD has the tiles
  }

  // A manifest that cannot take them fails the run before anything is made.
  const fs::path media = dir / "hls/video.m3u8";
  const std::string mediaBefore = fileText(media);
  const ProgramRun r = runSprites({evenKeyframesClip().string(), "-o", (dir / "other").string(),
                                   "-q", "--hls-master", media.string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "gridwright-sprites: " + media.string() +
                       ": it is a media playlist, not a master playlist\n");
  EXPECT_FALSE(fs::exists(dir / "other"));
  EXPECT_EQ(fileText(media), mediaBefore);

  fs::create_directories(dir / "two_periods");
  std::ofstream(dir / "two_periods/v.mpd")
      << "<?xml version=\"1.0\"?>\n<MPD><Period/><Period/></MPD>\n";
  const ProgramRun two = runSprites({evenKeyframesClip().string(), "-o", (dir / "other").string(),
                                     "-q", "--dash-mpd", (dir / "two_periods/v.mpd").string()});
  EXPECT_EQ(two.status, 1);
  EXPECT_TRUE(two.err.ends_with(": it has 2 Periods; thumbnails go into an MPD of one Period\n"))
      << two.err;
  EXPECT_FALSE(fs::exists(dir / "other"));
}

TEST(SpritesFormats, OptionsThatCannotWorkTogetherAreUsageErrors) {
  const std::string clip = evenKeyframesClip().string();
  struct Case {
    std::vector<std::string> args;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{"--format", "hls", "--keyframes"},
       "--keyframes makes thumbnails of uneven length, which only vtt can describe"},
      {{"--keyframes", "--dash-mpd", "x.mpd"},
       "--keyframes makes thumbnails of uneven length, which only vtt can describe"},
      {{"--format", "vtt,gif"}, "--format wants names from vtt, hls, dash and bif, not \"gif\""},
      {{"--format", ""}, "--format wants names from vtt, hls, dash and bif, not \"\""},
      // An explicit grid is taken as given; the default one fits.
      {{"--size", "1280x720", "--grid", "10x10"},
       "sheets of 10x10 thumbnails of 1280x720 would be 12800x7200 pixels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const fs::path out = freshDir("formats_usage");
    std::vector<std::string> args = {clip, "-o", out.string()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProgramRun r = runSprites(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.starts_with("gridwright-sprites: " + c.line)) << r.err;
    EXPECT_FALSE(fs::exists(out));
  }
}

TEST(SpritesFormats, TheDefaultGridFitsTheCanvas) {
  const fs::path out = freshDir("default_grid");
  const ProgramRun r = runSprites(
      {evenKeyframesClip().string(), "-o", out.string(), "--size", "1280x720", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"grid\": {\"columns\": 6, \"rows\": 10}"), std::string::npos) << r.out;
  const RgbImage sheet = readJpeg(out / "sheet-001.jpg");
  EXPECT_EQ(sheet.width, 2 * 1280);  // two thumbnails, at 0 and 10 s
  EXPECT_EQ(sheet.height, 720);
}

TEST(SpritesFormats, TheStreamIsTheOneAPlayerShows) {
  // A small stream first and a large one second, with no stream marked default (MPEG-TS marks
  // none): the large one, as the ffmpeg command picks.
  const fs::path clip = ffmpegClip(
      "two_streams.ts",
      "-f lavfi -i testsrc2=s=320x240:r=25:d=3 -f lavfi -i testsrc=s=1280x720:r=25:d=3 -map 0 "
      "-map 1 -c:v libx264 -preset ultrafast");
  const ProgramRun r =
      runSprites({clip.string(), "-o", freshDir("two_streams").string(), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"video\": {\"width\": 1280, \"height\": 720"), std::string::npos) << r.out;
}

TEST(SpritesFormats, TheMediaLibrariesSpeakOnlyWhenAsked) {
  // A transport stream with bytes flipped all through it: libavcodec, probing it, has much to
  // say; the tool's own line is what the user gets.
  const fs::path damaged = spriteClipsDir() / "damaged.ts";
  if (!fs::exists(damaged)) {
    std::string bytes = fileText(ffmpegClip(
        "to_damage.ts", "-f lavfi -i testsrc2=s=320x180:r=25:d=4 -c:v libx264 -preset ultrafast"));
    for (size_t at = 1000; at < bytes.size(); at += 997) bytes[at] = static_cast<char>(~bytes[at]);
    std::ofstream(damaged.string() + ".partial", std::ios::binary) << bytes;
    fs::rename(damaged.string() + ".partial", damaged);
  }
  const ProgramRun quiet = runSprites({damaged.string(), "-o", freshDir("damaged").string(), "-q"});
  EXPECT_EQ(std::count(quiet.err.begin(), quiet.err.end(), '\n'), 1) << quiet.err;
  EXPECT_TRUE(quiet.err.starts_with("gridwright-sprites: ")) << quiet.err;
  const ProgramRun verbose =
      runSprites({damaged.string(), "-o", freshDir("damaged").string(), "-q", "--verbose"});
  EXPECT_GT(std::count(verbose.err.begin(), verbose.err.end(), '\n'), 1) << verbose.err;
  EXPECT_EQ(verbose.status, quiet.status);
}

}  // namespace
