#include "hls_playlist.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace sprites {

namespace {

constexpr std::string_view kImageStreamTag = "#EXT-X-IMAGE-STREAM-INF:";

// Seconds with up to six decimals (at least three): players place a tile by dividing by its
// duration, so three would drift by a tile over a sheet of short, uneven intervals.
std::string seconds(double s) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", s);
  std::string out = text;
  while (out.size() > 1 && out.back() == '0' && out[out.size() - 4] != '.') out.pop_back();
  return out;
}

double sheetStart(const SpritePlan& plan, const Sheet& sheet) {
  return plan.thumbnails[sheet.first].start;
}

double sheetEnd(const SpritePlan& plan, const Sheet& sheet) {
  return plan.thumbnails[sheet.first + sheet.count - 1].end;
}

std::string grid(int columns, int rows) {
  return std::to_string(columns) + "x" + std::to_string(rows);
}

// The value of URI="..." in an attribute list, if it has one.
std::optional<std::string_view> uriOf(std::string_view line) {
  constexpr std::string_view key = "URI=\"";
  for (size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
    if (at > 0 && line[at - 1] != ':' && line[at - 1] != ',') continue;  // e.g. "XURI="
    const size_t begin = at + key.size();
    const size_t end = line.find('"', begin);
    if (end == std::string_view::npos) return std::nullopt;
    return line.substr(begin, end - begin);
  }
  return std::nullopt;
}

// A line without its end ("\n" or "\r\n").
std::string_view bare(std::string_view line) {
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

}  // namespace

uint64_t peakBandwidth(const SpritePlan& plan, const std::vector<size_t>& sheetBytes) {
  double peak = 0;
  for (size_t i = 0; i < plan.sheets.size() && i < sheetBytes.size(); ++i) {
    const double span =
        std::max(sheetEnd(plan, plan.sheets[i]) - sheetStart(plan, plan.sheets[i]), 0.001);
    peak = std::max(peak, static_cast<double>(sheetBytes[i]) * 8 / span);
  }
  return static_cast<uint64_t>(std::ceil(peak));
}

std::string hlsPlaylist(const SpritePlan& plan) {
  double longest = 0;
  for (const Sheet& sheet : plan.sheets) {
    longest = std::max(longest, sheetEnd(plan, sheet) - sheetStart(plan, sheet));
  }
  std::string m3u8 = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:" +
                     std::to_string(static_cast<long long>(std::ceil(longest))) +
                     "\n#EXT-X-MEDIA-SEQUENCE:0\n#EXT-X-PLAYLIST-TYPE:VOD\n#EXT-X-IMAGES-ONLY\n";
  const std::string tiles =
      "#EXT-X-TILES:RESOLUTION=" + grid(plan.layout.cellW, plan.layout.cellH) +
      ",LAYOUT=" + grid(plan.sheets.front().cellsW, plan.sheets.front().cellsH) +
      ",DURATION=" + seconds(plan.interval) + "\n";
  for (const Sheet& sheet : plan.sheets) {
    m3u8 += "#EXTINF:" + seconds(sheetEnd(plan, sheet) - sheetStart(plan, sheet)) + ",\n" + tiles +
            sheet.name + "\n";
  }
  return m3u8 + "#EXT-X-ENDLIST\n";
}

std::string imageStreamLine(const SpritePlan& plan, uint64_t bandwidth, const std::string& uri) {
  return std::string(kImageStreamTag) + "BANDWIDTH=" + std::to_string(bandwidth) +
         ",RESOLUTION=" + grid(plan.layout.cellW, plan.layout.cellH) + ",CODECS=\"jpeg\",URI=\"" +
         uri + "\"";
}

std::string withImageStream(std::string_view master, const std::string& line,
                            const std::string& uri) {
  std::string_view body = master;
  if (body.starts_with("\xEF\xBB\xBF")) body.remove_prefix(3);
  if (!body.starts_with("#EXTM3U")) throw HlsError("it does not begin with #EXTM3U");
  const std::string end = master.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";

  std::string out;
  bool placed = false;
  for (size_t begin = 0; begin < master.size();) {
    const size_t newline = master.find('\n', begin);
    const size_t next = newline == std::string_view::npos ? master.size() : newline + 1;
    const std::string_view whole = master.substr(begin, next - begin);
    const std::string_view text = bare(whole);
    begin = next;
    if (text.starts_with("#EXTINF:") || text.starts_with("#EXT-X-TARGETDURATION:")) {
      throw HlsError("it is a media playlist, not a master playlist");
    }
    if (text.starts_with(kImageStreamTag) && uriOf(text) == uri) {
      if (!placed) out += line + std::string(whole.substr(text.size()));
      placed = true;
      continue;
    }
    out += whole;
  }
  if (!placed) {
    if (!out.empty() && !out.ends_with('\n')) out += end;
    out += line + end;
  }
  return out;
}

}  // namespace sprites
