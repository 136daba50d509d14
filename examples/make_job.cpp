// Writes one gridwright job frame to standard output: the keyframes of a raw H.264 or H.265
// stream (Annex-B, as `ffmpeg -f h264` or `-f hevc` writes it) laid out in one grid.
//
//   make_job clip.h264 [--columns N] [--fit WxH] [--quality Q] > job.bin
//   make_job clip.h264 | gridwright | describe_frames --save out/
//
// The codec comes from the file name: .h265 or .hevc for H.265, anything else H.264.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "mosaickit/annexb.h"
#include "mosaickit/frame_io.h"
#include "mosaickit/protocol.h"

namespace {

using namespace mosaickit;

struct Options {
  std::string input;
  int columns = 5;
  int fitW = 160, fitH = 90;
  int quality = 5;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(
      stderr, "make_job: %s\nusage: make_job INPUT [--columns N] [--fit WxH] [--quality Q]\n", why);
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--columns" && hasValue) {
      o.columns = std::atoi(argv[++i]);
    } else if (arg == "--fit" && hasValue) {
      if (std::sscanf(argv[++i], "%dx%d", &o.fitW, &o.fitH) != 2) usage("bad --fit");
    } else if (arg == "--quality" && hasValue) {
      o.quality = std::atoi(argv[++i]);
    } else if (o.input.empty() && arg[0] != '-') {
      o.input = arg;
    } else {
      usage(("unknown argument " + arg).c_str());
    }
  }
  if (o.input.empty()) usage("no input");
  if (o.columns < 1) usage("bad --columns");
  return o;
}

Job keyframeJob(const AnnexBStream& stream, const Options& o) {
  Job job;
  job.codec = static_cast<uint8_t>(stream.codec);
  job.paramSets = stream.paramSets;
  job.fitW = job.cellW = o.fitW;
  job.fitH = job.cellH = o.fitH;
  job.quality = o.quality;
  for (size_t k = 0; k < stream.accessUnits.size() && job.frames.size() < blackCell; ++k) {
    if (stream.keyframes[k]) job.frames.push_back(stream.accessUnits[k]);
  }
  const int count = static_cast<int>(job.frames.size());
  const int columns = std::min(o.columns, std::max(count, 1));
  const int rows = std::max((count + columns - 1) / columns, 1);
  Level level{columns, rows, std::vector<uint16_t>(static_cast<size_t>(columns * rows), blackCell)};
  for (int k = 0; k < count; ++k) level.indices[static_cast<size_t>(k)] = static_cast<uint16_t>(k);
  job.levels = {level};
  return job;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  std::ifstream in(options.input, std::ios::binary);
  if (!in) usage(("cannot read " + options.input).c_str());
  const Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const bool h265 = options.input.ends_with(".h265") || options.input.ends_with(".hevc");
  const AnnexBStream stream = splitAnnexB(h265 ? Codec::h265 : Codec::h264, bytes);
  const Job job = keyframeJob(stream, options);
  std::fprintf(stderr, "make_job: %zu access units, %zu keyframes in the job\n",
               stream.accessUnits.size(), job.frames.size());
  try {
    FrameWriter(STDOUT_FILENO).send(Frame{static_cast<uint8_t>(FrameType::job), 1, job.encode()});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_job: %s\n", e.what());
    return 1;
  }
  return 0;
}
