#include "mosaickit/protocol.h"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>

namespace mosaickit {

namespace {

constexpr std::array<uint8_t, 4> kHelloMagic = {'G', 'W', 'R', 'T'};
constexpr size_t kMaxErrorMessageBytes = 65535;

JobError badRequest(std::string message) {
  return JobError(ErrorCode::badRequest, std::move(message));
}

// Encoders never truncate, wrap or clamp: a value too wide for its field is a caller's bug.
template <typename Narrow, typename Wide>
Narrow checkedNarrow(Wide value, const char* field) {
  if (value < 0 || static_cast<uint64_t>(value) > std::numeric_limits<Narrow>::max()) {
    throw std::length_error(std::string(field) + " does not fit its wire field");
  }
  return static_cast<Narrow>(value);
}

ByteView asBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Number of bytes of the well-formed UTF-8 sequence starting at s[0], or 0 when it is
// ill-formed; `bad` then receives the length of its maximal ill-formed subpart (at least 1).
size_t wellFormedLength(ByteView s, size_t& bad) {
  const uint8_t b0 = s[0];
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    bad = 1;
    return 0;
  }
  for (size_t k = 1; k < need; ++k) {
    const uint8_t lower = k == 1 ? lo : 0x80, upper = k == 1 ? hi : 0xBF;
    if (k >= s.size() || s[k] < lower || s[k] > upper) {
      bad = k;
      return 0;
    }
  }
  return need;
}

}  // namespace

std::optional<FrameType> frameTypeFromRaw(uint8_t raw) {
  if (raw >= 1 && raw <= 4) return static_cast<FrameType>(raw);
  return std::nullopt;
}

std::optional<ErrorCode> errorCodeFromRaw(uint16_t raw) {
  if (raw >= 1 && raw <= 5) return static_cast<ErrorCode>(raw);
  return std::nullopt;
}

std::optional<Codec> codecFromRaw(uint8_t raw) {
  if (raw == 1 || raw == 2) return static_cast<Codec>(raw);
  return std::nullopt;
}

std::string decodeUTF8Lossy(ByteView bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string text;
  text.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    const size_t n = wellFormedLength(bytes.subspan(i), bad);
    if (n == 0) {
      text += kReplacement;
      i += bad;
    } else {
      text.append(reinterpret_cast<const char*>(bytes.data() + i), n);
      i += n;
    }
  }
  return text;
}

// ---- JobError

JobError::JobError(ErrorCode code, std::string message)
    : code_(code), message_(std::move(message)) {}

Bytes JobError::encode() const {
  const size_t kept = std::min(message_.size(), kMaxErrorMessageBytes);
  ByteWriter w;
  w.u16(static_cast<uint16_t>(code_));
  w.u16(static_cast<uint16_t>(kept));
  w.bytes(asBytes(std::string_view(message_).substr(0, kept)));
  return std::move(w).take();
}

JobError JobError::parse(ByteView payload) {
  ByteReader r(payload);
  const uint16_t code = r.u16();
  const uint16_t length = r.u16();
  const Bytes text = r.bytes(length);
  r.finish();
  return JobError(errorCodeFromRaw(code).value_or(ErrorCode::internalError), decodeUTF8Lossy(text));
}

// ---- Frame and the byte codec

Bytes Frame::encodeHeader() const {
  ByteWriter w;
  w.u32(checkedNarrow<uint32_t>(payload.size() + 5, "frame length"));
  w.u8(type);
  w.u32(reqID);
  return std::move(w).take();
}

Bytes Frame::encode() const {
  Bytes wire = encodeHeader();
  wire.insert(wire.end(), payload.begin(), payload.end());
  return wire;
}

void ByteWriter::u16(uint16_t v) {
  buf_.push_back(static_cast<uint8_t>(v));
  buf_.push_back(static_cast<uint8_t>(v >> 8));
}

void ByteWriter::u32(uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) buf_.push_back(static_cast<uint8_t>(v >> shift));
}

void ByteReader::need(size_t n) const {
  if (b_.size() - i_ < n) throw badRequest("payload truncated at byte " + std::to_string(i_));
}

uint8_t ByteReader::u8() {
  need(1);
  return b_[i_++];
}

uint16_t ByteReader::u16() {
  need(2);
  const uint16_t v = static_cast<uint16_t>(b_[i_] | (b_[i_ + 1] << 8));
  i_ += 2;
  return v;
}

uint32_t ByteReader::u32() {
  need(4);
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = (v << 8) | b_[i_ + k];
  i_ += 4;
  return v;
}

Bytes ByteReader::bytes(size_t n) {
  need(n);
  Bytes out(b_.begin() + i_, b_.begin() + i_ + n);
  i_ += n;
  return out;
}

void ByteReader::finish() const {
  if (!atEnd()) throw badRequest(std::to_string(b_.size() - i_) + " trailing bytes in payload");
}

// ---- Hello

Bytes Hello::encode() const {
  ByteWriter w;
  w.bytes(kHelloMagic);
  w.u16(protocolVersion);
  w.u8(caps);
  w.u8(maxInflight);
  w.u16(checkedNarrow<uint16_t>(version.size(), "version text"));
  w.bytes(asBytes(version));
  return std::move(w).take();
}

Hello Hello::parse(ByteView payload) {
  ByteReader r(payload);
  const Bytes magic = r.bytes(kHelloMagic.size());
  if (!std::equal(magic.begin(), magic.end(), kHelloMagic.begin())) throw badRequest("bad magic");
  if (r.u16() != protocolVersion) throw badRequest("bad proto");
  Hello hello;
  hello.caps = r.u8();
  hello.maxInflight = r.u8();
  const uint16_t length = r.u16();
  hello.version = decodeUTF8Lossy(r.bytes(length));
  r.finish();
  return hello;
}

// ---- Job

namespace {

Level parseLevel(ByteReader& r) {
  Level level;
  level.cellsW = r.u16();
  level.cellsH = r.u16();
  const uint16_t nCells = r.u16();
  if (static_cast<uint64_t>(nCells) !=
      static_cast<uint64_t>(level.cellsW) * static_cast<uint64_t>(level.cellsH)) {
    throw badRequest("nCells " + std::to_string(nCells) + " != " + std::to_string(level.cellsW) +
                     "x" + std::to_string(level.cellsH));
  }
  level.indices.reserve(nCells);
  for (uint16_t k = 0; k < nCells; ++k) level.indices.push_back(r.u16());
  return level;
}

}  // namespace

Job Job::parse(ByteView payload) {
  ByteReader r(payload);
  Job job;
  job.codec = r.u8();
  job.nalLengthSize = r.u8();
  const uint8_t paramSetCount = r.u8();
  for (uint8_t k = 0; k < paramSetCount; ++k) job.paramSets.push_back(r.bytes(r.u16()));
  job.fitW = r.u16();
  job.fitH = r.u16();
  job.padX = r.u16();
  job.padY = r.u16();
  job.cellW = r.u16();
  job.cellH = r.u16();
  job.quality = r.u8();
  const uint16_t frameCount = r.u16();
  // Each frame needs at least its 4-byte length field, so a count beyond what the payload can
  // hold is caught by the reads below without reserving memory for it first.
  for (uint16_t k = 0; k < frameCount; ++k) job.frames.push_back(r.bytes(r.u32()));
  const uint8_t levelCount = r.u8();
  for (uint8_t k = 0; k < levelCount; ++k) job.levels.push_back(parseLevel(r));
  r.finish();
  return job;
}

Bytes Job::encode() const {
  ByteWriter w;
  w.u8(codec);
  w.u8(nalLengthSize);
  w.u8(checkedNarrow<uint8_t>(paramSets.size(), "parameter set count"));
  for (const Bytes& set : paramSets) {
    w.u16(checkedNarrow<uint16_t>(set.size(), "parameter set length"));
    w.bytes(set);
  }
  for (int v : {fitW, fitH, padX, padY, cellW, cellH}) w.u16(checkedNarrow<uint16_t>(v, "size"));
  w.u8(checkedNarrow<uint8_t>(quality, "quality"));
  w.u16(checkedNarrow<uint16_t>(frames.size(), "frame count"));
  for (const Bytes& frame : frames) {
    w.u32(checkedNarrow<uint32_t>(frame.size(), "frame length"));
    w.bytes(frame);
  }
  w.u8(checkedNarrow<uint8_t>(levels.size(), "level count"));
  for (const Level& level : levels) {
    w.u16(checkedNarrow<uint16_t>(level.cellsW, "cellsW"));
    w.u16(checkedNarrow<uint16_t>(level.cellsH, "cellsH"));
    w.u16(checkedNarrow<uint16_t>(level.indices.size(), "nCells"));
    for (uint16_t index : level.indices) w.u16(index);
  }
  return std::move(w).take();
}

namespace {

using std::to_string;

void validateLevel(const Level& level, size_t j, const Job& job) {
  const std::string prefix = "level " + to_string(j) + ": ";
  const int64_t cells = int64_t{level.cellsW} * level.cellsH;
  if (level.cellsW < 1 || level.cellsH < 1 || static_cast<int64_t>(level.indices.size()) != cells) {
    throw badRequest(prefix + "bad grid " + to_string(level.cellsW) + "x" +
                     to_string(level.cellsH));
  }
  const int64_t canvasW = int64_t{level.cellsW} * job.cellW;
  const int64_t canvasH = int64_t{level.cellsH} * job.cellH;
  if (canvasW > Job::maxCanvasSide || canvasH > Job::maxCanvasSide) {
    throw badRequest(prefix + "canvas " + to_string(canvasW) + "x" + to_string(canvasH) + " over " +
                     to_string(Job::maxCanvasSide));
  }
  for (uint16_t index : level.indices) {
    if (index != blackCell && index >= job.frames.size()) {
      throw badRequest(prefix + "frame index " + to_string(index) +
                       " >= " + to_string(job.frames.size()));
    }
  }
}

}  // namespace

void Job::validate() const {
  if (!codecFromRaw(codec)) {
    throw JobError(ErrorCode::unsupported, "codec " + to_string(codec));
  }
  if (nalLengthSize != 4) {
    throw JobError(ErrorCode::unsupported, "nalLengthSize " + to_string(nalLengthSize));
  }
  const size_t wanted = codec == static_cast<uint8_t>(Codec::h265) ? 3 : 2;
  const bool anyEmpty =
      std::any_of(paramSets.begin(), paramSets.end(), [](const Bytes& s) { return s.empty(); });
  if (paramSets.size() != wanted || anyEmpty) {
    throw badRequest("want " + to_string(wanted) + " non-empty parameter sets, got " +
                     to_string(paramSets.size()));
  }
  if (quality < 1 || quality > 31) throw badRequest("quality " + to_string(quality));
  if (fitW < 1 || fitH < 1 || cellW < 1 || cellH < 1) {
    throw badRequest("zero size: fit " + to_string(fitW) + "x" + to_string(fitH) + " cell " +
                     to_string(cellW) + "x" + to_string(cellH));
  }
  // A negative offset (possible only for a job built in memory) would place the picture outside
  // its cell just as an offset that is too large does.
  if (padX < 0 || padY < 0 || int64_t{padX} + fitW > cellW || int64_t{padY} + fitH > cellH) {
    throw badRequest("fit " + to_string(fitW) + "x" + to_string(fitH) + " at " + to_string(padX) +
                     "," + to_string(padY) + " outside cell " + to_string(cellW) + "x" +
                     to_string(cellH));
  }
  if (levels.empty()) throw badRequest("no levels");
  for (const Bytes& frame : frames) {
    if (frame.empty()) throw badRequest("empty frame");
  }
  for (size_t j = 0; j < levels.size(); ++j) validateLevel(levels[j], j, *this);
  // Every scaled picture stays in memory until the job ends, so a small payload of tiny frames
  // with a large fit size could otherwise ask for terabytes.
  const int64_t scaledBytes = static_cast<int64_t>(referencedFrames().size()) * fitW * fitH * 4;
  if (scaledBytes > maxScaledBytes) {
    throw badRequest("scaled pictures need " + to_string(scaledBytes) + " bytes, over " +
                     to_string(maxScaledBytes));
  }
}

std::vector<size_t> Job::referencedFrames() const {
  std::vector<bool> used(frames.size());
  for (const Level& level : levels) {
    for (uint16_t index : level.indices) {
      if (index != blackCell && index < frames.size()) used[index] = true;
    }
  }
  std::vector<size_t> positions;
  for (size_t k = 0; k < used.size(); ++k) {
    if (used[k]) positions.push_back(k);
  }
  return positions;
}

// ---- JobResult

Bytes JobResult::encode() const {
  ByteWriter w;
  w.u32(decodeMicros);
  w.u32(encodeMicros);
  w.u32(cpuMicros);
  w.u8(checkedNarrow<uint8_t>(jpegs.size(), "JPEG count"));
  for (const Bytes& jpeg : jpegs) {
    w.u32(checkedNarrow<uint32_t>(jpeg.size(), "JPEG length"));
    w.bytes(jpeg);
  }
  return std::move(w).take();
}

JobResult JobResult::parse(ByteView payload) {
  ByteReader r(payload);
  JobResult result;
  result.decodeMicros = r.u32();
  result.encodeMicros = r.u32();
  result.cpuMicros = r.u32();
  const uint8_t count = r.u8();
  for (uint8_t k = 0; k < count; ++k) result.jpegs.push_back(r.bytes(r.u32()));
  r.finish();
  return result;
}

}  // namespace mosaickit
