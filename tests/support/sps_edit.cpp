#include "support/sps_edit.h"

#include "mosaickit/annexb.h"

#include <stdexcept>
#include <utility>
#include <vector>

namespace testing_support {
namespace {

using mosaickit::Bytes;
using mosaickit::ByteView;
using mosaickit::Codec;

using Bits = std::vector<bool>;

// The payload after the NAL header as bits, emulation prevention bytes removed.
Bits payloadBits(ByteView nal, size_t headerBytes) {
  Bits bits;
  int zeros = 0;
  for (size_t i = headerBytes; i < nal.size(); ++i) {
    if (zeros >= 2 && nal[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = nal[i] == 0 ? zeros + 1 : 0;
    for (int b = 7; b >= 0; --b) bits.push_back(((nal[i] >> b) & 1) != 0);
  }
  return bits;
}

// The bits before the RBSP stop bit.
Bits withoutTrailing(Bits bits) {
  while (!bits.empty() && !bits.back()) bits.pop_back();
  if (bits.empty()) throw std::runtime_error("SPS without a stop bit");
  bits.pop_back();
  return bits;
}

// `header` followed by `bits`, a stop bit and alignment, with emulation prevention.
Bytes toNal(ByteView header, Bits bits) {
  bits.push_back(true);
  while (bits.size() % 8 != 0) bits.push_back(false);
  Bytes nal(header.begin(), header.end());
  int zeros = 0;
  for (size_t i = 0; i < bits.size(); i += 8) {
    uint8_t byte = 0;
    for (size_t b = 0; b < 8; ++b) byte = static_cast<uint8_t>((byte << 1) | bits[i + b]);
    if (zeros >= 2 && byte <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return nal;
}

class Reader {
 public:
  explicit Reader(const Bits& bits) : bits_(bits) {}
  size_t position() const { return at_; }

  unsigned u(int count) {
    unsigned v = 0;
    for (int i = 0; i < count; ++i) {
      if (at_ >= bits_.size()) throw std::runtime_error("SPS ends inside a field");
      v = (v << 1) | (bits_[at_++] ? 1u : 0u);
    }
    return v;
  }
  unsigned ue() {
    int zeros = 0;
    while (u(1) == 0) ++zeros;
    return (1u << zeros) - 1 + u(zeros);
  }
  void se() { ue(); }
  void skip(int count) { u(count); }

 private:
  const Bits& bits_;
  size_t at_ = 0;
};

void putBits(Bits& out, unsigned value, int count) {
  for (int b = count - 1; b >= 0; --b) out.push_back(((value >> b) & 1) != 0);
}

void putUe(Bits& out, unsigned value) {
  const unsigned coded = value + 1;
  int length = 0;
  while ((coded >> length) > 1) ++length;
  putBits(out, 0, length);
  putBits(out, coded, length + 1);
}

void append(Bits& out, const Bits& from, size_t begin, size_t end) {
  out.insert(out.end(), from.begin() + static_cast<ptrdiff_t>(begin),
             from.begin() + static_cast<ptrdiff_t>(end));
}

// --- H.264 ------------------------------------------------------------------------------------

void skipScalingList(Reader& r, int size) {
  int last = 8, next = 8;
  for (int j = 0; j < size; ++j) {
    if (next != 0) {
      const unsigned code = r.ue();
      const int delta =
          (code & 1) != 0 ? static_cast<int>((code + 1) / 2) : -static_cast<int>(code / 2);
      next = (last + delta + 256) % 256;
    }
    if (next != 0) last = next;
  }
}

// Up to the coded size fields; `chromaDepth` gets the bit range of bit_depth_chroma_minus8,
// where the profile has it.
void walkToH264Size(Reader& r, std::pair<size_t, size_t>& chromaDepth) {
  const unsigned profile = r.u(8);
  r.skip(16);
  r.ue();
  for (unsigned p : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u}) {
    if (p != profile) continue;
    const unsigned chroma = r.ue();
    if (chroma == 3) r.skip(1);
    r.ue();
    chromaDepth.first = r.position();
    r.ue();
    chromaDepth.second = r.position();
    r.skip(1);
    if (r.u(1) != 0) {
      for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i) {
        if (r.u(1) != 0) skipScalingList(r, i < 6 ? 16 : 64);
      }
    }
  }
  r.ue();
  const unsigned pocType = r.ue();
  if (pocType == 0) {
    r.ue();
  } else if (pocType == 1) {
    r.skip(1);
    r.se();
    r.se();
    const unsigned cycle = r.ue();
    for (unsigned i = 0; i < cycle; ++i) r.se();
  }
  r.ue();
  r.skip(1);
}

void skipHrd(Reader& r) {
  const unsigned count = r.ue() + 1;
  r.skip(8);
  for (unsigned i = 0; i < count; ++i) {
    r.ue();
    r.ue();
    r.skip(1);
  }
  r.skip(20);
}

// From after the size fields to the VUI's bitstream_restriction_flag.
void walkToH264Restriction(Reader& r, bool& framePictures) {
  framePictures = r.u(1) != 0;
  if (!framePictures) r.skip(1);
  r.skip(1);
  if (r.u(1) != 0) {
    for (int i = 0; i < 4; ++i) r.ue();
  }
  if (r.u(1) == 0) throw std::runtime_error("H.264 SPS without VUI");
  if (r.u(1) != 0 && r.u(8) == 255) r.skip(32);
  if (r.u(1) != 0) r.skip(1);
  if (r.u(1) != 0) {
    r.skip(4);
    if (r.u(1) != 0) r.skip(24);
  }
  if (r.u(1) != 0) {
    r.ue();
    r.ue();
  }
  if (r.u(1) != 0) r.skip(65);
  const bool nalHrd = r.u(1) != 0;
  if (nalHrd) skipHrd(r);
  const bool vclHrd = r.u(1) != 0;
  if (vclHrd) skipHrd(r);
  if (nalHrd || vclHrd) r.skip(1);
  r.skip(1);
}

void putRestriction(Bits& out, const ReorderDepth& depth) {
  putBits(out, 1, 1);  // bitstream_restriction_flag
  putBits(out, 1, 1);  // motion_vectors_over_pic_boundaries_flag
  putUe(out, 2);       // max_bytes_per_pic_denom
  putUe(out, 1);       // max_bits_per_mb_denom
  putUe(out, 16);      // log2_max_mv_length_horizontal
  putUe(out, 16);      // log2_max_mv_length_vertical
  putUe(out, depth.maxNumReorderFrames);
  putUe(out, depth.maxDecFrameBuffering);
}

Bytes editH264(ByteView sps, const SpsEdit& edit) {
  const Bits bits = withoutTrailing(payloadBits(sps, 1));
  Reader r(bits);
  std::pair<size_t, size_t> chromaDepth;
  walkToH264Size(r, chromaDepth);
  if (edit.chromaBitDepth && chromaDepth.second == 0) {
    throw std::runtime_error("H.264 profile without a chroma bit depth");
  }
  const size_t sizeBegin = r.position();
  const unsigned widthInMbs = r.ue() + 1;
  const unsigned heightInUnits = r.ue() + 1;
  const size_t sizeEnd = r.position();
  bool framePictures = true;
  walkToH264Restriction(r, framePictures);
  const size_t restrictionBegin = r.position();

  Bits out;
  if (edit.chromaBitDepth) {
    append(out, bits, 0, chromaDepth.first);
    putUe(out, *edit.chromaBitDepth - 8);
    append(out, bits, chromaDepth.second, sizeBegin);
  } else {
    append(out, bits, 0, sizeBegin);
  }
  if (edit.codedSize) {
    if (!framePictures) throw std::runtime_error("size edit of a field-coded SPS");
    putUe(out, edit.codedSize->first / 16 - 1);
    putUe(out, edit.codedSize->second / 16 - 1);
  } else {
    putUe(out, widthInMbs - 1);
    putUe(out, heightInUnits - 1);
  }
  append(out, bits, sizeEnd, restrictionBegin);
  if (edit.dropRestriction) {
    putBits(out, 0, 1);
  } else if (edit.reorder) {
    putRestriction(out, *edit.reorder);
  } else {
    append(out, bits, restrictionBegin, bits.size());
  }
  return toNal(sps.first(1), out);
}

// --- H.265 ------------------------------------------------------------------------------------

Bytes editH265(ByteView sps, const SpsEdit& edit) {
  if (edit.reorder || edit.dropRestriction) {
    throw std::runtime_error("H.265 reorder edits are not supported");
  }
  const Bits bits = withoutTrailing(payloadBits(sps, 2));
  Reader r(bits);
  r.skip(4);
  const unsigned subLayers = r.u(3);
  r.skip(1);
  r.skip(96);
  std::vector<bool> profilePresent, levelPresent;
  for (unsigned i = 0; i < subLayers; ++i) {
    profilePresent.push_back(r.u(1) != 0);
    levelPresent.push_back(r.u(1) != 0);
  }
  if (subLayers > 0) r.skip(2 * static_cast<int>(8 - subLayers));
  for (unsigned i = 0; i < subLayers; ++i) {
    if (profilePresent[i]) r.skip(88);
    if (levelPresent[i]) r.skip(8);
  }
  r.ue();
  if (r.ue() == 3) r.skip(1);
  const size_t sizeBegin = r.position();
  const unsigned width = r.ue();
  const unsigned height = r.ue();
  const size_t sizeEnd = r.position();
  if (r.u(1) != 0) {
    for (int i = 0; i < 4; ++i) r.ue();  // conformance window
  }
  r.ue();  // bit_depth_luma_minus8
  const size_t chromaDepthBegin = r.position();
  const unsigned chromaDepth = r.ue() + 8;
  const size_t chromaDepthEnd = r.position();

  Bits out;
  append(out, bits, 0, sizeBegin);
  putUe(out, edit.codedSize ? edit.codedSize->first : width);
  putUe(out, edit.codedSize ? edit.codedSize->second : height);
  append(out, bits, sizeEnd, chromaDepthBegin);
  putUe(out, edit.chromaBitDepth.value_or(chromaDepth) - 8);
  append(out, bits, chromaDepthEnd, bits.size());
  return toNal(sps.first(2), out);
}

}  // namespace

Bytes editSps(Codec codec, ByteView sps, const SpsEdit& edit) {
  return codec == Codec::h264 ? editH264(sps, edit) : editH265(sps, edit);
}

size_t spsIndex(Codec codec) {
  return codec == Codec::h264 ? 0 : 1;
}

mosaickit::Job editedJob(const Clip& clip, const SpsEdit& edit) {
  mosaickit::Job job = rowJob(clip, 64, 64);
  Bytes& sps = job.paramSets[spsIndex(clip.codec)];
  sps = editSps(clip.codec, sps, edit);
  Bytes first;
  mosaickit::appendLengthPrefixed(first, sps);
  first.insert(first.end(), job.frames[0].begin(), job.frames[0].end());
  job.frames[0] = std::move(first);
  return job;
}

}  // namespace testing_support
