#include "mosaickit/annexb.h"

namespace mosaickit {

namespace {

enum class NalRole { delimiter, parameterSet, prefix, slice, other };

struct NalInfo {
  NalRole role;
  bool firstSliceOfPicture;
  bool randomAccess;  // an H.264 IDR or H.265 IRAP slice
  bool idr;           // an IDR slice: nothing after it refers to anything before it
};

// The H.264 header is one byte; first_mb_in_slice, the slice header's first ue(v) field, is 0
// exactly when its first bit is 1.
NalInfo describeH264(ByteView nal) {
  const int type = nal[0] & 0x1F;
  if (type == 9) return {NalRole::delimiter, false, false, false};
  if (type == 7 || type == 8) return {NalRole::parameterSet, false, false, false};
  if (type == 6) return {NalRole::prefix, false, false, false};
  if (type >= 1 && type <= 5) {
    return {NalRole::slice, nal.size() > 1 && (nal[1] & 0x80) != 0, type == 5, type == 5};
  }
  return {NalRole::other, false, false, false};
}

// The H.265 header is two bytes; first_slice_segment_in_pic_flag is the slice header's first bit.
NalInfo describeH265(ByteView nal) {
  const int type = (nal[0] >> 1) & 0x3F;
  if (type == 35) return {NalRole::delimiter, false, false, false};
  if (type >= 32 && type <= 34) return {NalRole::parameterSet, false, false, false};
  if (type == 39) return {NalRole::prefix, false, false, false};
  if (type <= 31) {
    const bool first = nal.size() > 2 && (nal[2] & 0x80) != 0;
    return {NalRole::slice, first, type >= 16 && type <= 23, type == 19 || type == 20};
  }
  return {NalRole::other, false, false, false};
}

size_t headerBytes(Codec codec) {
  return codec == Codec::h264 ? 1 : 2;
}

// A NAL unit too short for its codec's header describes as `other`.
NalInfo describe(Codec codec, ByteView nal) {
  if (nal.size() < headerBytes(codec)) return {NalRole::other, false, false, false};
  return codec == Codec::h264 ? describeH264(nal) : describeH265(nal);
}

class AccessUnitBuilder {
 public:
  explicit AccessUnitBuilder(AnnexBStream& out) : out_(out) {}

  void add(ByteView nal, const NalInfo& info) {
    switch (info.role) {
      case NalRole::delimiter:
        finishUnit();
        break;
      case NalRole::parameterSet:
        finishUnit();
        if (!sawSlice_) out_.paramSets.emplace_back(nal.begin(), nal.end());
        break;
      case NalRole::prefix:
        finishUnit();
        appendLengthPrefixed(unit_, nal);
        break;
      case NalRole::slice:
        if (info.firstSliceOfPicture) finishUnit();
        appendLengthPrefixed(unit_, nal);
        unitHasSlice_ = sawSlice_ = true;
        unitIsKey_ = unitIsKey_ || info.randomAccess;
        break;
      case NalRole::other:
        appendLengthPrefixed(unit_, nal);
        break;
    }
  }

  // Closes the current access unit if it holds a picture; NAL units before a picture's first
  // slice (SEI, for example) stay with that picture.
  void finishUnit() {
    if (!unitHasSlice_) return;
    out_.accessUnits.push_back(std::move(unit_));
    out_.keyframes.push_back(unitIsKey_);
    unit_.clear();
    unitHasSlice_ = unitIsKey_ = false;
  }

 private:
  AnnexBStream& out_;
  Bytes unit_;
  bool unitHasSlice_ = false;
  bool unitIsKey_ = false;
  bool sawSlice_ = false;
};

}  // namespace

std::vector<ByteView> splitNalUnits(ByteView stream) {
  std::vector<ByteView> units;
  size_t start = 0;
  bool inUnit = false;
  auto close = [&](size_t end) {
    while (end > start && stream[end - 1] == 0) --end;  // zero_byte of the next start code
    if (inUnit && end > start) units.push_back(stream.subspan(start, end - start));
  };
  size_t i = 0;
  while (i + 3 <= stream.size()) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      close(i);
      i += 3;
      start = i;
      inUnit = true;
    } else {
      ++i;
    }
  }
  close(stream.size());
  return units;
}

AnnexBStream splitAnnexB(Codec codec, ByteView stream) {
  AnnexBStream out;
  out.codec = codec;
  AccessUnitBuilder builder(out);
  for (ByteView nal : splitNalUnits(stream)) {
    if (nal.size() >= headerBytes(codec)) builder.add(nal, describe(codec, nal));
  }
  builder.finishUnit();
  return out;
}

namespace {

// What the first slice NAL unit of a sample says, if it has one.
std::optional<NalInfo> firstSlice(Codec codec, ByteView sample) {
  LengthPrefixedReader units(sample);
  while (const std::optional<ByteView> nal = units.next()) {
    const NalInfo info = describe(codec, *nal);
    if (info.role == NalRole::slice) return info;
  }
  return std::nullopt;
}

}  // namespace

bool isRandomAccessSample(Codec codec, ByteView sample) {
  const std::optional<NalInfo> slice = firstSlice(codec, sample);
  return slice && slice->randomAccess;
}

bool isIdrSample(Codec codec, ByteView sample) {
  const std::optional<NalInfo> slice = firstSlice(codec, sample);
  return slice && slice->idr;
}

bool isParameterSet(Codec codec, ByteView nal) {
  return describe(codec, nal).role == NalRole::parameterSet;
}

std::optional<ByteView> LengthPrefixedReader::next() {
  if (sample_.size() - at_ < 4) return std::nullopt;
  const size_t length = size_t{sample_[at_]} << 24 | size_t{sample_[at_ + 1]} << 16 |
                        size_t{sample_[at_ + 2]} << 8 | sample_[at_ + 3];
  if (length > sample_.size() - at_ - 4) return std::nullopt;
  const ByteView nal = sample_.subspan(at_ + 4, length);
  at_ += 4 + length;
  return nal;
}

void appendLengthPrefixed(Bytes& sample, ByteView nal) {
  const size_t n = nal.size();
  for (int shift = 24; shift >= 0; shift -= 8) sample.push_back(static_cast<uint8_t>(n >> shift));
  sample.insert(sample.end(), nal.begin(), nal.end());
}

}  // namespace mosaickit
