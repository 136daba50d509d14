#include "summary.h"

#include <cstdio>
#include <string_view>

#include "vtt_track.h"

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

std::string jsonList(const std::vector<std::string>& items) {
  std::string list;
  for (const std::string& item : items) list += (list.empty() ? "" : ", ") + jsonString(item);
  return "[" + list + "]";
}

std::string jsonPathOrNull(const std::string& path) {
  return path.empty() ? "null" : jsonString(path);
}

std::vector<std::string> formatNames(const Formats& f) {
  std::vector<std::string> names;
  if (f.vtt) names.push_back("vtt");
  if (f.hls) names.push_back("hls");
  if (f.dash) names.push_back("dash");
  if (f.bif) names.push_back("bif");
  return names;
}

}  // namespace

std::string jsonSummary(const RunSummary& run) {
  const StreamInfo& info = run.info;
  const SpritePlan& plan = run.plan;
  const Options& o = run.options;
  const bool swapped = swapsSides(info.orientation);
  std::vector<std::string> sheets;
  for (const Sheet& s : plan.sheets) sheets.push_back(s.name);
  const std::string truncated = info.truncation
                                    ? format("{\"dataEnd\": %.3f, \"declared\": %.3f}",
                                             info.truncation->dataEnd, info.truncation->declared)
                                    : "null";
  std::string json = "{\"input\": " + jsonString(run.input) +
                     ", \"output\": " + jsonString(run.output) + ", \"status\": \"" +
                     (info.truncation ? "truncated" : "done") + "\", \"codec\": \"" +
                     (info.codec == mosaickit::Codec::h264 ? "h264" : "h265") + "\"";
  json += format(
      ", \"video\": {\"width\": %d, \"height\": %d, \"rotation\": \"%s\", \"sar\": \"%d:%d\", "
      "\"duration\": %.3f, \"keyframes\": %zu, \"read\": \"%s\"}",
      swapped ? info.height : info.width, swapped ? info.width : info.height,
      describe(info.orientation).c_str(), info.sarNum, info.sarDen, info.duration,
      info.keyframeTimes.size(), run.readThroughIndex ? "index" : "every packet");
  json += format(", \"thumbnail\": {\"width\": %d, \"height\": %d}", plan.layout.cellW,
                 plan.layout.cellH);
  json +=
      format(", \"grid\": {\"columns\": %d, \"rows\": %d}", plan.layout.columns, plan.layout.rows);
  json += ", \"formats\": " + jsonList(formatNames(o.formats));
  json += format(", \"thumbnails\": %zu, \"interval\": ", plan.thumbnails.size()) +
          (plan.interval > 0 ? format("%.6f", plan.interval) : "null");
  json += ", \"sheets\": " + jsonList(sheets) +
          ", \"vtt\": " + (o.formats.vtt ? "\"thumbnails.vtt\"" : "null");
  json += format(", \"cues\": %zu", o.formats.vtt ? cueCount(plan.thumbnails) : 0);
  json += ", \"files\": " + jsonList(run.files) +
          ", \"hlsMaster\": " + jsonPathOrNull(o.hlsMaster) +
          ", \"dashMpd\": " + jsonPathOrNull(o.dashMpd);
  json += format(", \"jobs\": %zu, \"truncated\": ", run.totals.jobs) + truncated;
  json += format(
      ", \"bytesRead\": %llu, \"timings\": {\"scanMillis\": %.1f, \"totalMillis\": %.1f, "
      "\"decodeMicros\": %llu, "
      "\"encodeMicros\": %llu, \"cpuMicros\": %llu}}\n",
      static_cast<unsigned long long>(run.bytesRead), run.scanMillis, run.totalMillis,
      static_cast<unsigned long long>(run.totals.decodeMicros),
      static_cast<unsigned long long>(run.totals.encodeMicros),
      static_cast<unsigned long long>(run.totals.cpuMicros));
  return json;
}

uint64_t bytesReadSoFar() {
  // The calling thread's count: files made side by side are each read by a thread of its own.
  std::FILE* io = std::fopen("/proc/thread-self/io", "r");
  if (io == nullptr) return 0;
  unsigned long long read = 0;
  char key[32];
  while (std::fscanf(io, "%31s %llu", key, &read) == 2 && std::string_view(key) != "rchar:") {
  }
  std::fclose(io);
  return read;
}

std::string fileLine(const std::string& input, const std::string& output, const std::string& status,
                     const std::string& reason) {
  return "{\"input\": " + jsonString(input) + ", \"output\": " + jsonString(output) +
         ", \"status\": " + jsonString(status) +
         ", \"reason\": " + (reason.empty() ? "null" : jsonString(reason)) + "}\n";
}

std::string totalsLine(size_t files, size_t done, size_t upToDate, size_t truncated, size_t failed,
                       double totalMillis) {
  return format(
      "{\"totals\": {\"files\": %zu, \"done\": %zu, \"upToDate\": %zu, \"truncated\": %zu, "
      "\"failed\": %zu, \"totalMillis\": %.1f}}\n",
      files, done, upToDate, truncated, failed, totalMillis);
}

}  // namespace sprites
