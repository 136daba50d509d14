#include "support/clips.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {
namespace {

using mosaickit::Bytes;
using mosaickit::Codec;

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read clip file " + path);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The NAL units of an Annex-B stream, without their start codes.
std::vector<Bytes> splitAnnexB(const Bytes& stream) {
  std::vector<Bytes> units;
  size_t start = std::string::npos;
  size_t i = 0;
  while (i + 3 <= stream.size()) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      if (start != std::string::npos) {
        size_t end = i;
        while (end > start && stream[end - 1] == 0) --end;  // zero_byte of a 4-byte start code
        units.emplace_back(stream.begin() + start, stream.begin() + end);
      }
      i += 3;
      start = i;
    } else {
      ++i;
    }
  }
  if (start != std::string::npos) units.emplace_back(stream.begin() + start, stream.end());
  return units;
}

enum class NalRole { delimiter, parameterSet, slice, other };

NalRole roleOf(Codec codec, const Bytes& nal) {
  if (codec == Codec::h264) {
    const int type = nal[0] & 0x1F;
    if (type == 9) return NalRole::delimiter;
    if (type == 7 || type == 8) return NalRole::parameterSet;
    return type >= 1 && type <= 5 ? NalRole::slice : NalRole::other;
  }
  const int type = (nal[0] >> 1) & 0x3F;
  if (type == 35) return NalRole::delimiter;
  if (type >= 32 && type <= 34) return NalRole::parameterSet;
  return type <= 31 ? NalRole::slice : NalRole::other;
}

void appendWithLength(Bytes& unit, const Bytes& nal) {
  const size_t n = nal.size();
  for (int shift = 24; shift >= 0; shift -= 8) unit.push_back(static_cast<uint8_t>(n >> shift));
  unit.insert(unit.end(), nal.begin(), nal.end());
}

// Parameter sets before the first slice go to the key, later repeats are dropped. A delimiter
// after a slice starts the next access unit; the first one starts with the stream (a remuxed
// stream may put SEI or parameter sets before its first delimiter).
Clip splitClip(Codec codec, const Bytes& stream) {
  Clip clip{codec, {}, {{}}};
  bool sawSlice = false;
  bool unitHasSlice = false;
  for (const Bytes& nal : splitAnnexB(stream)) {
    if (nal.empty()) continue;
    switch (roleOf(codec, nal)) {
      case NalRole::delimiter:
        if (unitHasSlice) clip.accessUnits.emplace_back();
        unitHasSlice = false;
        break;
      case NalRole::parameterSet:
        if (!sawSlice) clip.paramSets.push_back(nal);
        break;
      case NalRole::slice:
        sawSlice = unitHasSlice = true;
        appendWithLength(clip.accessUnits.back(), nal);
        break;
      case NalRole::other:
        appendWithLength(clip.accessUnits.back(), nal);
        break;
    }
  }
  if (!unitHasSlice) clip.accessUnits.pop_back();
  return clip;
}

}  // namespace

std::string clipPath(std::string_view name) {
  const std::string base = std::string(GRIDWRIGHT_CLIPS_DIR) + "/" + std::string(name);
  return std::filesystem::exists(base + ".h265") ? base + ".h265" : base + ".h264";
}

Clip loadClip(std::string_view name) {
  const std::string path = clipPath(name);
  const Codec codec = path.ends_with(".h265") ? Codec::h265 : Codec::h264;
  Clip clip = splitClip(codec, readFile(path));
  if (clip.paramSets.empty() || clip.accessUnits.empty()) {
    throw std::runtime_error("clip without parameter sets or access units: " + path);
  }
  return clip;
}

std::vector<int> loadDisplayOrder(std::string_view name) {
  const std::string path = std::string(GRIDWRIGHT_CLIPS_DIR) + "/" + std::string(name) + ".order";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::vector<int>(std::istream_iterator<int>(in), std::istream_iterator<int>());
}

Bytes loadReferenceDecode(std::string_view name) {
  return readFile(std::string(GRIDWRIGHT_CLIPS_DIR) + "/" + std::string(name) + ".yuv");
}

}  // namespace testing_support
