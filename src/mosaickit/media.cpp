#include "mosaickit/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace mosaickit {
namespace {

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct FilterDeleter {
  void operator()(AVBSFContext* b) const { av_bsf_free(&b); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using FilterPtr = std::unique_ptr<AVBSFContext, FilterDeleter>;

// Every NAL unit in an access unit carries a 4-byte big-endian length, whatever the job says.
constexpr int nalLengthSize = 4;
// Linesize alignment of picture buffers: enough for every SIMD path of the decoders.
constexpr int pictureStrideAlign = 64;

JobError badParameterSets(int status) {
  return JobError(ErrorCode::decode, "bad parameter sets (status " + std::to_string(status) + ")");
}

JobError failedCall(ErrorCode code, const char* call, int status) {
  return JobError(code, std::string(call) + " " + std::to_string(status));
}

// --- Configuration records --------------------------------------------------------------------

enum class SetKind { vps, sps, pps, other };

SetKind kindOf(Codec codec, const Bytes& set) {
  if (set.empty()) return SetKind::other;
  if (codec == Codec::h264) {
    switch (set[0] & 0x1F) {
      case 7:
        return SetKind::sps;
      case 8:
        return SetKind::pps;
      default:
        return SetKind::other;
    }
  }
  switch ((set[0] >> 1) & 0x3F) {
    case 32:
      return SetKind::vps;
    case 33:
      return SetKind::sps;
    case 34:
      return SetKind::pps;
    default:
      return SetKind::other;
  }
}

// The sets of one kind, in the given order.
std::vector<const Bytes*> setsOfKind(Codec codec, std::span<const Bytes> sets, SetKind kind) {
  std::vector<const Bytes*> found;
  for (const Bytes& set : sets) {
    if (kindOf(codec, set) == kind) found.push_back(&set);
  }
  return found;
}

// A set the record can carry: a 16-bit length, and a body after the NAL header that ends in a
// non-zero byte, as every NAL unit must. The bitstream reader drops trailing zero bytes and then
// skips a unit left empty, so a zeroed set would otherwise pass the check as if it were absent.
bool storable(Codec codec, const Bytes& set) {
  const size_t headerSize = codec == Codec::h264 ? 1 : 2;
  return set.size() > headerSize && set.size() <= 0xFFFF && set.back() != 0;
}

// Sorts the sets into the kinds the record holds, in record order. Throws when one is of another
// kind, one of the kinds is missing, or a set cannot be stored with a 16-bit length.
std::vector<std::vector<const Bytes*>> groupSets(Codec codec, std::span<const Bytes> sets,
                                                 std::span<const SetKind> kinds) {
  std::vector<std::vector<const Bytes*>> groups;
  size_t grouped = 0;
  for (SetKind kind : kinds) {
    groups.push_back(setsOfKind(codec, sets, kind));
    if (groups.back().empty() || groups.back().size() > 31)
      throw badParameterSets(AVERROR_INVALIDDATA);
    grouped += groups.back().size();
  }
  if (grouped != sets.size()) throw badParameterSets(AVERROR_INVALIDDATA);
  for (const Bytes& set : sets) {
    if (!storable(codec, set)) throw badParameterSets(AVERROR_INVALIDDATA);
  }
  return groups;
}

void putU16(Bytes& out, size_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putSets(Bytes& out, const std::vector<const Bytes*>& sets) {
  for (const Bytes* set : sets) {
    putU16(out, set->size());
    out.insert(out.end(), set->begin(), set->end());
  }
}

// AVCDecoderConfigurationRecord. Profile, compatibility and level are the SPS's bytes 1 to 3.
Bytes avcRecord(std::span<const Bytes> sets) {
  static constexpr SetKind kinds[] = {SetKind::sps, SetKind::pps};
  auto groups = groupSets(Codec::h264, sets, kinds);
  const Bytes& sps = *groups[0].front();
  if (sps.size() < 4) throw badParameterSets(AVERROR_INVALIDDATA);
  Bytes out = {1, sps[1], sps[2], sps[3], 0xFC | (nalLengthSize - 1)};
  out.push_back(static_cast<uint8_t>(0xE0 | groups[0].size()));
  putSets(out, groups[0]);
  out.push_back(static_cast<uint8_t>(groups[1].size()));
  putSets(out, groups[1]);
  return out;
}

// HEVCDecoderConfigurationRecord. Only libavcodec reads it, and it takes the stream's properties
// from the parameter sets themselves, so the summary fields of the header stay zero
// (reserved bits set) and only the NAL length size and the arrays carry information.
Bytes hvcRecord(std::span<const Bytes> sets) {
  static constexpr SetKind kinds[] = {SetKind::vps, SetKind::sps, SetKind::pps};
  static constexpr uint8_t arrayTypes[] = {32, 33, 34};
  auto groups = groupSets(Codec::h265, sets, kinds);
  Bytes out = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x00, 0xFC, 0xFC, 0xF8, 0xF8, 0, 0};
  out.push_back(0x0C | (nalLengthSize - 1));  // one temporal layer, nested
  out.push_back(static_cast<uint8_t>(groups.size()));
  for (size_t i = 0; i < groups.size(); ++i) {
    out.push_back(0x80 | arrayTypes[i]);  // complete array of this NAL type
    putU16(out, groups[i].size());
    putSets(out, groups[i]);
  }
  return out;
}

AVCodecID codecID(Codec codec) {
  return codec == Codec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
}

// Copies `bytes` into a buffer FFmpeg may own and free, with the zeroed padding its readers need.
uint8_t* paddedCopy(const Bytes& bytes) {
  auto* copy = static_cast<uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (copy != nullptr && !bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  return copy;
}

// Parses every set of the record with the coded-bitstream reader behind the metadata filter:
// the decoder itself opens with sets it cannot use, so they are checked on their own. Returns
// FFmpeg's status (0: all sets parse).
int parseRecord(const Format& format) {
  const char* name = format.codec == Codec::h264 ? "h264_metadata" : "hevc_metadata";
  const AVBitStreamFilter* filter = av_bsf_get_by_name(name);
  if (filter == nullptr) return AVERROR_BSF_NOT_FOUND;
  AVBSFContext* raw = nullptr;
  int status = av_bsf_alloc(filter, &raw);
  FilterPtr context(raw);
  if (status < 0) return status;
  context->par_in->codec_type = AVMEDIA_TYPE_VIDEO;
  context->par_in->codec_id = codecID(format.codec);
  context->par_in->extradata = paddedCopy(format.record);
  if (context->par_in->extradata == nullptr) return AVERROR(ENOMEM);
  context->par_in->extradata_size = static_cast<int>(format.record.size());
  return av_bsf_init(context.get());
}

// --- Sessions ---------------------------------------------------------------------------------

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using ContextPtr = std::unique_ptr<AVCodecContext, ContextDeleter>;

}  // namespace

// Picture memory of one session: recycled from picture to picture within a run, so that a job's
// pictures do not each fault in fresh pages, and given back when the run ends, so that an idle
// pooled decoder keeps none. (libavcodec's own frame pool would live as long as the context.)
// Buffers handed out stay valid after release(): the pool is freed when the last one returns.
class Session::PicturePool {
 public:
  ~PicturePool() { release(); }

  AVBufferRef* get(size_t size) {
    if (size != size_) {
      release();
      pool_ = av_buffer_pool_init(size, nullptr);
      size_ = size;
    }
    return pool_ != nullptr ? av_buffer_pool_get(pool_) : nullptr;
  }

  void release() {
    av_buffer_pool_uninit(&pool_);
    size_ = 0;
  }

 private:
  AVBufferPool* pool_ = nullptr;
  size_t size_ = 0;
};

namespace {

// Lays a picture out in one buffer from the session's pool, with the geometry the codec asks
// for: dimensions aligned by avcodec_align_dimensions2, strides aligned for its SIMD code, and
// the tail padding its readers may touch.
int allocatePicture(AVCodecContext* context, AVFrame* frame, int /*flags*/) {
  const auto format = static_cast<AVPixelFormat>(frame->format);
  int alignedW = frame->width;
  int alignedH = frame->height;
  int strideAlign[AV_NUM_DATA_POINTERS];
  avcodec_align_dimensions2(context, &alignedW, &alignedH, strideAlign);

  int linesizes[4] = {};
  int status = av_image_fill_linesizes(linesizes, format, alignedW);
  if (status < 0) return status;
  ptrdiff_t strides[4];
  for (int i = 0; i < 4; ++i) {
    linesizes[i] = FFALIGN(linesizes[i], pictureStrideAlign);
    strides[i] = linesizes[i];
  }
  size_t planeSizes[4] = {};
  status = av_image_fill_plane_sizes(planeSizes, format, alignedH, strides);
  if (status < 0) return status;
  size_t total = AV_INPUT_BUFFER_PADDING_SIZE;
  for (size_t size : planeSizes) total += size;

  auto* pool = static_cast<Session::PicturePool*>(context->opaque);
  AVBufferRef* buffer = pool->get(total);
  if (buffer == nullptr) return AVERROR(ENOMEM);
  frame->buf[0] = buffer;
  status = av_image_fill_pointers(frame->data, format, alignedH, buffer->data, linesizes);
  if (status < 0) return status;  // the frame's owner releases buf[0]
  std::copy(std::begin(linesizes), std::end(linesizes), frame->linesize);
  frame->extended_data = frame->data;
  return 0;
}

// The decoder of `format` by name: FFmpeg's own, never a wrapper that the build may list first.
const AVCodec* softwareDecoder(Codec codec) {
  return avcodec_find_decoder_by_name(codec == Codec::h264 ? "h264" : "hevc");
}

void configureSoftware(AVCodecContext& context, uint8_t* record, size_t recordSize,
                       Session::PicturePool* pool) {
  context.extradata = record;
  context.extradata_size = static_cast<int>(recordSize);
  context.thread_count = 1;  // jobs already run in parallel
  context.thread_type = 0;
  context.err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER;
  context.flags |= AV_CODEC_FLAG_UNALIGNED;  // crop to the pixel, not to an aligned edge
  context.get_buffer2 = allocatePicture;
  context.opaque = pool;
}

// The context every session starts from when no hardware decoder takes the stream. A hardware
// backend (VAAPI, CUDA) would be tried before this one in openContext and hand back null when
// its device is missing; its pictures would be mapped to system memory in receive().
ContextPtr openSoftwareContext(const Format& format, Session::PicturePool* pool) {
  const AVCodec* codec = softwareDecoder(format.codec);
  if (codec == nullptr) {
    throw failedCall(ErrorCode::unsupported, "avcodec_find_decoder_by_name",
                     AVERROR_DECODER_NOT_FOUND);
  }
  ContextPtr context(avcodec_alloc_context3(codec));
  if (!context) {
    throw failedCall(ErrorCode::unsupported, "avcodec_alloc_context3", AVERROR(ENOMEM));
  }
  uint8_t* record = paddedCopy(format.record);
  if (record == nullptr) throw failedCall(ErrorCode::unsupported, "av_mallocz", AVERROR(ENOMEM));
  configureSoftware(*context, record, format.record.size(), pool);  // it owns `record` now
  const int status = avcodec_open2(context.get(), codec, nullptr);
  if (status < 0) throw failedCall(ErrorCode::unsupported, "avcodec_open2", status);
  return context;
}

ContextPtr openContext(const Format& format, Session::PicturePool* pool) {
  return openSoftwareContext(format, pool);
}

int damageOf(const AVFrame& frame) {
  if (frame.decode_error_flags != 0) return frame.decode_error_flags;
  return (frame.flags & AV_FRAME_FLAG_CORRUPT) != 0 ? 1 : 0;
}

}  // namespace

void silenceLibraryLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_level(AV_LOG_QUIET);
    av_log_set_callback([](void*, int, const char*, va_list) {});
  });
}

// --- Picture ----------------------------------------------------------------------------------

Picture::Picture() = default;
Picture::Picture(AVFrame* frame) : frame_(frame) {}
Picture::~Picture() = default;
Picture::Picture(Picture&&) noexcept = default;
Picture& Picture::operator=(Picture&&) noexcept = default;

void Picture::FrameDeleter::operator()(AVFrame* f) const {
  av_frame_free(&f);
}

int Picture::width() const {
  return frame_->width;
}
int Picture::height() const {
  return frame_->height;
}

// --- Format -----------------------------------------------------------------------------------

Format makeFormat(Codec codec, std::span<const Bytes> paramSets) {
  silenceLibraryLogging();
  Format format{codec, codec == Codec::h264 ? avcRecord(paramSets) : hvcRecord(paramSets)};
  const int status = parseRecord(format);
  if (status < 0) throw badParameterSets(status);
  return format;
}

// --- Session ----------------------------------------------------------------------------------

void Session::ContextDeleter::operator()(AVCodecContext* c) const {
  avcodec_free_context(&c);
}

void Session::PacketDeleter::operator()(AVPacket* p) const {
  av_packet_free(&p);
}

Session::Session(const Format& format)
    : pool_(std::make_unique<PicturePool>()), packet_(av_packet_alloc()) {
  silenceLibraryLogging();
  if (!packet_) throw failedCall(ErrorCode::unsupported, "av_packet_alloc", AVERROR(ENOMEM));
  context_.reset(openContext(format, pool_.get()).release());
}

Session::~Session() = default;
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;

void Session::send(ByteView accessUnit, int64_t tag) {
  // An empty packet would tell libavcodec that the stream has ended.
  if (accessUnit.empty()) return;
  // The packet is reused from unit to unit; its data, the one padded copy of the unit, is new
  // each time, since the decoder may keep a reference to it after the send.
  AVPacket* packet = packet_.get();
  int status = av_new_packet(packet, static_cast<int>(accessUnit.size()));
  if (status < 0) throw failedCall(ErrorCode::decode, "av_new_packet", status);
  std::memcpy(packet->data, accessUnit.data(), accessUnit.size());
  packet->pts = tag;
  packet->dts = AV_NOPTS_VALUE;
  status = avcodec_send_packet(context_.get(), packet);
  av_packet_unref(packet);
  if (status < 0) throw failedCall(ErrorCode::decode, "avcodec_send_packet", status);
}

void Session::sendEnd() {
  const int status = avcodec_send_packet(context_.get(), nullptr);
  if (status < 0) throw failedCall(ErrorCode::decode, "avcodec_send_packet", status);
}

std::optional<TaggedPicture> Session::receive() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw failedCall(ErrorCode::decode, "av_frame_alloc", AVERROR(ENOMEM));
  const int status = avcodec_receive_frame(context_.get(), frame.get());
  if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return std::nullopt;
  if (status < 0) throw failedCall(ErrorCode::decode, "avcodec_receive_frame", status);
  const int64_t tag = frame->pts;
  const int damage = damageOf(*frame);
  return TaggedPicture{tag, damage, Picture(frame.release())};
}

void Session::flush() {
  avcodec_flush_buffers(context_.get());
  context_->skip_loop_filter = AVDISCARD_DEFAULT;
  pool_->release();
}

void Session::skipLoopFilter(bool skip) {
  context_->skip_loop_filter = skip ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
}

}  // namespace mosaickit
