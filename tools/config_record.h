// Reads the decoder configuration records that MP4, MOV and Matroska files carry for H.264
// (`avcC`) and H.265 (`hvcC`): the width of the NAL length fields in front of every NAL unit of
// a sample, and the parameter sets, in the record's order.
//
// Plain functions over caller-owned bytes; any thread.

#ifndef GRIDWRIGHT_TOOLS_CONFIG_RECORD_H_
#define GRIDWRIGHT_TOOLS_CONFIG_RECORD_H_

#include <optional>
#include <vector>

#include "mosaickit/protocol.h"

namespace sprites {

struct ConfigRecord {
  // 1, 2 or 4: the width of each NAL unit's big-endian length in the samples.
  int nalLengthSize = 4;
  // Every parameter set of the record, one NAL unit each without prefix, in record order:
  // SPS then PPS (avcC); the arrays as listed, usually VPS, SPS, PPS (hvcC).
  std::vector<mosaickit::Bytes> paramSets;
};

// True when `extradata` looks like a configuration record rather than Annex-B parameter sets
// (which begin with a start code).
bool isConfigRecord(mosaickit::ByteView extradata);

// Parses an avcC (codec h264) or hvcC (codec h265) record. Nothing when the bytes are not a
// complete record of that kind or declare a NAL length size of 3.
std::optional<ConfigRecord> parseConfigRecord(mosaickit::Codec codec, mosaickit::ByteView record);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_CONFIG_RECORD_H_
