// Resident memory of a process that holds many idle pooled decoders, the way the daemon's pool
// may hold them for its whole life: each decoder has decoded a few 1080p pictures, released
// them and gone back to the pool.
//
// Usage: bench_idle_decoders [COUNT [CLIP [IDLE_MIB]]] (defaults: 48, h264_rgb_1920x1080, and the
// daemon's idle budget on a machine of 16 GiB or more, 256 MiB; 0 for none). Prints resident
// memory before, with the decoders idle, and the difference per decoder; with the pictures held
// instead (as a pool that kept frame pools would) for comparison. Not a timed test.

#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "mosaickit/decoder_cache.h"
#include "support/clips.h"

namespace {

using mosaickit::DecodeInput;
using mosaickit::Decoder;
using mosaickit::DecoderCache;
using mosaickit::DecoderKey;
using mosaickit::Picture;

// Bytes the heap has handed out and not yet had back.
long heapInUseKiB() {
  return static_cast<long>(mallinfo2().uordblks / 1024);
}

// VmRSS of this process in KiB, after returning freed heap memory to the system.
long residentKiB() {
  malloc_trim(0);
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Decodes the whole clip; keeps its pictures in `held` when given.
void decodeClip(Decoder& decoder, const testing_support::Clip& clip, std::vector<Picture>* held) {
  std::vector<DecodeInput> inputs;
  for (size_t i = 0; i < clip.accessUnits.size(); ++i) inputs.push_back({i, clip.accessUnits[i]});
  decoder.decode(inputs, [&](size_t, Picture&& picture) {
    if (held != nullptr) held->push_back(std::move(picture));
  });
}

}  // namespace

int main(int argc, char** argv) {
  const size_t count = argc > 1 ? std::stoul(argv[1]) : 48;
  const std::string name = argc > 2 ? argv[2] : "h264_rgb_1920x1080";
  const uint64_t idleMiB = argc > 3 ? std::stoull(argv[3]) : 256;
  const uint64_t idleBytes = idleMiB == 0 ? mosaickit::MemoryBudget::unlimited : idleMiB << 20;
  const testing_support::Clip clip = testing_support::loadClip(name);
  const DecoderKey key{clip.codec, clip.paramSets};

  // Warm up the libraries once, so that their one-time tables do not count against the pool.
  {
    Decoder warm(key);
    decodeClip(warm, clip, nullptr);
  }
  const long before = residentKiB();
  const long heapBefore = heapInUseKiB();

  DecoderCache cache(count, 120.0, DecoderCache::uptimeSeconds, idleBytes);
  std::vector<std::unique_ptr<Decoder>> lent;
  for (size_t i = 0; i < count; ++i) {
    lent.push_back(cache.checkout(key));
    decodeClip(*lent.back(), clip, nullptr);
  }
  for (auto& decoder : lent) cache.checkin(std::move(decoder));
  const long idle = residentKiB();
  const long heapIdle = heapInUseKiB();

  std::vector<Picture> held;
  for (size_t i = 0; i < count; ++i) {
    auto decoder = cache.checkout(key);
    decodeClip(*decoder, clip, &held);
    cache.checkin(std::move(decoder));
  }
  const long holding = residentKiB();

  std::printf("clip %s, %zu idle decoders in the pool\n", name.c_str(), cache.idleCount());
  std::printf("resident before:      %8ld KiB\n", before);
  std::printf("resident, all idle:   %8ld KiB  (+%ld KiB, %.1f KiB per decoder)\n", idle,
              idle - before, static_cast<double>(idle - before) / static_cast<double>(count));
  std::printf("heap in use, all idle: +%ld KiB (%.1f KiB per decoder)\n", heapIdle - heapBefore,
              static_cast<double>(heapIdle - heapBefore) / static_cast<double>(count));
  std::printf("resident, %zu pictures held outside the pool: %ld KiB (+%ld KiB)\n", held.size(),
              holding, holding - idle);
  return 0;
}
