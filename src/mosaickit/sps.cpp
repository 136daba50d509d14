#include "mosaickit/sps.h"

#include <algorithm>

namespace mosaickit {
namespace {

// Reads bits of a NAL unit's payload, most significant first, skipping the emulation prevention
// byte of every 00 00 03 sequence. Reading past the end sets the overrun flag and yields zeros.
class BitReader {
 public:
  BitReader(ByteView nal, size_t headerBytes) : bytes_(nal), byte_(headerBytes) {}

  bool overrun() const { return overrun_; }

  uint32_t bits(int count) {
    uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 1) | bit();
    return value;
  }

  void skip(int count) {
    for (int i = 0; i < count; ++i) bit();
  }

  // An unsigned Exp-Golomb code. Codes longer than 32 bits are taken as overruns: no size field
  // is that wide.
  uint32_t ue() {
    int zeros = 0;
    while (bit() == 0) {
      if (++zeros > 31 || overrun_) {
        overrun_ = true;
        return 0;
      }
    }
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
  }

  int32_t se() {
    const uint32_t code = ue();
    const auto magnitude = static_cast<int32_t>((code + 1) / 2);
    return (code & 1) != 0 ? magnitude : -magnitude;
  }

 private:
  uint32_t bit() {
    if (bitInByte_ == 0 && !enterByte()) {
      overrun_ = true;
      return 0;
    }
    --bitInByte_;
    return (current_ >> bitInByte_) & 1;
  }

  // Moves to the next payload byte, past an emulation prevention byte (the 03 of 00 00 03).
  bool enterByte() {
    if (byte_ < bytes_.size() && zeros_ >= 2 && bytes_[byte_] == 3) {
      ++byte_;
      zeros_ = 0;
    }
    if (byte_ >= bytes_.size()) return false;
    current_ = bytes_[byte_++];
    zeros_ = current_ == 0 ? zeros_ + 1 : 0;
    bitInByte_ = 8;
    return true;
  }

  ByteView bytes_;
  size_t byte_;
  uint8_t current_ = 0;
  int zeros_ = 0;  // zero bytes just before byte_
  int bitInByte_ = 0;
  bool overrun_ = false;
};

// The profiles whose SPS carries the chroma format, bit depths and scaling matrices.
bool hasChromaFields(uint32_t profile) {
  static constexpr uint32_t profiles[] = {100, 110, 122, 244, 44,  83, 86,
                                          118, 128, 138, 139, 134, 135};
  return std::ranges::find(profiles, profile) != std::end(profiles);
}

void skipScalingList(BitReader& r, int size) {
  int last = 8;
  int next = 8;
  for (int j = 0; j < size && !r.overrun(); ++j) {
    if (next != 0) next = (last + r.se() + 256) % 256;
    if (next != 0) last = next;
  }
}

void skipH264ChromaFields(BitReader& r) {
  const uint32_t chromaFormat = r.ue();
  if (chromaFormat == 3) r.skip(1);  // separate_colour_plane_flag
  r.ue();                            // bit_depth_luma_minus8
  r.ue();                            // bit_depth_chroma_minus8
  r.skip(1);                         // qpprime_y_zero_transform_bypass_flag
  if (r.bits(1) == 0) return;        // seq_scaling_matrix_present_flag
  const int lists = chromaFormat == 3 ? 12 : 8;
  for (int i = 0; i < lists && !r.overrun(); ++i) {
    if (r.bits(1) != 0) skipScalingList(r, i < 6 ? 16 : 64);
  }
}

void skipPictureOrderFields(BitReader& r) {
  const uint32_t type = r.ue();
  if (type == 0) {
    r.ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (type == 1) {
    r.skip(1);  // delta_pic_order_always_zero_flag
    r.se();     // offset_for_non_ref_pic
    r.se();     // offset_for_top_to_bottom_field
    const uint32_t cycle = std::min<uint32_t>(r.ue(), 256);
    for (uint32_t i = 0; i < cycle && !r.overrun(); ++i) r.se();
  }
}

std::optional<CodedSize> h264Size(ByteView nal) {
  BitReader r(nal, 1);
  const uint32_t profile = r.bits(8);
  r.skip(16);  // constraint flags, level_idc
  r.ue();      // seq_parameter_set_id
  if (hasChromaFields(profile)) skipH264ChromaFields(r);
  r.ue();  // log2_max_frame_num_minus4
  skipPictureOrderFields(r);
  r.ue();     // max_num_ref_frames
  r.skip(1);  // gaps_in_frame_num_value_allowed_flag
  const int64_t widthInMbs = int64_t{r.ue()} + 1;
  const int64_t heightInMapUnits = int64_t{r.ue()} + 1;
  const bool frameMbsOnly = r.bits(1) != 0;
  if (r.overrun()) return std::nullopt;
  return CodedSize{widthInMbs * 16, heightInMapUnits * 16 * (frameMbsOnly ? 1 : 2)};
}

// profile_tier_level with its profile present, as every SPS carries it.
void skipProfileTierLevel(BitReader& r, uint32_t subLayers) {
  r.skip(88);  // general profile space, tier, profile, compatibility and constraint flags
  r.skip(8);   // general_level_idc
  bool profilePresent[8] = {};
  bool levelPresent[8] = {};
  for (uint32_t i = 0; i < subLayers; ++i) {
    profilePresent[i] = r.bits(1) != 0;
    levelPresent[i] = r.bits(1) != 0;
  }
  if (subLayers > 0) r.skip(2 * static_cast<int>(8 - subLayers));
  for (uint32_t i = 0; i < subLayers; ++i) {
    if (profilePresent[i]) r.skip(88);
    if (levelPresent[i]) r.skip(8);
  }
}

std::optional<CodedSize> h265Size(ByteView nal) {
  BitReader r(nal, 2);
  r.skip(4);                             // sps_video_parameter_set_id
  const uint32_t subLayers = r.bits(3);  // sps_max_sub_layers_minus1, at most 7
  r.skip(1);                             // sps_temporal_id_nesting_flag
  skipProfileTierLevel(r, subLayers);
  r.ue();                      // sps_seq_parameter_set_id
  if (r.ue() == 3) r.skip(1);  // chroma_format_idc, separate_colour_plane_flag
  const int64_t width = r.ue();
  const int64_t height = r.ue();
  if (r.overrun()) return std::nullopt;
  return CodedSize{width, height};
}

}  // namespace

bool isSequenceParameterSet(Codec codec, ByteView nal) {
  if (codec == Codec::h264) return nal.size() >= 1 && (nal[0] & 0x1F) == 7;
  return nal.size() >= 2 && ((nal[0] >> 1) & 0x3F) == 33;
}

std::optional<CodedSize> declaredSize(Codec codec, ByteView nal) {
  if (!isSequenceParameterSet(codec, nal)) return std::nullopt;
  return codec == Codec::h264 ? h264Size(nal) : h265Size(nal);
}

}  // namespace mosaickit
