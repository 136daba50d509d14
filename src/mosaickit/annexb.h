// Turns an H.264 or H.265 elementary stream in Annex-B form (NAL units behind start codes), as
// raw .h264/.h265 files and some containers carry it, into what a job carries: the parameter
// sets, and each access unit as one sample of 4-byte big-endian length-prefixed NAL units.
//
// The splitting is the parent's side of the protocol (the daemon itself never sees start
// codes); the daemon reads a sample's picture type.
// Plain functions over caller-owned bytes: any thread. Nothing here throws for bad input: bytes
// that hold no NAL units give an empty result.

#ifndef MOSAICKIT_ANNEXB_H_
#define MOSAICKIT_ANNEXB_H_

#include <optional>
#include <vector>

#include "mosaickit/protocol.h"

namespace mosaickit {

struct AnnexBStream {
  Codec codec = Codec::h264;
  // The first parameter sets of the stream, without start codes: SPS, PPS (H.264);
  // VPS, SPS, PPS (H.265). Later repeats are left out, and so are they from the access units.
  std::vector<Bytes> paramSets;
  // One entry per access unit in decode order, its NAL units length-prefixed; access unit
  // delimiters and parameter sets left out.
  std::vector<Bytes> accessUnits;
  // For each access unit: whether it is a random access point (an H.264 IDR picture, an H.265
  // IRAP picture) that decodes without any other access unit.
  std::vector<bool> keyframes;
};

// The NAL units of an Annex-B byte stream, without start codes or trailing zero bytes. The views
// point into `stream`.
std::vector<ByteView> splitNalUnits(ByteView stream);

// Groups the stream's NAL units into access units: a new one begins at a delimiter, at a
// parameter set or SEI that follows a picture's slices, or at the first slice of a picture.
AnnexBStream splitAnnexB(Codec codec, ByteView stream);

// Whether a sample of 4-byte length-prefixed NAL units holds a random access point: its first
// slice belongs to an H.264 IDR or an H.265 IRAP picture. False for a malformed sample.
bool isRandomAccessSample(Codec codec, ByteView sample);

// Whether a sample's first slice belongs to an IDR picture (H.264 IDR; H.265 IDR_W_RADL or
// IDR_N_LP): no picture after it in decode order refers to one before it. False for a malformed
// sample.
bool isIdrSample(Codec codec, ByteView sample);

// Whether a NAL unit (without prefix) is a parameter set: H.264 SPS or PPS; H.265 VPS, SPS or PPS.
bool isParameterSet(Codec codec, ByteView nal);

// Reads the NAL units of a sample of 4-byte big-endian length-prefixed units, in order, up to the
// sample's end or to the first length that runs past it. Borrows the sample, which must outlive
// the reader and the views it returns; allocates nothing.
class LengthPrefixedReader {
 public:
  explicit LengthPrefixedReader(ByteView sample) : sample_(sample) {}
  // The next NAL unit (a view into the sample), or nothing at the end.
  std::optional<ByteView> next();

 private:
  ByteView sample_;
  size_t at_ = 0;
};

// Appends `nal` to `sample` behind its length as a 4-byte big-endian number.
void appendLengthPrefixed(Bytes& sample, ByteView nal);

}  // namespace mosaickit

#endif  // MOSAICKIT_ANNEXB_H_
