// DASH thumbnail tiles, as the DASH-IF interoperability guidelines describe them and Android's
// Media3, Shaka Player, dash.js and Roku read them: an image AdaptationSet in the MPD's Period
// whose SegmentTemplate names the sheets (one segment each) and whose Representation's
// EssentialProperty `http://dashif.org/thumbnail_tile` gives their grid.
//
// Plain functions; any thread. withTileSet throws DashError for a document it cannot take.

#ifndef GRIDWRIGHT_TOOLS_DASH_MANIFEST_H_
#define GRIDWRIGHT_TOOLS_DASH_MANIFEST_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "sprite_plan.h"

namespace sprites {

class DashError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TileSet {
  // The SegmentTemplate's media: the sheets' folder relative to the MPD, then
  // "sheet-$Number%03d$.jpg".
  std::string media;
  uint64_t bandwidth = 0;  // bits per second, at the sheet that needs most
};

// The media template of sheets in the folder `folderUri` (relative to the MPD; "" for beside it).
std::string sheetTemplate(const std::string& folderUri);

// A whole MPD of the video's length that holds only the thumbnails' AdaptationSet, for users
// who merge it into their own. REQUIRES: plan.interval > 0 and plan.sheets not empty.
std::string thumbnailMpd(const SpritePlan& plan, const TileSet& tiles);

// `mpd` with the thumbnails' AdaptationSet in its Period: in place of the one an earlier run
// added (the image set whose SegmentTemplate names the same sheets), else after its last
// AdaptationSet. The rest of the document is kept as it was parsed. Throws DashError when `mpd`
// is not an MPD of exactly one Period.
std::string withTileSet(std::string_view mpd, const SpritePlan& plan, const TileSet& tiles);

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_DASH_MANIFEST_H_
