#include "mosaickit/sps.h"

#include <gtest/gtest.h>

#include <string>

#include "mosaickit/media.h"
#include "support/clips.h"
#include "support/sps_edit.h"

namespace mosaickit {

void PrintTo(const CodedSize& size, std::ostream* out) {
  *out << size.width << "x" << size.height;
}

namespace {

using testing_support::Clip;
using testing_support::loadClip;
using testing_support::SpsEdit;
using testing_support::spsIndex;

TEST(DeclaredSize, IsTheCodedSizeBeforeCropping) {
  struct Case {
    const char* clip;
    CodedSize size;
  };
  const Case cases[] = {
      {"h264_rgb_640x360", {640, 368}},      // macroblock rows, cropped by 8
      {"h264_rgb_1920x1080", {1920, 1088}},  //
      {"h264_crop_444", {176, 112}},         // High 4:4:4: chroma fields and their profile
      {"h264_bframes", {176, 144}},          //
      {"h265_rgb_640x360", {640, 368}},      // x265's minimum coding block is 16
      {"h265_crop_422_main10", {176, 112}},  // Main 4:2:2 10
      {"h265_bframes", {176, 144}},          //
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clip);
    const Clip clip = loadClip(c.clip);
    EXPECT_EQ(declaredSize(clip.codec, clip.paramSets[spsIndex(clip.codec)]), c.size);
  }
}

// The test support's SPS editor and this reader check each other: an edit to the size the set
// already declares gives back its exact bytes, and an edited size reads back.
TEST(DeclaredSize, ReadsWhatTheEditorWrites) {
  for (const char* name : {"h264_rgb_640x360", "h264_crop_444", "h265_rgb_640x360",
                           "h265_crop_422_main10", "h264_bframes"}) {
    SCOPED_TRACE(name);
    const Clip clip = loadClip(name);
    const Bytes& sps = clip.paramSets[spsIndex(clip.codec)];
    const CodedSize size = declaredSize(clip.codec, sps).value();
    const SpsEdit same =
        SpsEdit::size(static_cast<unsigned>(size.width), static_cast<unsigned>(size.height));
    EXPECT_EQ(testing_support::editSps(clip.codec, sps, same), sps);
    const Bytes edited = testing_support::editSps(clip.codec, sps, SpsEdit::size(16240, 16240));
    EXPECT_EQ(declaredSize(clip.codec, edited), (CodedSize{16240, 16240}));
  }
}

TEST(DeclaredSize, NoValueForOtherUnitsOrACutSet) {
  for (const char* name : {"h264_rgb_640x360", "h265_rgb_640x360"}) {
    SCOPED_TRACE(name);
    const Clip clip = loadClip(name);
    const Bytes& sps = clip.paramSets[spsIndex(clip.codec)];
    EXPECT_EQ(declaredSize(clip.codec, clip.paramSets.back()), std::nullopt);  // the PPS
    EXPECT_EQ(declaredSize(clip.codec, Bytes(sps.begin(), sps.begin() + 4)), std::nullopt);
  }
}

}  // namespace
}  // namespace mosaickit
