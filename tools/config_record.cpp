#include "config_record.h"

#include <cstddef>

namespace sprites {

namespace {

using mosaickit::Bytes;
using mosaickit::ByteView;

// A big-endian reader that reports running off the end instead of throwing.
class BigEndianReader {
 public:
  explicit BigEndianReader(ByteView b) : b_(b) {}

  bool ok() const { return ok_; }
  void skip(size_t n) { take(n); }
  unsigned u8() { return static_cast<unsigned>(number(1)); }
  unsigned u16() { return static_cast<unsigned>(number(2)); }
  Bytes bytes(size_t n) {
    const ByteView v = take(n);
    return Bytes(v.begin(), v.end());
  }

 private:
  ByteView take(size_t n) {
    if (!ok_ || b_.size() - i_ < n) {
      ok_ = false;
      return {};
    }
    const ByteView v = b_.subspan(i_, n);
    i_ += n;
    return v;
  }
  uint64_t number(size_t n) {
    uint64_t v = 0;
    for (uint8_t byte : take(n)) v = v << 8 | byte;
    return v;
  }

  ByteView b_;
  size_t i_ = 0;
  bool ok_ = true;
};

// Reads `count` sets, each a u16 length and its bytes.
void readSets(BigEndianReader& r, unsigned count, std::vector<Bytes>& out) {
  for (unsigned k = 0; k < count && r.ok(); ++k) {
    const unsigned length = r.u16();
    out.push_back(r.bytes(length));
  }
}

// AVCDecoderConfigurationRecord: version, profile, compatibility, level, then six reserved bits
// and lengthSizeMinusOne; three reserved bits and the SPS count, the SPSs; the PPS count, the
// PPSs. Extensions for the high profiles may follow; they hold no parameter set we need.
std::optional<ConfigRecord> parseAvcC(ByteView record) {
  BigEndianReader r(record);
  ConfigRecord out;
  if (r.u8() != 1) return std::nullopt;
  r.skip(3);
  out.nalLengthSize = static_cast<int>(r.u8() & 0x03) + 1;
  readSets(r, r.u8() & 0x1F, out.paramSets);
  readSets(r, r.u8(), out.paramSets);
  if (!r.ok()) return std::nullopt;
  return out;
}

// HEVCDecoderConfigurationRecord: 21 bytes of profile, level and format fields, then a byte
// whose two low bits are lengthSizeMinusOne, the array count, and for each array one byte of
// completeness and NAL type, a u16 NAL count and the NAL units with u16 lengths.
std::optional<ConfigRecord> parseHvcC(ByteView record) {
  BigEndianReader r(record);
  ConfigRecord out;
  r.skip(21);
  out.nalLengthSize = static_cast<int>(r.u8() & 0x03) + 1;
  const unsigned arrays = r.u8();
  for (unsigned a = 0; a < arrays && r.ok(); ++a) {
    r.skip(1);
    readSets(r, r.u16(), out.paramSets);
  }
  if (!r.ok()) return std::nullopt;
  return out;
}

}  // namespace

bool isConfigRecord(ByteView extradata) {
  if (extradata.size() < 4) return false;
  const bool startCode = extradata[0] == 0 && extradata[1] == 0 &&
                         (extradata[2] == 1 || (extradata[2] == 0 && extradata[3] == 1));
  return !startCode;
}

std::optional<ConfigRecord> parseConfigRecord(mosaickit::Codec codec, ByteView record) {
  std::optional<ConfigRecord> parsed =
      codec == mosaickit::Codec::h264 ? parseAvcC(record) : parseHvcC(record);
  if (parsed && parsed->nalLengthSize == 3) return std::nullopt;
  return parsed;
}

}  // namespace sprites
