#include "mosaickit/annexb.h"

#include <gtest/gtest.h>

#include "support/clips.h"

namespace mosaickit {
namespace {

Bytes prefixed(std::initializer_list<Bytes> nals) {
  Bytes sample;
  for (const Bytes& nal : nals) appendLengthPrefixed(sample, nal);
  return sample;
}

TEST(AnnexB, SplitsNalUnitsOnThreeAndFourByteStartCodes) {
  const Bytes stream = {0xAA, 0, 0, 1, 0x67, 1, 2, 0, 0,    0, 1,
                        0x68, 3, 0, 0, 1,    0, 0, 1, 0x65, 0, 0};
  const std::vector<ByteView> nals = splitNalUnits(stream);
  ASSERT_EQ(nals.size(), 3u);  // bytes before the first start code and empty units are dropped
  EXPECT_EQ(Bytes(nals[0].begin(), nals[0].end()), (Bytes{0x67, 1, 2}));
  EXPECT_EQ(Bytes(nals[1].begin(), nals[1].end()), (Bytes{0x68, 3}));
  EXPECT_EQ(Bytes(nals[2].begin(), nals[2].end()), (Bytes{0x65}));
  EXPECT_TRUE(splitNalUnits(Bytes{1, 2, 3}).empty());
}

TEST(AnnexB, GroupsAccessUnitsWithoutDelimiters) {
  // H.264: SPS, PPS, an IDR picture of two slices, SEI, a P picture, a repeated SPS and PPS,
  // then a P picture whose slice starts with first_mb_in_slice != 0 (a continuation).
  const Bytes sps{0x67, 0x42}, pps{0x68, 0xCE}, sei{0x06, 0x05};
  const Bytes idrFirst{0x65, 0x88}, idrNext{0x65, 0x40}, pFirst{0x41, 0x9A}, pNext{0x41, 0x20};
  Bytes stream;
  for (const Bytes& nal : {sps, pps, idrFirst, idrNext, sei, pFirst, sps, pps, pFirst, pNext}) {
    stream.insert(stream.end(), {0, 0, 0, 1});
    stream.insert(stream.end(), nal.begin(), nal.end());
  }
  const AnnexBStream split = splitAnnexB(Codec::h264, stream);
  EXPECT_EQ(split.paramSets, (std::vector<Bytes>{sps, pps}));
  ASSERT_EQ(split.accessUnits.size(), 3u);
  EXPECT_EQ(split.accessUnits[0], prefixed({idrFirst, idrNext}));
  EXPECT_EQ(split.accessUnits[1], prefixed({sei, pFirst}));
  EXPECT_EQ(split.accessUnits[2], prefixed({pFirst, pNext}));
  EXPECT_EQ(split.keyframes, (std::vector<bool>{true, false, false}));
}

TEST(AnnexB, SplitsRealStreamsIntoTheirAccessUnits) {
  struct Case {
    const char* clip;
    size_t paramSets;
  };
  for (const Case& c : {Case{"h264_bframes", 2}, Case{"h265_bframes", 3}}) {
    const testing_support::Clip clip = testing_support::loadClip(c.clip);
    EXPECT_EQ(clip.paramSets.size(), c.paramSets) << c.clip;
    EXPECT_EQ(clip.accessUnits.size(), 10u) << c.clip;
  }
}

}  // namespace
}  // namespace mosaickit
