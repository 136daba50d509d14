#include "mosaickit/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mosaickit/annexb.h"
#include "mosaickit/sps.h"

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

// What a decoder keeps besides its pictures, in sixteenths of a byte per coded luma sample:
// `perPicture`, the tables beside each picture it holds (H.264: motion vectors, reference
// indices and macroblock types, 141 bytes a macroblock; H.265: motion fields, 12 bytes per 4 x 4
// block, and reference lists per coding tree block); `idle`, what an idle context keeps for its
// picture size (block tables, and the pools of per-picture tables that outlive the pictures),
// measured as resident memory with bench_idle_decoders: 1.3 MB (H.264) and 3.2 MB (H.265) at
// 1080p, 3.8 MB and 75 MB at 8192 x 8192.
struct TableCosts {
  uint64_t perPicture;
  uint64_t idle;
};

TableCosts tableCosts(AVCodecID codec) {
  return codec == AV_CODEC_ID_H264 ? TableCosts{9, 10} : TableCosts{20, 25};
}

uint64_t sixteenths(uint64_t samples, uint64_t perSample) {
  return samples * perSample / 16;
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

LimitError tooLarge(const CodedSize& size) {
  return LimitError(ErrorCode::decode, "pictures of " + std::to_string(size.width) + "x" +
                                           std::to_string(size.height) + " over the " +
                                           std::to_string(maxPictureSamples) + "-sample limit");
}

// Refuses an SPS that declares pictures larger than the daemon decodes. A set whose size cannot
// be read is left to the decoder, which refuses it on its own.
void checkDeclaredSize(Codec codec, ByteView nal) {
  const std::optional<CodedSize> size = declaredSize(codec, nal);
  if (size && size->samples() > maxPictureSamples) throw tooLarge(*size);
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
//
// Each buffer is charged to the run's budget from its allocation to its free, and a refusal is
// kept until the session asks for it: libavcodec sees only a failed allocation.
class Session::PicturePool {
 public:
  ~PicturePool() { release(); }

  // A buffer of `size` bytes, charged with `tableBytes` more for the decoder's tables beside
  // the picture.
  AVBufferRef* get(size_t size, uint64_t tableBytes) {
    if (size != size_) {
      release();
      pool_ = av_buffer_pool_init2(size, this, &PicturePool::allocate, nullptr);
      size_ = size;
      tableBytes_ = tableBytes;
    }
    return pool_ != nullptr ? av_buffer_pool_get(pool_) : nullptr;
  }

  void release() {
    av_buffer_pool_uninit(&pool_);
    size_ = 0;
  }

  void setBudget(std::shared_ptr<MemoryBudget> budget) { budget_ = std::move(budget); }

  // The first refusal since the last call, if any.
  std::optional<LimitError> takeRefusal() { return std::exchange(refusal_, std::nullopt); }

 private:
  // A buffer's charge travels with it as the free callback's opaque pointer. Called from inside
  // libavcodec: nothing may be thrown through it, so every failure is a null buffer.
  static AVBufferRef* allocate(void* opaque, size_t size) noexcept {
    auto* self = static_cast<PicturePool*>(opaque);
    std::unique_ptr<MemoryCharge> charge;
    try {
      charge = std::make_unique<MemoryCharge>(self->budget_, size + self->tableBytes_,
                                              "decoded pictures", ErrorCode::decode);
    } catch (const LimitError& refusal) {
      if (!self->refusal_) self->refusal_ = refusal;
      return nullptr;
    } catch (...) {
      return nullptr;
    }
    auto* data = static_cast<uint8_t*>(av_malloc(size));
    if (data == nullptr) return nullptr;
    AVBufferRef* buffer = av_buffer_create(data, size, &PicturePool::free, charge.get(), 0);
    if (buffer == nullptr) {
      av_free(data);
      return nullptr;
    }
    charge.release();  // the buffer owns it now
    return buffer;
  }

  static void free(void* opaque, uint8_t* data) noexcept {
    const std::unique_ptr<MemoryCharge> charge(static_cast<MemoryCharge*>(opaque));
    av_free(data);
  }

  AVBufferPool* pool_ = nullptr;
  size_t size_ = 0;
  uint64_t tableBytes_ = 0;
  std::shared_ptr<MemoryBudget> budget_;
  std::optional<LimitError> refusal_;
};

namespace {

// --- Coverage -----------------------------------------------------------------------------------
//
// A picture whose slices do not cover it comes out of H.265 decoding like any other: the blocks
// no slice reached keep whatever the buffer held. (H.264 conceals such blocks and says so in
// the decode error flags.) So every new picture buffer is marked at the top-left corner of every
// 16 x 16 block of luma, the H.264 macroblock and the smallest H.265 coding tree block, both of
// which a decoded slice writes whole; a mark still there when the picture comes out shows a
// block that nothing decoded. The marks are 2 x 2 samples: for deeper samples, values above any
// 14-bit sample; for 8-bit ones, a pattern of four values that decoded pictures do not hold.

constexpr int kCoverageBlock = 16;
constexpr uint8_t kMark8[2][2] = {{0x13, 0xEC}, {0xC5, 0x3A}};
constexpr uint16_t kMark16[2][2] = {{0xFFFF, 0xFFFE}, {0xFFFD, 0xFFFC}};

// Calls `visit` with the first sample of the two marked rows of every block of `frame`'s luma.
template <typename Sample, typename Visit>
bool everyBlock(const AVFrame& frame, Visit visit) {
  for (int y = 0; y + 1 < frame.height; y += kCoverageBlock) {
    auto* row0 = reinterpret_cast<Sample*>(frame.data[0] + ptrdiff_t{y} * frame.linesize[0]);
    auto* row1 = reinterpret_cast<Sample*>(frame.data[0] + ptrdiff_t{y + 1} * frame.linesize[0]);
    for (int x = 0; x + 1 < frame.width; x += kCoverageBlock) {
      if (!visit(row0 + x, row1 + x)) return false;
    }
  }
  return true;
}

template <typename Sample>
void markBlocks(const AVFrame& frame, const Sample (&mark)[2][2]) {
  everyBlock<Sample>(frame, [&](Sample* top, Sample* bottom) {
    top[0] = mark[0][0];
    top[1] = mark[0][1];
    bottom[0] = mark[1][0];
    bottom[1] = mark[1][1];
    return true;
  });
}

template <typename Sample>
bool noBlockMarked(const AVFrame& frame, const Sample (&mark)[2][2]) {
  return everyBlock<Sample>(frame, [&](const Sample* top, const Sample* bottom) {
    return top[0] != mark[0][0] || top[1] != mark[0][1] || bottom[0] != mark[1][0] ||
           bottom[1] != mark[1][1];
  });
}

bool wideSamples(const AVFrame& frame) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
  return desc != nullptr && desc->comp[0].depth > 8;
}

// REQUIRES: `frame` is laid out in full (before cropping) and its luma plane is writable.
void markCoverage(const AVFrame& frame) {
  if (wideSamples(frame)) {
    markBlocks<uint16_t>(frame, kMark16);
  } else {
    markBlocks<uint8_t>(frame, kMark8);
  }
}

// REQUIRES: `frame` is as decoded, before cropping.
bool fullyCovered(const AVFrame& frame) {
  return wideSamples(frame) ? noBlockMarked<uint16_t>(frame, kMark16)
                            : noBlockMarked<uint8_t>(frame, kMark8);
}

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
  const uint64_t samples = uint64_t(alignedW) * uint64_t(alignedH);
  AVBufferRef* buffer =
      pool->get(total, sixteenths(samples, tableCosts(context->codec_id).perPicture));
  if (buffer == nullptr) return AVERROR(ENOMEM);
  frame->buf[0] = buffer;
  status = av_image_fill_pointers(frame->data, format, alignedH, buffer->data, linesizes);
  if (status < 0) return status;  // the frame's owner releases buf[0]
  std::copy(std::begin(linesizes), std::end(linesizes), frame->linesize);
  frame->extended_data = frame->data;
  markCoverage(*frame);
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
  // Pictures come out whole, so that their coverage can be checked; receive() crops them.
  context.apply_cropping = 0;
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
  // The record has passed the bitstream check, but the decoder reads it once more with its own
  // limits; a refusal then is the parameter sets' fault like any other.
  const int status = avcodec_open2(context.get(), codec, nullptr);
  if (status == AVERROR(ENOMEM)) throw failedCall(ErrorCode::unsupported, "avcodec_open2", status);
  if (status < 0) throw badParameterSets(status);
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
Picture::Picture(AVFrame* frame, bool twoFields) : frame_(frame), twoFields_(twoFields) {}
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
  for (const Bytes& set : paramSets) checkDeclaredSize(codec, set);
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
  const Codec codec = context_->codec_id == AV_CODEC_ID_H264 ? Codec::h264 : Codec::h265;
  LengthPrefixedReader units(accessUnit);
  while (const std::optional<ByteView> nal = units.next()) checkDeclaredSize(codec, *nal);
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
  throwRefusal();
  if (status < 0) throw failedCall(ErrorCode::decode, "avcodec_send_packet", status);
}

void Session::sendEnd() {
  const int status = avcodec_send_packet(context_.get(), nullptr);
  throwRefusal();
  if (status < 0) throw failedCall(ErrorCode::decode, "avcodec_send_packet", status);
}

std::optional<TaggedPicture> Session::receive() {
  FramePtr frame(av_frame_alloc());
  if (!frame) throw failedCall(ErrorCode::decode, "av_frame_alloc", AVERROR(ENOMEM));
  int status = avcodec_receive_frame(context_.get(), frame.get());
  throwRefusal();
  if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return std::nullopt;
  if (status < 0) throw failedCall(ErrorCode::decode, "avcodec_receive_frame", status);
  const bool complete = fullyCovered(*frame);
  // Exactly the display window, to the pixel rather than to an aligned edge.
  status = av_frame_apply_cropping(frame.get(), AV_FRAME_CROP_UNALIGNED);
  if (status < 0) throw failedCall(ErrorCode::decode, "av_frame_apply_cropping", status);
  const int64_t tag = frame->pts;
  const int damage = damageOf(*frame);
  // libavcodec's H.265 decoder marks a single field as interlaced too; only H.264 puts two
  // fields in one picture.
  const bool twoFields = context_->codec_id == AV_CODEC_ID_H264 && frame->interlaced_frame;
  return TaggedPicture{tag, damage, complete, Picture(frame.release(), twoFields)};
}

void Session::flush() {
  avcodec_flush_buffers(context_.get());
  context_->skip_loop_filter = AVDISCARD_DEFAULT;
  context_->strict_std_compliance = FF_COMPLIANCE_NORMAL;
  pool_->release();
  pool_->setBudget(nullptr);
  pool_->takeRefusal();
}

void Session::setBudget(std::shared_ptr<MemoryBudget> budget) {
  pool_->setBudget(std::move(budget));
}

void Session::setIntraOnly(bool intraOnly) {
  context_->skip_loop_filter = intraOnly ? AVDISCARD_ALL : AVDISCARD_DEFAULT;
  // At the strict level, libavcodec's H.264 decoder takes the reorder delay of a stream without
  // bitstream restrictions from its level's picture buffer; H.265 always signals it.
  context_->strict_std_compliance = intraOnly ? FF_COMPLIANCE_NORMAL : FF_COMPLIANCE_STRICT;
}

uint64_t Session::idleBytes() const {
  const auto samples = static_cast<uint64_t>(std::max(context_->coded_width, 0)) *
                       static_cast<uint64_t>(std::max(context_->coded_height, 0));
  return sixteenths(samples, tableCosts(context_->codec_id).idle);
}

void Session::throwRefusal() {
  if (std::optional<LimitError> refusal = pool_->takeRefusal()) throw *refusal;
}

}  // namespace mosaickit
