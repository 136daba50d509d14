#include "bif_file.h"

#include <array>
#include <string>

namespace sprites {

namespace {

constexpr std::array<uint8_t, 8> kMagic = {0x89, 0x42, 0x49, 0x46, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr uint32_t kVersion = 0;
constexpr uint32_t kMillisecondsPerUnit = 1000;
constexpr size_t kHeaderSize = 64;

void putU32(mosaickit::Bytes& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

mosaickit::Bytes bifFile(const std::vector<uint32_t>& timestamps,
                         const std::vector<mosaickit::Bytes>& images) {
  const size_t indexSize = (images.size() + 1) * 8;
  uint64_t length = kHeaderSize + indexSize;
  for (const mosaickit::Bytes& image : images) length += image.size();
  if (length > UINT32_MAX) {
    throw BifError("its " + std::to_string(images.size()) + " images take " +
                   std::to_string(length) + " bytes, over the 4 GiB a BIF file can index");
  }
  mosaickit::Bytes out(kMagic.begin(), kMagic.end());
  out.reserve(static_cast<size_t>(length));
  putU32(out, kVersion);
  putU32(out, static_cast<uint32_t>(images.size()));
  putU32(out, kMillisecondsPerUnit);
  out.resize(kHeaderSize, 0);
  uint32_t offset = static_cast<uint32_t>(kHeaderSize + indexSize);
  for (size_t i = 0; i < images.size(); ++i) {
    putU32(out, timestamps[i]);
    putU32(out, offset);
    offset += static_cast<uint32_t>(images[i].size());
  }
  putU32(out, 0xFFFFFFFF);
  putU32(out, offset);
  for (const mosaickit::Bytes& image : images) out.insert(out.end(), image.begin(), image.end());
  return out;
}

}  // namespace sprites
