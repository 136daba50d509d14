// Rewrites the sequence parameter set of a test clip, to make streams that declare what an
// encoder would not write: pictures of another size in front of the clip's own slices, or a
// reorder depth other than the one the stream needs (or none at all).
//
// Only the named fields change; every other bit of the set is copied as it was, and emulation
// prevention is redone. Plain functions: any thread. A set it cannot walk (another profile's
// syntax than the walker knows, an H.264 VUI with no room for the edit) throws
// std::runtime_error: a broken test setup, not a test result.

#ifndef GRIDWRIGHT_TESTS_SUPPORT_SPS_EDIT_H_
#define GRIDWRIGHT_TESTS_SUPPORT_SPS_EDIT_H_

#include <optional>
#include <utility>

#include "mosaickit/protocol.h"
#include "support/clips.h"

namespace testing_support {

// H.264 VUI bitstream restriction: what a stream promises about its reorder depth.
struct ReorderDepth {
  unsigned maxNumReorderFrames = 0;
  unsigned maxDecFrameBuffering = 1;
};

struct SpsEdit {
  // Coded width and height in luma samples (H.264: multiples of 16, frame pictures).
  std::optional<std::pair<unsigned, unsigned>> codedSize;
  // H.264 only: the bitstream restriction to write; with dropRestriction, none at all.
  std::optional<ReorderDepth> reorder;
  bool dropRestriction = false;
  // The chroma bit depth (H.264: only in the profiles that carry it).
  std::optional<unsigned> chromaBitDepth;

  static SpsEdit size(unsigned width, unsigned height) {
    SpsEdit edit;
    edit.codedSize = {width, height};
    return edit;
  }
  SpsEdit& withReorder(ReorderDepth depth) {
    reorder = depth;
    return *this;
  }
  static SpsEdit chromaDepth(unsigned bits) {
    SpsEdit edit;
    edit.chromaBitDepth = bits;
    return edit;
  }
  static SpsEdit withoutRestriction() {
    SpsEdit edit;
    edit.dropRestriction = true;
    return edit;
  }
};

// The set `sps` (one NAL unit, header first) with `edit` applied.
mosaickit::Bytes editSps(mosaickit::Codec codec, mosaickit::ByteView sps, const SpsEdit& edit);

// The index of the SPS among a clip's parameter sets (1 for H.265, 0 for H.264).
size_t spsIndex(mosaickit::Codec codec);

// A job over every access unit of `clip`, one 64 x 64 cell each, with the SPS edited both in its
// parameter sets and again in front of the first access unit, as a stream may repeat it.
mosaickit::Job editedJob(const Clip& clip, const SpsEdit& edit);

}  // namespace testing_support

#endif  // GRIDWRIGHT_TESTS_SUPPORT_SPS_EDIT_H_
