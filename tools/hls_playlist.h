// HLS image playlists: the thumbnail track that Roku devices, Shaka Player and other HLS players
// read beside the video's own playlists. A media playlist lists the sheets, each one segment
// whose EXT-X-TILES tag gives its grid and each tile's duration; the master playlist points at it
// with an EXT-X-IMAGE-STREAM-INF line.
//
// Plain functions; any thread. withImageStream throws HlsError for a file that is not a master
// playlist.

#ifndef GRIDWRIGHT_TOOLS_HLS_PLAYLIST_H_
#define GRIDWRIGHT_TOOLS_HLS_PLAYLIST_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sprite_plan.h"

namespace sprites {

class HlsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The peak bit rate of a track whose segments are the sheets, each lasting what its thumbnails
// span: what BANDWIDTH attributes declare. `sheetBytes` in sheet order.
uint64_t peakBandwidth(const SpritePlan& plan, const std::vector<size_t>& sheetBytes);

// The image media playlist over plan.sheets (named relative to the playlist: it sits beside
// them). Every sheet declares the first sheet's grid; the last one's EXTINF covers only the
// thumbnails it holds. REQUIRES: plan.interval > 0.
std::string hlsPlaylist(const SpritePlan& plan);

// The master playlist's line for the image stream (no line end):
// #EXT-X-IMAGE-STREAM-INF:BANDWIDTH=B,RESOLUTION=WxH,CODECS="jpeg",URI="uri"
std::string imageStreamLine(const SpritePlan& plan, uint64_t bandwidth, const std::string& uri);

// `master` with `line` in place of every earlier EXT-X-IMAGE-STREAM-INF line of the same URI
// (the first one replaced, any others dropped), or else added at its end; every other byte is
// kept, and the line ends as the file's lines end.
std::string withImageStream(std::string_view master, const std::string& line,
                            const std::string& uri);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_HLS_PLAYLIST_H_
