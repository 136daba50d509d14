// What a sequence parameter set declares about the pictures that follow it: their coded size.
// Read by the daemon before a decoder sees the set, so that a set declaring pictures larger
// than the daemon decodes is refused before anything is allocated for them.
//
// Plain functions over caller-owned bytes: any thread. Nothing here throws: a set that cannot
// be read gives no value.

#ifndef MOSAICKIT_SPS_H_
#define MOSAICKIT_SPS_H_

#include <cstdint>
#include <optional>

#include "mosaickit/protocol.h"

namespace mosaickit {

// A picture's coded size in luma samples: the whole decoded picture, before the display window
// crops it.
struct CodedSize {
  int64_t width = 0;
  int64_t height = 0;

  int64_t samples() const { return width * height; }
  friend bool operator==(const CodedSize&, const CodedSize&) = default;
};

// Whether `nal` (one NAL unit, header first, no length prefix or start code) is a sequence
// parameter set of `codec`.
bool isSequenceParameterSet(Codec codec, ByteView nal);

// The coded size an H.264 or H.265 sequence parameter set declares (emulation prevention bytes
// are skipped). No value when `nal` is not an SPS of `codec` or ends before its size fields.
std::optional<CodedSize> declaredSize(Codec codec, ByteView nal);

}  // namespace mosaickit

#endif  // MOSAICKIT_SPS_H_
