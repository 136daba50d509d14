// Job payloads from the parent are untrusted: parsing and validating any bytes must end in a job
// or a JobError(badRequest), never a crash, and every payload that parses must encode back to
// the same bytes.

#include <cstdint>
#include <cstdlib>

#include "mosaickit/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace mosaickit;
  const ByteView payload(data, size);
  Job job;
  try {
    job = Job::parse(payload);
  } catch (const JobError& e) {
    if (e.code() != ErrorCode::badRequest) std::abort();
    return 0;
  }
  const Bytes again = job.encode();
  if (again.size() != size || !std::equal(again.begin(), again.end(), data)) std::abort();
  try {
    job.validate();
  } catch (const JobError&) {
  }
  return 0;
}
