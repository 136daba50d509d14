// Writes the decode target's seeds from the test clips: usage make_decode_seeds OUTDIR.
// Each clip gives a seed for each path (whole runner, decoder alone), in one fit size each.

#include <cstdio>
#include <fstream>
#include <string>

#include "decode_input.h"
#include "support/clips.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_decode_seeds OUTDIR\n");
    return 2;
  }
  struct Seed {
    const char* clip;
    size_t units;  // the clip's first access units only
    int fit;
    bool skipFirst;
  };
  const Seed seeds[] = {
      {"h264_bframes", 10, 0, false},
      {"h265_bframes", 10, 2, false},
      {"h264_bframes", 4, 1, true},
      {"h265_bframes", 4, 3, true},
      {"h264_crop_420", 2, 1, false},
      {"h264_crop_444", 2, 0, false},
      {"h265_crop_422_main10", 2, 2, false},
      {"h264_rgb_640x360_full", 3, 3, false},
      {"h265_rgb_640x360_main10", 3, 0, false},
  };
  int written = 0;
  for (const Seed& seed : seeds) {
    const testing_support::Clip clip = testing_support::loadClip(seed.clip);
    decode_fuzz::DecodeCase c;
    c.codec = clip.codec;
    c.fit = seed.fit;
    c.skipFirst = seed.skipFirst;
    c.paramSets = clip.paramSets;
    c.units.assign(clip.accessUnits.begin(),
                   clip.accessUnits.begin() + std::min(seed.units, clip.accessUnits.size()));
    for (bool direct : {false, true}) {
      c.direct = direct;
      const std::string path = std::string(argv[1]) + "/" + seed.clip + "-" +
                               std::to_string(seed.units) + (direct ? "-decoder" : "-runner");
      const mosaickit::Bytes bytes = decode_fuzz::encodeDecodeInput(c);
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
      ++written;
    }
  }
  std::printf("wrote %d seeds\n", written);
  return 0;
}
