// The platform layer for video decoding, over FFmpeg's libavcodec: decoded pictures, decoder
// configuration records built from parameter sets, and opened decoder contexts (sessions).
//
// This is the only unit that includes FFmpeg's decoding headers; other units see gridwright types.
// The compositor reads a Picture's AVFrame to scale it (it is the scaler's input format).
//
// FFmpeg never writes to standard error: the first use of this unit silences its logging for the
// whole process (silenceLibraryLogging, which main may also call up front).
//
// Thread-safety: makeFormat and silenceLibraryLogging may be called from any thread at any time. A
// Session or Picture is used by one thread at a time (external synchronisation); distinct ones
// are independent.
//
// Errors: JobError only, with the failing FFmpeg call's name and status in the message:
//   makeFormat       decode       "bad parameter sets (status N)"
//   Session()        decode       "bad parameter sets (status N)" (the decoder refused them)
//                    unsupported  "avcodec_open2 N" (no memory), or the allocation call that failed
//   Session::send    decode       "avcodec_send_packet N"
//   Session::receive decode       "avcodec_receive_frame N"
// where N is FFmpeg's status (an AVERROR, negative) in decimal with its sign. The daemon's own
// limits throw LimitError (a JobError), which no retry can change:
//   makeFormat, Session::send     decode  "pictures of WxH over the 67108864-sample limit"
//   Session::send, receive, sendEnd       the budget's refusal for "decoded pictures"

#ifndef MOSAICKIT_MEDIA_H_
#define MOSAICKIT_MEDIA_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "mosaickit/memory_budget.h"
#include "mosaickit/protocol.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace mosaickit {

// The largest picture the daemon decodes, in coded luma samples: 8192 x 8192, or any other shape
// of that area. A parameter set declaring more is refused before a decoder allocates anything
// for it, whether it comes with the job or inside an access unit.
inline constexpr int64_t maxPictureSamples = int64_t{8192} * 8192;

// Routes FFmpeg's log to nowhere, once for the whole process. Idempotent.
void silenceLibraryLogging();

// One decoded picture in the decoder's native pixel format (8- or 10-bit YUV 4:2:0, 4:2:2 or
// 4:4:4, limited or full range), cropped exactly to the stream's display window. Owns one
// reference to the frame's reference-counted buffers, which stay valid after the session that
// made them is flushed or closed; move-only. Not thread-safe: one thread at a time.
class Picture {
 public:
  Picture();  // empty: frame() must not be called
  // Takes ownership of `frame`; `twoFields` as below.
  explicit Picture(AVFrame* frame, bool twoFields = false);
  ~Picture();
  Picture(Picture&&) noexcept;
  Picture& operator=(Picture&&) noexcept;
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;

  bool empty() const { return frame_ == nullptr; }
  // REQUIRES: !empty().
  const AVFrame& frame() const { return *frame_; }
  int width() const;
  int height() const;
  // True when the picture is one frame of two interleaved fields taken at different moments (an
  // interlaced H.264 field pair or MBAFF frame): its even and odd rows are two pictures. A picture
  // that is a single field, as H.265 codes interlaced video, is not.
  bool twoFields() const { return twoFields_; }

 private:
  struct FrameDeleter {
    void operator()(AVFrame* f) const;
  };
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
  bool twoFields_ = false;
};

// What a session is made from: the codec and its decoder configuration record, an `avcC`
// (H.264: SPS, PPS) or `hvcC` (H.265: VPS, SPS, PPS) record with a NAL length size of 4.
struct Format {
  Codec codec = Codec::h264;
  Bytes record;
};

// Builds the configuration record from `paramSets` (each one NAL unit without prefix or start
// code) and checks that the decoder can use them: every set is fully parsed by FFmpeg's
// coded-bitstream reader, so a garbled set fails here rather than at decoding. The record lists
// the sets grouped by type in the record's order (VPS, SPS, PPS), each group in the given order.
// Throws JobError(decode, "bad parameter sets (status N)") when a set is unusable, a required
// type is missing or a set is of another type (N = AVERROR_INVALIDDATA), or the parse fails
// (N = its status); LimitError(decode) when an SPS declares more than maxPictureSamples.
Format makeFormat(Codec codec, std::span<const Bytes> paramSets);

// A picture released by a session and the tag of the access unit it belongs to. `damage` is
// non-zero when the decoder concealed errors in it (FFmpeg's decode error flags, or 1 for a
// frame marked corrupt); `complete` is false when the slices decoded for it left some of its
// blocks unwritten. Either way it is not the stream's picture and must not be shown.
struct TaggedPicture {
  int64_t tag = 0;
  int damage = 0;
  bool complete = true;
  Picture picture;
};

// One opened software decoder for one Format: single-threaded, failing on bitstream errors
// instead of concealing them, cropping exactly to the display window, and giving every picture
// buffers of its own, so that once its pictures are released and it is flushed it holds no
// picture memory. Every picture buffer is charged to the budget of the run (see setBudget) for
// as long as it lives, together with the decoder's own per-picture tables; a buffer past the
// budget is refused and the call that needed it throws the refusal. Move-only; one thread at a
// time.
//
// libavcodec reorders: a picture may come out several submissions after its access unit, and
// the last ones only once the end of the stream has been signalled. Tags travel with the data.
class Session {
 public:
  // Throws JobError(decode, "bad parameter sets (status N)") when the decoder refuses the
  // format's parameter sets, JobError(unsupported, ...) when no decoder context can be made (the
  // call that failed, with AVERROR(ENOMEM)).
  explicit Session(const Format& format);
  ~Session();
  Session(Session&&) noexcept;
  Session& operator=(Session&&) noexcept;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Submits one access unit (4-byte length-prefixed NAL units), copied once into a padded
  // packet, tagged with `tag`. An empty access unit is not submitted and yields no picture.
  // REQUIRES: every picture ready before was received.
  // Throws LimitError for an SPS in the unit that declares more than maxPictureSamples, or when
  // the budget refused a picture; JobError(decode, "avcodec_send_packet N").
  void send(ByteView accessUnit, int64_t tag);
  // Signals the end of the stream, so that receive() releases every held picture. Further
  // sends fail until flush(). Throws LimitError (budget) or
  // JobError(decode, "avcodec_send_packet N").
  void sendEnd();
  // The next picture the decoder releases; nothing when it needs more input or has drained.
  // Throws LimitError (budget) or JobError(decode, "avcodec_receive_frame N").
  std::optional<TaggedPicture> receive();
  // Drops every held picture, reference and end-of-stream state, and gives back the picture
  // memory once the pictures handed out are released: the next send starts a new stream. Also
  // ends the run's budget and its intra-only setting. Cannot fail.
  void flush();
  // Charges the picture buffers made from now on to `budget` (none: uncharged), until flush().
  void setBudget(std::shared_ptr<MemoryBudget> budget);
  // Sets how the pictures sent from now on are decoded, until flush(). An intra-only run skips
  // the in-loop filters (deblocking, and SAO in H.265): no picture predicts from another, so
  // nothing drifts, and at thumbnail size the difference does not show. Any other run has its
  // reorder delay set from the start: an H.264 stream that signals none gets the largest its
  // level allows, rather than one the decoder grows as it goes, dropping the pictures that
  // arrive too late for it.
  void setIntraOnly(bool intraOnly);
  // An estimate of the memory the session keeps between runs for the size of the pictures it
  // last decoded (the decoder's per-picture-size tables; no pictures): 0 before any picture.
  uint64_t idleBytes() const;

  class PicturePool;

 private:
  void throwRefusal();

  struct ContextDeleter {
    void operator()(AVCodecContext* c) const;
  };
  struct PacketDeleter {
    void operator()(AVPacket* p) const;
  };
  std::unique_ptr<PicturePool> pool_;  // before the context, which allocates from it
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
};

}  // namespace mosaickit

#endif  // MOSAICKIT_MEDIA_H_
