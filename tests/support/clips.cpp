#include "support/clips.h"

#include "mosaickit/annexb.h"

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

}  // namespace

mosaickit::Job rowJob(const Clip& clip, int fitW, int fitH) {
  mosaickit::Job job;
  job.codec = static_cast<uint8_t>(clip.codec);
  job.paramSets = clip.paramSets;
  job.fitW = job.cellW = fitW;
  job.fitH = job.cellH = fitH;
  job.quality = 5;
  job.frames = clip.accessUnits;
  mosaickit::Level level{static_cast<int>(job.frames.size()), 1, {}};
  for (size_t k = 0; k < job.frames.size(); ++k) level.indices.push_back(static_cast<uint16_t>(k));
  job.levels = {level};
  return job;
}

std::string clipPath(std::string_view name) {
  const std::string base = std::string(GRIDWRIGHT_CLIPS_DIR) + "/" + std::string(name);
  return std::filesystem::exists(base + ".h265") ? base + ".h265" : base + ".h264";
}

Clip loadClip(std::string_view name) {
  const std::string path = clipPath(name);
  const Codec codec = path.ends_with(".h265") ? Codec::h265 : Codec::h264;
  mosaickit::AnnexBStream stream = mosaickit::splitAnnexB(codec, readFile(path));
  Clip clip{codec, std::move(stream.paramSets), std::move(stream.accessUnits)};
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
