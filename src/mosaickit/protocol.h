// The wire protocol between gridwright and its parent: constants, enumerations, the two error
// types, the frame value, the little-endian byte codec and the messages (Hello, Job with its
// validation, JobResult, JobError).
//
// Everything here is a plain value with no shared state: any thread may use its own values
// freely; sharing one value between threads needs external synchronisation.
//
// Failure model: every failure to parse a payload is a JobError with code badRequest; validation
// failures are JobErrors with the rule's code. ProtocolError belongs to the frame stream
// (frame_io) and is never thrown by message parsing. Breaking an encoder precondition (a field
// too wide for its wire width) is a programming error and throws std::length_error.

#ifndef MOSAICKIT_PROTOCOL_H_
#define MOSAICKIT_PROTOCOL_H_

#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mosaickit {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// Protocol version carried in the Hello.
inline constexpr uint16_t protocolVersion = 1;
// Largest length field a FrameReader accepts (64 MiB).
inline constexpr uint32_t maxFrameLength = 67108864;
// A level index with this value names no frame: the cell stays black.
inline constexpr uint16_t blackCell = 0xFFFF;

enum class FrameType : uint8_t { hello = 1, job = 2, result = 3, error = 4 };
enum class ErrorCode : uint16_t {
  decode = 1,
  unsupported = 2,
  busy = 3,
  internalError = 4,
  badRequest = 5
};
enum class Codec : uint8_t { h265 = 1, h264 = 2 };

// Raw-value conversions: an unrecognised raw value yields no value.
std::optional<FrameType> frameTypeFromRaw(uint8_t raw);
std::optional<ErrorCode> errorCodeFromRaw(uint16_t raw);
std::optional<Codec> codecFromRaw(uint8_t raw);

// The error every job step throws (parsing, admission, validation, decoding, scaling, encoding).
// It reaches the parent as an error frame; the daemon goes on.
class JobError : public std::exception {
 public:
  JobError(ErrorCode code, std::string message);

  ErrorCode code() const { return code_; }
  const std::string& message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

  // The error payload: u16 code, u16 length, the UTF-8 message cut to its first 65535 bytes
  // (the cut may split a character; parse repairs that). Never fails.
  Bytes encode() const;
  // Inverse of encode. Ill-formed UTF-8 becomes U+FFFD; codes other than 1-5 become
  // internalError. Throws JobError(badRequest) through the byte codec only.
  static JobError parse(ByteView payload);

  friend bool operator==(const JobError& a, const JobError& b) {
    return a.code_ == b.code_ && a.message_ == b.message_;
  }

 private:
  ErrorCode code_;
  std::string message_;
};

// A failure of the frame stream itself (framing or I/O). It ends the process.
class ProtocolError : public std::exception {
 public:
  explicit ProtocolError(std::string description) : description_(std::move(description)) {}
  const std::string& description() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  std::string description_;
};

// One protocol frame. `type` is the raw byte: any value 0-255 can be carried.
struct Frame {
  uint8_t type = 0;
  uint32_t reqID = 0;
  Bytes payload;

  // Wire bytes: u32 length (5 + payload size), u8 type, u32 reqID, payload.
  // REQUIRES: payload.size() + 5 fits in 32 bits (else std::length_error). maxFrameLength is a
  // reader's limit only; the encoder does not apply it.
  Bytes encode() const;
  // The 9 bytes of encode() before the payload. Same REQUIRES.
  Bytes encodeHeader() const;

  friend bool operator==(const Frame&, const Frame&) = default;
};

// Appends little-endian integers and raw bytes to a growing buffer.
class ByteWriter {
 public:
  void u8(uint8_t v) { buf_.push_back(v); }
  void u16(uint16_t v);
  void u32(uint32_t v);
  // Appends the bytes with no length prefix.
  void bytes(ByteView b) { buf_.insert(buf_.end(), b.begin(), b.end()); }

  const Bytes& buf() const { return buf_; }
  Bytes take() && { return std::move(buf_); }

 private:
  Bytes buf_;
};

// Reads little-endian integers and byte runs from a borrowed byte range, which must outlive the
// reader. A failed read throws JobError(badRequest, "payload truncated at byte " + position) and
// leaves the cursor where it was.
class ByteReader {
 public:
  explicit ByteReader(ByteView b) : b_(b) {}

  bool atEnd() const { return i_ == b_.size(); }
  size_t position() const { return i_; }
  void need(size_t n) const;
  uint8_t u8();
  uint16_t u16();
  uint32_t u32();
  // A copy of the next n bytes.
  Bytes bytes(size_t n);
  // Throws JobError(badRequest, K + " trailing bytes in payload") unless at the end.
  void finish() const;

 private:
  ByteView b_;
  size_t i_ = 0;
};

// Decodes UTF-8, replacing every ill-formed sequence with U+FFFD (one per maximal ill-formed
// subpart), so that bad text never fails a parse.
std::string decodeUTF8Lossy(ByteView bytes);

// The daemon's greeting, the first frame it writes (type hello, reqID 0).
struct Hello {
  uint8_t caps = 0;
  uint8_t maxInflight = 0;
  std::string version;

  // "GWRT", u16 protocolVersion, u8 caps, u8 maxInflight, u16 length, version bytes.
  // REQUIRES: version shorter than 65536 bytes (else std::length_error).
  Bytes encode() const;
  // Throws JobError(badRequest): "bad magic", "bad proto", or a byte-codec message.
  static Hello parse(ByteView payload);

  friend bool operator==(const Hello&, const Hello&) = default;
};

// One grid of cells, rendered as one JPEG. indices[i] is the cell in column i % cellsW and row
// i / cellsW: a frame position, or blackCell.
struct Level {
  int cellsW = 0;
  int cellsH = 0;
  std::vector<uint16_t> indices;

  friend bool operator==(const Level&, const Level&) = default;
};

// A request for thumbnail grids over one run of compressed video. `codec` stays the raw byte so
// that any byte parses; validate() rejects what the pipeline cannot take.
struct Job {
  // The largest canvas width and height of a level, in pixels.
  static constexpr int maxCanvasSide = 8192;
  // The most memory the scaled pictures of one job may take (fitW x fitH x 4 bytes each).
  static constexpr int64_t maxScaledBytes = 1073741824;

  uint8_t codec = 0;
  uint8_t nalLengthSize = 4;
  // Parameter sets, one NAL unit each without prefix: SPS, PPS (H.264); VPS, SPS, PPS (H.265).
  std::vector<Bytes> paramSets;
  int fitW = 0, fitH = 0;  // every decoded picture is scaled to this size
  int padX = 0, padY = 0;  // offset of the scaled picture inside its cell
  int cellW = 0, cellH = 0;
  int quality = 0;  // FFmpeg's quantiser scale, 1 (best) to 31
  // Access units; each NAL unit carries a big-endian nalLengthSize-byte length prefix.
  std::vector<Bytes> frames;
  std::vector<Level> levels;

  // Throws JobError(badRequest) for a layout fault: a byte-codec message or
  // "nCells N != WxH". Checks nothing else; validate() does.
  static Job parse(ByteView payload);
  // Inverse of parse. REQUIRES: every count and value within its wire width (else
  // std::length_error); writes each level's index count as nCells, whatever its grid.
  Bytes encode() const;
  // Throws the JobError of the first broken rule, in rule order. Reads the job only.
  void validate() const;
  // The distinct frame positions that some cell shows (blackCell and out-of-range indices left
  // out), ascending: the frames a job decodes, in the order it decodes them.
  std::vector<size_t> referencedFrames() const;

  friend bool operator==(const Job&, const Job&) = default;
};

// A finished job: three timings in microseconds and one JPEG file per level, in level order.
struct JobResult {
  uint32_t decodeMicros = 0;
  uint32_t encodeMicros = 0;
  uint32_t cpuMicros = 0;
  std::vector<Bytes> jpegs;

  // REQUIRES: at most 255 JPEGs of at most 4294967295 bytes each (else std::length_error).
  Bytes encode() const;
  // Throws JobError(badRequest) through the byte codec.
  static JobResult parse(ByteView payload);

  friend bool operator==(const JobResult&, const JobResult&) = default;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_PROTOCOL_H_
