// One job through the installed gridwright daemon: the keyframes of a raw H.264 or H.265 stream
// (at most ten) in one row of 160 x 90 cells. Prints the daemon's greeting and what came back.
//
//   parent CLIP.h264|CLIP.h265 [OUT.jpg]

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

#include "mosaickit/annexb.h"
#include "mosaickit/client.h"
#include "mosaickit/protocol.h"

namespace {

using namespace mosaickit;

Job keyframeRow(const AnnexBStream& stream) {
  Job job;
  job.codec = static_cast<uint8_t>(stream.codec);
  job.paramSets = stream.paramSets;
  job.fitW = job.cellW = 160;
  job.fitH = job.cellH = 90;
  job.quality = 5;
  for (size_t k = 0; k < stream.accessUnits.size() && job.frames.size() < 10; ++k) {
    if (stream.keyframes[k]) job.frames.push_back(stream.accessUnits[k]);
  }
  Level row{static_cast<uint16_t>(job.frames.size()), 1, {}};
  for (size_t k = 0; k < job.frames.size(); ++k) row.indices.push_back(static_cast<uint16_t>(k));
  job.levels.push_back(row);
  return job;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: parent CLIP.h264|CLIP.h265 [OUT.jpg]\n");
    return 2;
  }
  const std::string path = argv[1];
  std::ifstream in(path, std::ios::binary);
  const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const Codec codec =
      path.ends_with(".h265") || path.ends_with(".hevc") ? Codec::h265 : Codec::h264;
  const AnnexBStream stream = splitAnnexB(codec, bytes);
  try {
    Client client(ClientOptions{GRIDWRIGHT_DAEMON});
    std::printf("daemon: %s, %d jobs at once\n", client.version().c_str(), client.maxInflight());
    const JobOutcome outcome = client.run(keyframeRow(stream));
    if (const auto* error = std::get_if<JobError>(&outcome)) {
      std::printf("error %d: %s\n", static_cast<int>(error->code()), error->message().c_str());
      return 1;
    }
    const JobResult& result = std::get<JobResult>(outcome);
    std::printf("result: %zu JPEG of %zu bytes, decode %u us\n", result.jpegs.size(),
                result.jpegs.at(0).size(), result.decodeMicros);
    if (argc > 2) {
      std::ofstream(argv[2], std::ios::binary)
          .write(reinterpret_cast<const char*>(result.jpegs[0].data()),
                 static_cast<std::streamsize>(result.jpegs[0].size()));
    }
    return client.close().clean() ? 0 : 1;
  } catch (const ClientError& e) {
    std::fprintf(stderr, "parent: %s\n", e.what());
    return 1;
  }
}
