// The files gridwright-sprites reads besides media are the user's: an HLS master playlist and an
// MPD that it edits, and an output folder's record of what earlier runs wrote there. Any bytes
// must end in an edited text or the tool's own error, never a crash; an MPD that takes the
// thumbnails must still parse, and keep them through a second edit; a record read back must
// name only plain files of the folder.
//
// The first byte chooses the reader: 0 the record, 1 the master playlist, 2 the MPD.

#include <pugixml.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dash_manifest.h"
#include "hls_playlist.h"
#include "output_files.h"
#include "sprite_plan.h"

namespace {

using namespace sprites;

const SpritePlan& plan() {
  static const SpritePlan p = [] {
    SpritePlan made;
    for (size_t k = 0; k < 13; ++k) made.thumbnails.push_back({k / 2, double(k), double(k + 1)});
    made.layout = {4, 2, 160, 90};
    made.sheets = planSheets(made.thumbnails.size(), made.layout, true);
    made.duration = 13;
    made.interval = 1;
    return made;
  }();
  return p;
}

void record(std::string_view text) {
  const auto files = parseRecord(text);
  if (!files) return;
  for (const OwnedFile& f : files->files) {
    if (f.name.empty() || f.name == "." || f.name == ".." ||
        f.name.find('/') != std::string::npos || f.name == kRecordName) {
      std::abort();
    }
  }
  if (parseRecord(recordText(*files)) != files) std::abort();  // read back the same
}

void master(std::string_view text) {
  const std::string uri = "../thumbs/thumbnails.m3u8";
  const std::string line = imageStreamLine(plan(), 1000, uri);
  try {
    const std::string once = withImageStream(text, line, uri);
    if (withImageStream(once, line, uri) != once) std::abort();  // a rerun changes nothing
  } catch (const HlsError&) {
  }
}

void mpd(std::string_view text) {
  const TileSet tiles{sheetTemplate("../thumbs"), 1000};
  try {
    const std::string once = withTileSet(text, plan(), tiles);
    pugi::xml_document doc;
    if (!doc.load_buffer(once.data(), once.size())) std::abort();
    const std::string twice = withTileSet(once, plan(), tiles);
    if (!doc.load_buffer(twice.data(), twice.size())) std::abort();
  } catch (const DashError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      record(text);
      break;
    case 1:
      master(text);
      break;
    default:
      mpd(text);
      break;
  }
  return 0;
}
