// BIF, the trick-play file of Roku devices (and of Plex's and Emby's libraries): one JPEG per
// thumbnail behind an index of their times and offsets.
//
// Layout, every number little-endian: the magic 89 42 49 46 0D 0A 1A 0A, u32 version 0, u32
// image count, u32 timestamp multiplier (1000: timestamps are milliseconds), 44 zero bytes;
// then count + 1 entries of u32 timestamp and u32 absolute offset of the image, the last entry
// FFFFFFFF and the file's length; then the images in order, without gaps.
//
// Plain functions; any thread. bifFile throws BifError when the images pass 4 GiB.

#ifndef GRIDWRIGHT_TOOLS_BIF_FILE_H_
#define GRIDWRIGHT_TOOLS_BIF_FILE_H_

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "mosaickit/protocol.h"

namespace sprites {

class BifError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The file of `images`, image i shown from timestamps[i] milliseconds. REQUIRES: as many
// timestamps as images, each below 0xFFFFFFFF.
mosaickit::Bytes bifFile(const std::vector<uint32_t>& timestamps,
                         const std::vector<mosaickit::Bytes>& images);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_BIF_FILE_H_
