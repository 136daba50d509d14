#include "summary.h"

#include <cstdio>

namespace sprites {

namespace {

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string format(const char* pattern, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, values...);
  return text;
}

}  // namespace

std::string jsonSummary(const RunSummary& run) {
  const StreamInfo& info = run.info;
  const bool swapped = swapsSides(info.orientation);
  std::string names;
  for (const Sheet& s : run.sheets) names += (names.empty() ? "" : ", ") + jsonString(s.name);
  const std::string truncated = info.truncation
                                    ? format("{\"dataEnd\": %.3f, \"declared\": %.3f}",
                                             info.truncation->dataEnd, info.truncation->declared)
                                    : "null";
  std::string json = "{\"input\": " + jsonString(run.options.input) +
                     ", \"output\": " + jsonString(run.options.output) + ", \"codec\": \"" +
                     (info.codec == mosaickit::Codec::h264 ? "h264" : "h265") + "\"";
  json += format(
      ", \"video\": {\"width\": %d, \"height\": %d, \"rotation\": \"%s\", \"sar\": \"%d:%d\", "
      "\"duration\": %.3f, \"keyframes\": %zu}",
      swapped ? info.height : info.width, swapped ? info.width : info.height,
      describe(info.orientation).c_str(), info.sarNum, info.sarDen, info.duration,
      info.keyframeTimes.size());
  json += format(", \"thumbnail\": {\"width\": %d, \"height\": %d}", run.layout.cellW,
                 run.layout.cellH);
  json +=
      format(", \"grid\": {\"columns\": %d, \"rows\": %d}", run.layout.columns, run.layout.rows);
  json += ", \"sheets\": [" + names + "], \"vtt\": \"thumbnails.vtt\"";
  json += format(", \"cues\": %zu, \"jobs\": %zu, \"truncated\": ", run.cues, run.totals.jobs) +
          truncated;
  json += format(
      ", \"timings\": {\"scanMillis\": %.1f, \"totalMillis\": %.1f, \"decodeMicros\": %llu, "
      "\"encodeMicros\": %llu, \"cpuMicros\": %llu}}\n",
      run.scanMillis, run.totalMillis, static_cast<unsigned long long>(run.totals.decodeMicros),
      static_cast<unsigned long long>(run.totals.encodeMicros),
      static_cast<unsigned long long>(run.totals.cpuMicros));
  return json;
}

}  // namespace sprites
