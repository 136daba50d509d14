#include "mosaickit/decoder_cache.h"

#include "mosaickit/annexb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
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

constexpr int invalidData = -1094995529;  // AVERROR_INVALIDDATA

DecoderKey keyOf(const Clip& clip) {
  return DecoderKey{clip.codec, clip.paramSets};
}

Bytes withLength(const Bytes& nal) {
  Bytes out;
  appendLengthPrefixed(out, nal);
  return out;
}

// What one decode call handed out: pictures by position, and the positions in arrival order.
struct Decoded {
  std::map<size_t, Picture> pictures;
  std::vector<size_t> arrival;
};

// Decodes the given access units of `units`, each at its index as position.
Decoded decodeAt(Decoder& decoder, const std::vector<Bytes>& units,
                 const std::vector<size_t>& positions) {
  std::vector<DecodeInput> inputs;
  for (size_t p : positions) inputs.push_back({p, units[p]});
  Decoded out;
  decoder.decode(inputs, [&](size_t position, Picture&& picture) {
    out.arrival.push_back(position);
    EXPECT_TRUE(out.pictures.emplace(position, std::move(picture)).second) << "twice " << position;
  });
  return out;
}

std::vector<size_t> allPositions(const Clip& clip) {
  std::vector<size_t> positions(clip.accessUnits.size());
  for (size_t i = 0; i < positions.size(); ++i) positions[i] = i;
  return positions;
}

// Decodes the given access units of `units`, expecting the call to fail with code decode and
// `message`; returns the positions whose pictures came out before the failure.
std::vector<size_t> failedDecode(Decoder& decoder, const std::vector<Bytes>& units,
                                 const std::vector<size_t>& positions, const std::string& message) {
  std::vector<DecodeInput> inputs;
  for (size_t p : positions) inputs.push_back({p, units[p]});
  std::vector<size_t> pictured;
  try {
    decoder.decode(inputs, [&](size_t position, Picture&&) { pictured.push_back(position); });
    ADD_FAILURE() << "decoded";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::decode);
    EXPECT_EQ(e.message(), message);
  }
  return pictured;
}

// The picture's planes packed without padding, as the ffmpeg command writes raw video.
Bytes packedPlanes(const AVFrame& frame) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  const int bytes = desc->comp[0].depth > 8 ? 2 : 1;
  Bytes out;
  for (int plane = 0; plane < 3; ++plane) {
    const int w = (plane == 0 ? frame.width : frame.width >> desc->log2_chroma_w) * bytes;
    const int h = plane == 0 ? frame.height : frame.height >> desc->log2_chroma_h;
    for (int y = 0; y < h; ++y) {
      const uint8_t* row = frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane];
      out.insert(out.end(), row, row + w);
    }
  }
  return out;
}

// --- DecoderKey -------------------------------------------------------------------------------

TEST(DecoderKey, EqualityAndHashFollowCodecAndExactBytesInOrder) {
  const Clip h264 = loadClip("h264_rgb_640x360");
  const DecoderKey base = keyOf(h264);
  DecoderKey copied{base.codec, {Bytes(base.paramSets[0]), Bytes(base.paramSets[1])}};
  DecoderKey swapped{base.codec, {base.paramSets[1], base.paramSets[0]}};
  DecoderKey otherCodec{Codec::h265, base.paramSets};
  DecoderKey byteChanged = base;
  byteChanged.paramSets[1].back() ^= 1;
  DecoderKey extraSet = base;
  extraSet.paramSets.push_back(base.paramSets[1]);
  DecoderKey joined{base.codec, {base.paramSets[0]}};
  joined.paramSets[0].insert(joined.paramSets[0].end(), base.paramSets[1].begin(),
                             base.paramSets[1].end());
  struct Case {
    const char* name;
    const DecoderKey& other;
    bool equal;
  };
  const Case cases[] = {
      {"separate copies", copied, true},  {"other order", swapped, false},
      {"other codec", otherCodec, false}, {"one byte changed", byteChanged, false},
      {"one set more", extraSet, false},  {"sets joined", joined, false}};
  const std::hash<DecoderKey> hash;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(base == c.other, c.equal);
    EXPECT_EQ(c.other == base, c.equal);
    if (c.equal) {
      EXPECT_EQ(hash(base), hash(c.other));
    }
  }
}

// --- Decoder ----------------------------------------------------------------------------------

TEST(Decoder, EveryAccessUnitGetsAPictureOfTheStreamsSize) {
  struct Case {
    const char* clip;
    int width, height;
  };
  const Case cases[] = {
      {"h264_rgb_1280x720", 1280, 720},     {"h264_rgb_1920x1080", 1920, 1080},
      {"h264_rgb_640x360", 640, 360},       {"h264_rgb_640x360_full", 640, 360},
      {"h265_rgb_640x360", 640, 360},       {"h265_rgb_640x360_main10", 640, 360},
      {"h264_crop_420", 160, 96},           {"h264_crop_444", 160, 96},
      {"h265_crop_422_main10", 160, 96},    {"h264_bframes", 176, 144},
      {"h265_bframes", 176, 144},           {"h264_bpyramid", 176, 144},
      {"h264_slices_640x360", 640, 360},    {"h265_slices_640x360", 640, 360},
      {"h264_noisy_1920x1080", 1920, 1080}, {"h265_noisy_1920x1080", 1920, 1080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const Clip clip = loadClip(c.clip);
    Decoder decoder(keyOf(clip));
    // Twice on one decoder: a finished decode leaves it clean for the next job.
    for (int round = 0; round < 2; ++round) {
      const Decoded decoded = decodeAt(decoder, clip.accessUnits, allPositions(clip));
      ASSERT_EQ(decoded.pictures.size(), clip.accessUnits.size());
      for (const auto& [position, picture] : decoded.pictures) {
        EXPECT_EQ(picture.width(), c.width) << position;
        EXPECT_EQ(picture.height(), c.height) << position;
      }
    }
  }
}

// Pictures come out in display order, each from its own access unit, and match the ffmpeg
// command's decode. A stream that signals no reorder depth (an H.264 VUI without bitstream
// restriction) must not lose the B-frames that arrive after the decoder has shown a later
// picture: the ffmpeg command probes the depth before decoding, the daemon cannot.
TEST(Decoder, ReorderedStreamsGiveEachAccessUnitItsOwnPicture) {
  struct Case {
    const char* clip;
    std::vector<size_t> positions;  // empty: every unit
    bool signalsDepth;
  };
  const std::vector<size_t> referencesOnly = {0, 1, 4, 7};  // the I- and P-frames
  const Case cases[] = {{"h264_bframes", {}, true},
                        {"h265_bframes", {}, true},
                        {"h264_bframes", referencesOnly, true},
                        {"h265_bframes", referencesOnly, true},
                        {"h264_bpyramid", {}, true},
                        {"h264_bpyramid", {}, false},
                        {"h264_bframes", {}, false}};
  for (const Case& c : cases) {
    Clip clip = loadClip(c.clip);
    const std::vector<size_t> positions = c.positions.empty() ? allPositions(clip) : c.positions;
    SCOPED_TRACE(std::string(c.clip) + " with " + std::to_string(positions.size()) +
                 " units, depth signalled: " + std::to_string(c.signalsDepth));
    if (!c.signalsDepth) {
      Bytes& sps = clip.paramSets[testing_support::spsIndex(clip.codec)];
      sps = testing_support::editSps(clip.codec, sps, SpsEdit::withoutRestriction());
    }
    const std::vector<int> display = testing_support::loadDisplayOrder(c.clip);
    const Bytes reference = testing_support::loadReferenceDecode(c.clip);
    ASSERT_EQ(display.size(), clip.accessUnits.size());
    Decoder decoder(keyOf(clip));
    const Decoded decoded = decodeAt(decoder, clip.accessUnits, positions);
    ASSERT_EQ(decoded.pictures.size(), positions.size());
    for (const auto& [position, picture] : decoded.pictures) {
      const Bytes planes = packedPlanes(picture.frame());
      const size_t at = static_cast<size_t>(display[position]) * planes.size();
      ASSERT_LE(at + planes.size(), reference.size());
      EXPECT_TRUE(std::equal(planes.begin(), planes.end(), reference.begin() + at))
          << "access unit " << position << " should show display frame " << display[position];
    }
    if (c.positions.empty()) {
      EXPECT_NE(decoded.arrival, positions) << "not reordered";
    }
  }
}

TEST(Decoder, RetriesAFailedAccessUnitOnceOnANewSession) {
  // The first unit brings in-band parameter sets of another stream, so the second unit, decoded
  // with them, fails; a new session starts again from the key's sets and decodes it. The first
  // unit's picture, still held back by the old session, is kept.
  const Clip clip = loadClip("h264_rgb_640x360");
  const Clip other = loadClip("h264_bframes");
  std::vector<Bytes> units = clip.accessUnits;
  units[0].clear();
  for (const Bytes& set : other.paramSets) {
    const Bytes prefixed = withLength(set);
    units[0].insert(units[0].end(), prefixed.begin(), prefixed.end());
  }
  units[0].insert(units[0].end(), other.accessUnits[0].begin(), other.accessUnits[0].end());
  Decoder decoder(keyOf(clip));
  const Decoded decoded = decodeAt(decoder, units, {0, 1, 2});
  ASSERT_EQ(decoded.pictures.size(), 3u);
  EXPECT_EQ(decoded.pictures.at(0).width(), 176);
  EXPECT_EQ(decoded.pictures.at(1).width(), 640);
  EXPECT_EQ(decoded.pictures.at(2).width(), 640);
}

TEST(Decoder, FailsWithTheLastAttemptsMessageAfterOneRetry) {
  enum class Fault { garbleSecondHalf, truncate, startWithPFrame };
  struct Case {
    const char* clip;
    Fault fault;
    std::vector<size_t> positions;
    std::string message;
    std::vector<size_t> pictured;  // positions whose pictures came out before the failure
  };
  const std::string refused = "avcodec_send_packet " + std::to_string(invalidData);
  const Case cases[] = {
      {"h264_rgb_640x360", Fault::garbleSecondHalf, {0, 1, 2}, refused + " (after retry)", {0}},
      {"h265_rgb_640x360", Fault::garbleSecondHalf, {0, 1, 2}, refused + " (after retry)", {0}},
      {"h264_rgb_640x360", Fault::truncate, {0, 1, 2}, refused + " (after retry)", {0}},
      {"h265_rgb_640x360_main10", Fault::truncate, {0, 1, 2}, refused + " (after retry)", {0}},
      {"h264_bframes",
       Fault::startWithPFrame,
       {1, 2},
       "decoder returned no image (after retry)",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " fault " + std::to_string(static_cast<int>(c.fault)));
    const Clip clip = loadClip(c.clip);
    std::vector<Bytes> units = clip.accessUnits;
    Bytes& unit = units[1];
    if (c.fault == Fault::garbleSecondHalf)
      std::fill(unit.begin() + unit.size() / 2, unit.end(), 0x55);
    if (c.fault == Fault::truncate) unit.resize(unit.size() / 2);
    Decoder decoder(keyOf(clip));
    EXPECT_EQ(failedDecode(decoder, units, c.positions, c.message), c.pictured);
  }
}

// The access unit without its last NAL unit (with these clips, the picture's last slice).
Bytes withoutLastNalUnit(const Bytes& unit) {
  std::vector<ByteView> nals;
  LengthPrefixedReader reader(unit);
  while (const std::optional<ByteView> nal = reader.next()) nals.push_back(*nal);
  Bytes out;
  for (size_t k = 0; k + 1 < nals.size(); ++k) appendLengthPrefixed(out, nals[k]);
  return out;
}

// A picture whose slices do not cover it must not pass for the stream's picture: the rest of
// it is whatever its buffer held. H.265 leaves that part as it was; H.264 conceals it and says
// so in the decode error flags.
TEST(Decoder, APictureItsSlicesDoNotCoverFailsItsUnit) {
  struct Case {
    const char* clip;
    size_t unit;
    std::string message;
  };
  const Case cases[] = {
      {"h265_slices_640x360", 0, "decoder returned an incomplete picture (after retry)"},
      {"h265_slices_640x360", 2, "decoder returned an incomplete picture (after retry)"},
      {"h264_slices_640x360", 2, "decoder returned no image (after retry)"},
      {"h264_slices_640x360", 0, "decode status 4 (after retry)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.clip) + " unit " + std::to_string(c.unit));
    Clip clip = loadClip(c.clip);
    clip.accessUnits[c.unit] = withoutLastNalUnit(clip.accessUnits[c.unit]);
    Decoder decoder(keyOf(clip));
    const std::vector<size_t> pictured =
        failedDecode(decoder, clip.accessUnits, allPositions(clip), c.message);
    EXPECT_EQ(std::ranges::count(pictured, c.unit), 0);
  }
}

// The daemon's limits end a decode at once, without the retry that a decoding fault gets: a
// new session could only fail the same way.
TEST(Decoder, LimitsRefuseWithoutARetry) {
  struct Case {
    const char* name;
    const char* clip;
    SpsEdit edit;
    uint64_t jobBytes, daemonBytes;
    ErrorCode code;
    std::string messageStart;
  };
  const uint64_t unlimited = MemoryBudget::unlimited;
  // Sixteen 176 x 144 pictures held for reordering take about 1 MB; two take a tenth of it.
  const Case cases[] = {
      {"held pictures over the job's budget", "h264_bframes",
       SpsEdit::size(176, 144).withReorder({15, 16}), 200000, unlimited, ErrorCode::decode,
       "decoded pictures need "},
      {"held pictures over the daemon's budget", "h264_bframes",
       SpsEdit::size(176, 144).withReorder({15, 16}), unlimited, 200000, ErrorCode::busy,
       "decoded pictures need "},
      {"a picture over the largest size", "h264_bframes", SpsEdit::size(16240, 16240), unlimited,
       unlimited, ErrorCode::decode, "pictures of 16240x16240 over the 67108864-sample limit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Clip clip = loadClip(c.clip);
    const Clip original = clip;
    Bytes& sps = clip.paramSets[testing_support::spsIndex(clip.codec)];
    sps = testing_support::editSps(clip.codec, sps, c.edit);
    MemoryBudget daemon(MemoryBudget::Scope::daemon, c.daemonBytes);
    auto job = std::make_shared<MemoryBudget>(MemoryBudget::Scope::job, c.jobBytes, &daemon);
    std::vector<DecodeInput> inputs;
    for (size_t p = 0; p < clip.accessUnits.size(); ++p) inputs.push_back({p, clip.accessUnits[p]});
    try {
      // An SPS in the first access unit, as a stream may carry it: the key's own is harmless.
      Decoder decoder(keyOf(original));
      Bytes first = withLength(sps);
      first.insert(first.end(), clip.accessUnits[0].begin(), clip.accessUnits[0].end());
      inputs[0].data = first;
      decoder.decode(
          inputs, [](size_t, Picture&&) {}, job);
      ADD_FAILURE() << "decoded";
    } catch (const LimitError& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_TRUE(e.message().starts_with(c.messageStart)) << e.message();
      EXPECT_FALSE(e.message().ends_with(" (after retry)")) << e.message();
    }
    EXPECT_EQ(job->used(), 0u) << "charges outlived the decoder";
    EXPECT_EQ(daemon.used(), 0u);
  }
}

TEST(Decoder, ExceptionsOfThePictureSinkPassThroughUnchanged) {
  const Clip clip = loadClip("h264_bframes");
  Decoder decoder(keyOf(clip));
  const std::vector<DecodeInput> inputs = {{0, clip.accessUnits[0]}, {1, clip.accessUnits[1]}};
  try {
    decoder.decode(inputs, [](size_t, Picture&&) {
      throw JobError(ErrorCode::internalError, "decoder output is not BGRA");
    });
    ADD_FAILURE() << "decoded";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::internalError);
    EXPECT_EQ(e.message(), "decoder output is not BGRA");
  }
}

// --- DecoderCache -----------------------------------------------------------------------------

// A pool on a clock the test moves by hand.
class DecoderCacheTest : public ::testing::Test {
 protected:
  DecoderCache makeCache(size_t cap) {
    return DecoderCache(cap, 120.0, [this] { return now; });
  }
  // Checks out decoders, as many as `count`, for `key`.
  static std::vector<std::unique_ptr<Decoder>> lend(DecoderCache& cache, const DecoderKey& key,
                                                    size_t count) {
    std::vector<std::unique_ptr<Decoder>> lent;
    for (size_t i = 0; i < count; ++i) lent.push_back(cache.checkout(key));
    return lent;
  }

  double now = 0;
  const DecoderKey keyA = keyOf(loadClip("h264_rgb_640x360"));
  const DecoderKey keyB = keyOf(loadClip("h264_rgb_1280x720"));
  const DecoderKey keyC = keyOf(loadClip("h265_rgb_640x360"));
};

TEST_F(DecoderCacheTest, LendsTheNewestIdleDecoderWithAnEqualKey) {
  DecoderCache cache = makeCache(48);
  auto lent = lend(cache, keyA, 2);
  now = 1;
  cache.checkin(std::move(lent[0]));
  now = 2;
  cache.checkin(std::move(lent[1]));
  EXPECT_EQ(cache.checkout(keyA)->lastUsed(), 2);
  EXPECT_EQ(cache.idleCount(), 1u);
}

TEST_F(DecoderCacheTest, KeysInAnotherOrderOrOfAnotherCodecGetDecodersOfTheirOwn) {
  DecoderCache cache = makeCache(48);
  now = 5;
  cache.checkin(cache.checkout(keyA));
  const DecoderKey swapped{keyA.codec, {keyA.paramSets[1], keyA.paramSets[0]}};
  const DecoderKey swappedH265{keyC.codec,
                               {keyC.paramSets[2], keyC.paramSets[1], keyC.paramSets[0]}};
  for (const DecoderKey* key : {&swapped, &keyC, &swappedH265}) {
    auto decoder = cache.checkout(*key);
    EXPECT_EQ(decoder->lastUsed(), 0);  // newly made
    EXPECT_EQ(decoder->key(), *key);
    cache.discard(std::move(decoder));
  }
  EXPECT_EQ(cache.idleCount(), 1u);
}

TEST_F(DecoderCacheTest, ExpiresOnlyDecodersIdleForLongerThanTheTimeout) {
  struct Case {
    const char* name;
    double at;
    bool sweepInstead;
    bool stillPooled;
  };
  const Case cases[] = {{"checkout at exactly the timeout", 1120, false, true},
                        {"sweep at exactly the timeout", 1120, true, true},
                        {"sweep just after", 1120.5, true, false},
                        {"checkout just after", 1120.5, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecoderCache cache = makeCache(48);
    now = 1000;
    cache.checkin(cache.checkout(keyA));
    now = c.at;
    if (c.sweepInstead) {
      cache.sweep();
      EXPECT_EQ(cache.idleCount(), c.stillPooled ? 1u : 0u);
    } else {
      EXPECT_EQ(cache.checkout(keyA)->lastUsed(), c.stillPooled ? 1000 : 0);
      EXPECT_EQ(cache.idleCount(), 0u);
    }
  }
}

TEST_F(DecoderCacheTest, CheckinTrimsTheOldestIdleDecodersToTheCapCountingLentOnes) {
  struct Case {
    size_t othersLent;
    size_t idleAfter;
  };
  for (const Case& c : {Case{0, 48}, Case{2, 46}}) {
    SCOPED_TRACE(c.othersLent);
    DecoderCache cache = makeCache(48);
    // 48 idle: the oldest with key B, the rest with key A.
    auto oldest = cache.checkout(keyB);
    auto rest = lend(cache, keyA, 47);
    now = 1;
    cache.checkin(std::move(oldest));
    now = 2;
    for (auto& decoder : rest) cache.checkin(std::move(decoder));
    ASSERT_EQ(cache.idleCount(), 48u);
    // One more lent, and perhaps others to other jobs, all newly made (key C is not idle).
    auto returning = cache.checkout(keyC);
    auto others = lend(cache, keyC, c.othersLent);
    now = 3;
    cache.checkin(std::move(returning));
    EXPECT_EQ(cache.idleCount(), c.idleAfter);
    EXPECT_EQ(cache.inUseCount(), c.othersLent);
    EXPECT_EQ(cache.checkout(keyB)->lastUsed(), 0) << "the oldest should have been closed";
    EXPECT_EQ(cache.checkout(keyC)->lastUsed(), 3) << "the one just returned stays";
  }
}

// Idle decoders also count by the memory their picture size keeps: past the idle budget the
// oldest go first, and a decoder too large for the budget alone does not stay at all.
TEST_F(DecoderCacheTest, CheckinTrimsTheOldestIdleDecodersToTheIdleBudget) {
  const Clip small = loadClip("h264_rgb_640x360");
  const Clip large = loadClip("h264_rgb_1280x720");
  auto decodeFirst = [](Decoder& decoder, const Clip& clip) {
    decodeAt(decoder, clip.accessUnits, {0});
    return decoder.idleBytes();
  };
  uint64_t smallBytes = 0, largeBytes = 0;
  {
    Decoder probeSmall(keyA), probeLarge(keyB);
    smallBytes = decodeFirst(probeSmall, small);
    largeBytes = decodeFirst(probeLarge, large);
  }
  ASSERT_GT(smallBytes, 0u);
  ASSERT_GT(largeBytes, 2 * smallBytes);

  DecoderCache cache(
      48, 120.0, [this] { return now; }, largeBytes + smallBytes);
  auto smalls = lend(cache, keyA, 3);
  for (auto& decoder : smalls) {
    decodeFirst(*decoder, small);
    now += 1;
    cache.checkin(std::move(decoder));
  }
  EXPECT_EQ(cache.idleCount(), 3u);
  auto big = cache.checkout(keyB);
  decodeFirst(*big, large);
  now = 10;
  cache.checkin(std::move(big));
  EXPECT_EQ(cache.idleCount(), 2u);  // the two oldest small ones closed
  EXPECT_EQ(cache.checkout(keyB)->lastUsed(), 10);
  EXPECT_EQ(cache.checkout(keyA)->lastUsed(), 3);

  DecoderCache tiny(
      48, 120.0, [this] { return now; }, largeBytes - 1);
  auto alone = tiny.checkout(keyB);
  decodeFirst(*alone, large);
  tiny.checkin(std::move(alone));
  EXPECT_EQ(tiny.idleCount(), 0u);
}

TEST_F(DecoderCacheTest, CapZeroClosesEveryReturnedDecoder) {
  DecoderCache cache = makeCache(0);
  for (int i = 0; i < 2; ++i) {
    auto decoder = cache.checkout(keyA);
    EXPECT_EQ(decoder->lastUsed(), 0);
    cache.checkin(std::move(decoder));
    EXPECT_EQ(cache.idleCount(), 0u);
    EXPECT_EQ(cache.inUseCount(), 0u);
  }
}

TEST_F(DecoderCacheTest, AFailedCreationLeavesThePoolAsItWas) {
  DecoderCache cache = makeCache(48);
  cache.checkin(cache.checkout(keyA));
  auto held = cache.checkout(keyB);
  DecoderKey garbled = keyA;
  garbled.paramSets[0].resize(3);
  try {
    cache.checkout(garbled);
    ADD_FAILURE() << "made a decoder";
  } catch (const JobError& e) {
    EXPECT_EQ(e.code(), ErrorCode::decode);
    EXPECT_EQ(e.message(), "bad parameter sets (status " + std::to_string(invalidData) + ")");
  }
  EXPECT_EQ(cache.inUseCount(), 1u);
  EXPECT_EQ(cache.idleCount(), 1u);
}

TEST_F(DecoderCacheTest, DiscardLowersTheLentCountAndLeavesIdleAlone) {
  DecoderCache cache = makeCache(48);
  cache.checkin(cache.checkout(keyA));
  cache.discard(cache.checkout(keyA));
  EXPECT_EQ(cache.inUseCount(), 0u);
  EXPECT_EQ(cache.idleCount(), 0u);  // the discarded one was the idle one
  cache.checkin(cache.checkout(keyA));
  cache.discard(cache.checkout(keyB));
  EXPECT_EQ(cache.inUseCount(), 0u);
  EXPECT_EQ(cache.idleCount(), 1u);
}

TEST_F(DecoderCacheTest, ASweepThatFindsNothingExpiredChangesNothing) {
  DecoderCache cache = makeCache(48);
  now = 10;
  cache.checkin(cache.checkout(keyA));
  cache.checkin(cache.checkout(keyB));
  now = 100;
  cache.sweep();
  EXPECT_EQ(cache.idleCount(), 2u);
  EXPECT_EQ(cache.checkout(keyA)->lastUsed(), 10);
}

TEST_F(DecoderCacheTest, PooledDecodersDecodeAgainForTheNextJob) {
  const Clip clip = loadClip("h264_bframes");
  DecoderCache cache = makeCache(48);
  for (int job = 0; job < 2; ++job) {
    auto decoder = cache.checkout(keyOf(clip));
    EXPECT_EQ(decodeAt(*decoder, clip.accessUnits, allPositions(clip)).pictures.size(),
              clip.accessUnits.size());
    cache.checkin(std::move(decoder));
  }
  EXPECT_EQ(cache.idleCount(), 1u);
}

}  // namespace
}  // namespace mosaickit
