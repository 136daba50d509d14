// Reads gridwright frames on standard input and describes each in words on standard output:
// the daemon's Hello, its results (timings and JPEG sizes) and its errors. With --save DIR, the
// JPEGs of every result are written there as <reqID>-<level>.jpg.
//
//   gridwright < jobs.bin | describe_frames --save out/

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "mosaickit/frame_io.h"
#include "mosaickit/protocol.h"

namespace {

using namespace mosaickit;

const char* codeName(ErrorCode code) {
  switch (code) {
    case ErrorCode::decode:
      return "decode";
    case ErrorCode::unsupported:
      return "unsupported";
    case ErrorCode::busy:
      return "busy";
    case ErrorCode::internalError:
      return "internalError";
    case ErrorCode::badRequest:
      return "badRequest";
  }
  return "?";
}

void describeHello(const Frame& frame) {
  const Hello hello = Hello::parse(frame.payload);
  std::printf("hello: protocol %u, version \"%s\", caps %u, up to %u jobs at once\n",
              protocolVersion, hello.version.c_str(), hello.caps, hello.maxInflight);
}

void describeResult(const Frame& frame, const std::string& saveDir) {
  const JobResult result = JobResult::parse(frame.payload);
  std::printf("result for job %u: decode %u us, encode %u us, cpu %u us, %zu JPEG(s)\n",
              frame.reqID, result.decodeMicros, result.encodeMicros, result.cpuMicros,
              result.jpegs.size());
  for (size_t level = 0; level < result.jpegs.size(); ++level) {
    const Bytes& jpeg = result.jpegs[level];
    std::printf("  level %zu: %zu bytes", level, jpeg.size());
    if (!saveDir.empty()) {
      const std::string path =
          saveDir + "/" + std::to_string(frame.reqID) + "-" + std::to_string(level) + ".jpg";
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(jpeg.data()),
                 static_cast<std::streamsize>(jpeg.size()));
      std::printf(" -> %s", path.c_str());
    }
    std::printf("\n");
  }
}

void describeError(const Frame& frame) {
  const JobError error = JobError::parse(frame.payload);
  std::printf("error for job %u: %s: %s\n", frame.reqID, codeName(error.code()),
              error.message().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string saveDir;
  if (argc == 3 && std::strcmp(argv[1], "--save") == 0) saveDir = argv[2];
  FrameReader reader(STDIN_FILENO);
  try {
    while (std::optional<Frame> frame = reader.next()) {
      switch (frameTypeFromRaw(frame->type).value_or(FrameType::job)) {
        case FrameType::hello:
          describeHello(*frame);
          break;
        case FrameType::result:
          describeResult(*frame, saveDir);
          break;
        case FrameType::error:
          describeError(*frame);
          break;
        default:
          std::printf("unexpected frame type %u\n", frame->type);
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "describe_frames: %s\n", e.what());
    return 1;
  }
  return 0;
}
