// Jobs over real clips from access units to JPEG grids: through the real daemon over pipes for
// what the parent sees (the JPEGs are decoded again and their cells checked), and in process
// where the state of the decoder pool matters.

#include <gtest/gtest.h>
#include <turbojpeg.h>

extern "C" {
#include <libavutil/frame.h>
}

#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "mosaickit/compositor.h"
#include "mosaickit/decoder_cache.h"
#include "mosaickit/media.h"
#include "mosaickit/server.h"
#include "support/child.h"
#include "support/clips.h"

namespace mosaickit {
namespace {

using testing_support::Clip;
using testing_support::loadClip;

// A decoded JPEG as 8-bit RGB.
struct RGBImage {
  int width = 0, height = 0;
  Bytes rgb;

  std::array<int, 3> at(int x, int y) const {
    const uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    return {p[0], p[1], p[2]};
  }
};

RGBImage decodeJPEG(const Bytes& jpeg) {
  std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  RGBImage image;
  int subsampling = 0, colorspace = 0;
  EXPECT_EQ(tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &image.width, &image.height,
                                &subsampling, &colorspace),
            0);
  image.rgb.resize(static_cast<size_t>(image.width) * image.height * 3);
  EXPECT_EQ(tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), image.rgb.data(), image.width, 0,
                          image.height, TJPF_RGB, 0),
            0);
  return image;
}

// Colours within JPEG's tolerance of each other.
void expectColour(const RGBImage& image, int x, int y, std::array<int, 3> want,
                  const std::string& what) {
  const std::array<int, 3> got = image.at(x, y);
  for (int c = 0; c < 3; ++c) {
    EXPECT_NEAR(got[c], want[c], 12) << what << " channel " << c << " at " << x << "," << y;
  }
}

constexpr std::array<int, 3> kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kBlack{0, 0, 0};

Job jobFor(const Clip& clip, std::vector<Level> levels) {
  Job job;
  job.codec = static_cast<uint8_t>(clip.codec);
  job.paramSets = clip.paramSets;
  job.fitW = 64;
  job.fitH = 36;
  job.padX = 4;
  job.padY = 2;
  job.cellW = 72;
  job.cellH = 40;
  job.quality = 2;
  job.frames = clip.accessUnits;
  job.levels = std::move(levels);
  return job;
}

// Runs jobs through one daemon, one at a time, and checks that it ends cleanly and silently.
class DaemonRun {
 public:
  DaemonRun() { daemon_.readHello(); }
  ~DaemonRun() {
    daemon_.closeInput();
    EXPECT_EQ(daemon_.readFrame(), std::nullopt);
    EXPECT_EQ(daemon_.wait(), 0);
    EXPECT_EQ(daemon_.errorText(), "");
  }

  std::variant<JobResult, JobError> run(const Job& job) {
    daemon_.send(testing_support::jobFrame(++reqID_, job));
    const Frame reply = daemon_.readFrame().value();
    EXPECT_EQ(reply.reqID, reqID_);
    if (reply.type == static_cast<uint8_t>(FrameType::result)) {
      return JobResult::parse(reply.payload);
    }
    return JobError::parse(reply.payload);
  }

  JobResult result(const Job& job) {
    auto outcome = run(job);
    if (auto* error = std::get_if<JobError>(&outcome)) {
      ADD_FAILURE() << "job failed: " << error->message();
      return {};
    }
    return std::get<JobResult>(outcome);
  }

 private:
  testing_support::Daemon daemon_;
  uint32_t reqID_ = 0;
};

TEST(Jobs, CellsShowTheirFramesInEveryCodec) {
  DaemonRun daemon;
  for (const char* name : {"h264_rgb_640x360", "h264_rgb_1280x720", "h265_rgb_640x360",
                           "h265_rgb_640x360_main10", "h264_rgb_640x360_full"}) {
    SCOPED_TRACE(name);
    // Row 0: blue, red, black; row 1: green, black, blue again.
    const Job job = jobFor(loadClip(name), {Level{3, 2, {2, 0, blackCell, 1, blackCell, 2}}});
    const JobResult result = daemon.result(job);
    ASSERT_EQ(result.jpegs.size(), 1u);
    const RGBImage sheet = decodeJPEG(result.jpegs[0]);
    ASSERT_EQ(sheet.width, 3 * 72);
    ASSERT_EQ(sheet.height, 2 * 40);
    const std::array<std::array<int, 3>, 6> want = {kBlue, kRed, kBlack, kGreen, kBlack, kBlue};
    for (int cell = 0; cell < 6; ++cell) {
      const int left = (cell % 3) * 72, top = (cell / 3) * 40;
      expectColour(sheet, left + 4 + 32, top + 2 + 18, want[cell], "centre");
      expectColour(sheet, left + 4 + 2, top + 2 + 2, want[cell], "near the top-left corner");
      expectColour(sheet, left + 1, top + 1, kBlack, "pad");
      expectColour(sheet, left + 70, top + 39, kBlack, "spare room right and below");
    }
  }
}

TEST(Jobs, LevelsComeBackInOrderOfCanvasSize) {
  DaemonRun daemon;
  const Job job =
      jobFor(loadClip("h265_rgb_640x360"),
             {Level{1, 1, {1}}, Level{2, 3, {1, 1, 0, 0, 2, 2}}, Level{3, 1, {0, 1, 2}}});
  const JobResult result = daemon.result(job);
  ASSERT_EQ(result.jpegs.size(), 3u);
  const std::array<std::array<int, 2>, 3> sizes = {{{72, 40}, {144, 120}, {216, 40}}};
  const std::array<std::array<int, 3>, 3> firstCell = {kGreen, kGreen, kRed};
  for (size_t level = 0; level < 3; ++level) {
    const RGBImage sheet = decodeJPEG(result.jpegs[level]);
    EXPECT_EQ(sheet.width, sizes[level][0]);
    EXPECT_EQ(sheet.height, sizes[level][1]);
    expectColour(sheet, 36, 20, firstCell[level], "first cell");
  }
}

TEST(Jobs, CorruptFramesFailTheJobOnlyWhenShown) {
  DaemonRun daemon;
  Job job = jobFor(loadClip("h264_rgb_640x360"), {Level{1, 1, {0}}});
  Bytes& corrupt = job.frames[2];
  for (size_t k = 8; k < corrupt.size(); ++k) corrupt[k] = static_cast<uint8_t>(k * 37);
  expectColour(decodeJPEG(daemon.result(job).jpegs.at(0)), 36, 20, kRed, "cell");

  job.levels = {Level{3, 1, {0, 1, 2}}};
  const auto outcome = daemon.run(job);
  ASSERT_TRUE(std::holds_alternative<JobError>(outcome));
  const JobError& error = std::get<JobError>(outcome);
  EXPECT_EQ(error.code(), ErrorCode::decode);
  EXPECT_TRUE(error.message().ends_with(" (after retry)")) << error.message();
}

class Pipeline : public ::testing::Test {
 protected:
  DecoderCache cache{48, 120.0};
  JobRunner runner{cache};
};

TEST_F(Pipeline, JobsOfOneStreamShareOnePooledDecoder) {
  const Job job = jobFor(loadClip("h264_rgb_640x360"), {Level{3, 1, {0, 1, 2}}});
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(runner.run(job).jpegs.size(), 1u);
    EXPECT_EQ(cache.idleCount(), 1u);  // the same decoder went out and came back
    EXPECT_EQ(cache.inUseCount(), 0u);
  }
  runner.run(jobFor(loadClip("h265_rgb_640x360"), {Level{1, 1, {0}}}));
  EXPECT_EQ(cache.idleCount(), 2u);
}

TEST_F(Pipeline, BlackLevelsDecodeNothing) {
  Job job = jobFor(loadClip("h264_rgb_640x360"),
                   {Level{2, 2, std::vector<uint16_t>(4, blackCell)}, Level{1, 1, {blackCell}}});
  job.frames.clear();
  const JobResult result = runner.run(job);
  ASSERT_EQ(result.jpegs.size(), 2u);
  const RGBImage sheet = decodeJPEG(result.jpegs[0]);
  EXPECT_EQ(sheet.width, 144);
  EXPECT_EQ(sheet.height, 80);
  expectColour(sheet, 100, 60, kBlack, "black cell");
  EXPECT_EQ(cache.idleCount(), 0u);
  EXPECT_EQ(cache.inUseCount(), 0u);
}

TEST_F(Pipeline, ACorruptFrameFailsTheJobAndItsDecoderIsDropped) {
  const Clip clip = loadClip("h264_rgb_640x360");
  runner.run(jobFor(clip, {Level{1, 1, {0}}}));  // leaves one idle decoder for this key
  ASSERT_EQ(cache.idleCount(), 1u);

  Job job = jobFor(clip, {Level{2, 1, {0, 1}}});
  Bytes& corrupt = job.frames[1];
  for (size_t k = 8; k < corrupt.size(); ++k) corrupt[k] = static_cast<uint8_t>(k * 37);
  try {
    runner.run(job);
    FAIL() << "the corrupt frame decoded";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::decode);
    EXPECT_TRUE(e.message().ends_with(" (after retry)")) << e.message();
  }
  EXPECT_EQ(cache.idleCount(), 0u);  // borrowed, failed, discarded
  EXPECT_EQ(cache.inUseCount(), 0u);
}

TEST_F(Pipeline, BadParameterSetsAndInvalidJobsFailBeforeDecoding) {
  Job garbled = jobFor(loadClip("h264_rgb_640x360"), {Level{1, 1, {0}}});
  std::fill(garbled.paramSets[0].begin() + 1, garbled.paramSets[0].end(), 0);
  try {
    runner.run(garbled);
    FAIL() << "garbled parameter sets were accepted";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::decode);
    EXPECT_TRUE(e.message().starts_with("bad parameter sets (status -")) << e.message();
  }

  Job invalid = jobFor(loadClip("h264_rgb_640x360"), {Level{1, 1, {0}}});
  invalid.quality = 40;
  try {
    runner.run(invalid);
    FAIL() << "an invalid job ran";
  } catch (const JobError& e) {
    EXPECT_EQ(e, JobError(ErrorCode::badRequest, "quality 40"));
  }
  EXPECT_EQ(cache.idleCount(), 0u);
  EXPECT_EQ(cache.inUseCount(), 0u);
}

// The result frame is counted as its JPEGs are made: a result that fits exactly goes out, one
// byte less of room fails the job at the level that would pass the limit, before any later one.
TEST(Limits, TheResultFrameStopsAtTheLevelThatWouldPassItsLimit) {
  DecoderCache cache(48, 120.0);
  const Job job = jobFor(loadClip("h265_rgb_640x360"),
                         {Level{1, 1, {0}}, Level{3, 1, {0, 1, 2}}, Level{2, 1, {2, 1}}});
  const uint64_t exact = JobRunner(cache).run(job).encode().size() + 5;
  EXPECT_EQ(JobRunner(cache, {.maxResultFrame = exact}).run(job).jpegs.size(), 3u);
  try {
    JobRunner(cache, {.maxResultFrame = exact - 1}).run(job);
    ADD_FAILURE() << "a result over the limit";
  } catch (const JobError& e) {
    EXPECT_EQ(
        e, JobError(ErrorCode::badRequest, "level 2: result frame needs " + std::to_string(exact) +
                                               " bytes, over " + std::to_string(exact - 1)));
  }
  try {
    JobRunner(cache, {.maxResultFrame = 100}).run(job);
    ADD_FAILURE() << "a result over the limit";
  } catch (const JobError& e) {
    EXPECT_TRUE(e.message().starts_with("level 0: result frame needs ")) << e.message();
  }
  EXPECT_EQ(cache.inUseCount(), 0u);
}

// What a job's layout fixes (its scaled pictures and its largest canvas, with the encoder's
// work) is held from the start: a job that cannot have it fails before it borrows a decoder.
// Its decoded pictures come on top.
TEST(Limits, ALayoutOverABudgetFailsBeforeDecoding) {
  // 3 scaled pictures of 64 x 36, and a 216 x 40 canvas counted one and a half times.
  const uint64_t layout = 3 * 64 * 36 * 4 + 216 * 40 * 4 * 3 / 2;
  const uint64_t unlimited = MemoryBudget::unlimited;
  const std::string over = " bytes, over " + std::to_string(layout - 1);
  struct Case {
    uint64_t job, daemon;
    std::optional<JobError> error;  // the message's start
  };
  const Case cases[] = {
      {unlimited, unlimited, std::nullopt},
      {layout - 1, unlimited,
       JobError(ErrorCode::badRequest, "scaled pictures and canvas need " + std::to_string(layout) +
                                           over + " for one job")},
      {unlimited, layout - 1,
       JobError(ErrorCode::busy, "scaled pictures and canvas need " + std::to_string(layout) +
                                     over + " for all jobs")},
      {layout, unlimited, JobError(ErrorCode::decode, "decoded pictures need ")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.job) + " " + std::to_string(c.daemon));
    DecoderCache cache(48, 120.0);
    MemoryBudget daemon(MemoryBudget::Scope::daemon, c.daemon);
    const JobRunner runner(cache, {.daemonMemory = &daemon, .jobMemory = c.job});
    const Job job = jobFor(loadClip("h264_rgb_640x360"), {Level{3, 1, {0, 1, 2}}});
    try {
      runner.run(job);
      EXPECT_FALSE(c.error) << "ran";
    } catch (const JobError& e) {
      ASSERT_TRUE(c.error) << e.message();
      EXPECT_EQ(e.code(), c.error->code());
      EXPECT_TRUE(e.message().starts_with(c.error->message())) << e.message();
    }
    EXPECT_EQ(daemon.used(), 0u);
    EXPECT_EQ(cache.inUseCount(), 0u);
  }
}

// Intra-only runs skip the in-loop filters: the full-size pictures differ (the skip takes
// effect), but at thumbnail size they must not tell (on these clips the cells differ by 62 to
// 68 dB PSNR, far below one level of any channel).
TEST(LoopFilter, SkippingItDoesNotShowAtThumbnailSize) {
  for (const char* name : {"h264_noisy_1920x1080", "h265_noisy_1920x1080"}) {
    SCOPED_TRACE(name);
    const Clip clip = loadClip(name);
    std::vector<BGRAImage> filtered, unfiltered;
    std::vector<Bytes> filteredLuma, unfilteredLuma;
    for (bool skip : {false, true}) {
      Session session(makeFormat(clip.codec, clip.paramSets));
      session.setIntraOnly(skip);
      std::vector<BGRAImage>& out = skip ? unfiltered : filtered;
      std::vector<Bytes>& luma = skip ? unfilteredLuma : filteredLuma;
      auto take = [&] {
        while (auto picture = session.receive()) {
          out.push_back(Compositor::scale(picture->picture, 160, 90));
          const AVFrame& frame = picture->picture.frame();
          luma.emplace_back(frame.data[0], frame.data[0] + frame.linesize[0] * frame.height);
        }
      };
      for (size_t k = 0; k < clip.accessUnits.size(); ++k) {
        session.send(clip.accessUnits[k], static_cast<int64_t>(k));
        take();
      }
      session.sendEnd();
      take();
    }
    ASSERT_EQ(filtered.size(), 3u);
    ASSERT_EQ(unfiltered.size(), 3u);
    for (size_t k = 0; k < 3; ++k) EXPECT_NE(filteredLuma[k], unfilteredLuma[k]) << k;
    for (size_t k = 0; k < 3; ++k) {
      double squared = 0;
      const Bytes& a = filtered[k].pixels();
      const Bytes& b = unfiltered[k].pixels();
      for (size_t i = 0; i < a.size(); ++i) {
        if (i % 4 == 3) continue;  // alpha
        squared += (a[i] - b[i]) * (a[i] - b[i]);
      }
      const double mse = squared / (a.size() / 4 * 3);
      const double psnr = mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
      EXPECT_GE(psnr, 60.0) << "picture " << k;
    }
  }
}

TEST(Timings, SaturateInsteadOfWrapping) {
  struct Case {
    uint64_t nanos;
    uint32_t micros;
  };
  const std::vector<Case> cases = {
      {0, 0},
      {999, 0},
      {1999, 1},
      {4294967295000ull, 4294967295u},
      {4294967296000ull, 4294967295u},
      {UINT64_MAX, 4294967295u},
  };
  for (const Case& c : cases) EXPECT_EQ(saturatingMicros(c.nanos), c.micros) << c.nanos;
}

}  // namespace
}  // namespace mosaickit
