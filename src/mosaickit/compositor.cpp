#include "mosaickit/compositor.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "mosaickit/media.h"
#include "mosaickit/tone_map.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <libyuv/scale.h>

namespace mosaickit {

BGRAImage::BGRAImage(int64_t width, int64_t height, Bytes pixels)
    : width_(width), height_(height), pixels_(std::move(pixels)) {
  if (width < 0 || height < 0 || pixels_.size() != static_cast<uint64_t>(width * height * 4)) {
    throw std::invalid_argument("BGRAImage: pixel array does not match width x height x 4");
  }
}

BGRAImage::BGRAImage(int64_t width, int64_t height)
    : BGRAImage(width, height,
                Bytes(static_cast<size_t>(std::max<int64_t>(width * height, 0)) * 4)) {}

std::array<uint8_t, 4> BGRAImage::pixel(int64_t x, int64_t y) const {
  const uint8_t* p = pixels_.data() + y * rowBytes() + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

namespace Compositor {

namespace {

struct SwsContextDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;

// An area filter averages every source pixel that falls into a target pixel, which is what a
// thumbnail wants at large reductions. The two full-chroma flags make libswscale resample
// chroma straight to the target's full resolution instead of leaving BGRA output with
// half-width chroma, which smears colour edges and costs far more than the filter gains.
constexpr int kScaleFlags = SWS_AREA | SWS_FULL_CHR_H_INT | SWS_FULL_CHR_H_INP | SWS_ACCURATE_RND;

// How to read one source picture: its layout and its colour description.
struct SourceFormat {
  AVPixelFormat format;  // with the deprecated full-range "J" formats folded into their plain twins
  int width;
  int height;
  int matrix;  // an SWS_CS_* value
  bool fullRange;
  bool hdr;  // PQ or HLG: scaled to 16-bit RGB for the tone mapper, not straight to BGRA

  friend bool operator==(const SourceFormat&, const SourceFormat&) = default;
};

// The decoders of the older full-range formats mark range by format, not by color_range; the
// scaler wants the plain format and the range as a separate setting.
std::pair<AVPixelFormat, bool> foldFullRangeFormat(AVPixelFormat f) {
  switch (f) {
    case AV_PIX_FMT_YUVJ420P:
      return {AV_PIX_FMT_YUV420P, true};
    case AV_PIX_FMT_YUVJ422P:
      return {AV_PIX_FMT_YUV422P, true};
    case AV_PIX_FMT_YUVJ444P:
      return {AV_PIX_FMT_YUV444P, true};
    case AV_PIX_FMT_YUVJ440P:
      return {AV_PIX_FMT_YUV440P, true};
    case AV_PIX_FMT_YUVJ411P:
      return {AV_PIX_FMT_YUV411P, true};
    default:
      return {f, false};
  }
}

// The YUV-to-RGB matrix the stream signals, or the customary one for its size when it signals
// none (high-definition pictures are BT.709, standard-definition ones BT.601).
int colourMatrix(const AVFrame& frame) {
  switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
      return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
      return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
      return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M:
      return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
      return SWS_CS_BT2020;
    default:
      return frame.height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

// The brightest the content gets, as the stream's metadata says: its content light level, else
// its mastering display's peak, else the customary 1000 cd/m2. HLG is rendered for a display of
// that peak whatever the metadata says.
double peakNitsOf(const AVFrame& frame, HdrTransfer transfer) {
  if (transfer == HdrTransfer::hlg) return defaultPeakNits;
  if (const AVFrameSideData* side =
          av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
    const auto* light = reinterpret_cast<const AVContentLightMetadata*>(side->data);
    if (light->MaxCLL > 0) return std::clamp<double>(light->MaxCLL, 1, 10000);
  }
  if (const AVFrameSideData* side =
          av_frame_get_side_data(&frame, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
    const auto* display = reinterpret_cast<const AVMasteringDisplayMetadata*>(side->data);
    if (display->has_luminance && display->max_luminance.num > 0 &&
        display->max_luminance.den > 0) {
      return std::clamp(av_q2d(display->max_luminance), 1.0, 10000.0);
    }
  }
  return defaultPeakNits;
}

// PQ and HLG pictures need tone mapping; every other transfer is taken as SDR.
std::optional<HdrSignal> hdrSignalOf(const AVFrame& frame) {
  HdrSignal signal;
  switch (frame.color_trc) {
    case AVCOL_TRC_SMPTE2084:
      signal.transfer = HdrTransfer::pq;
      break;
    case AVCOL_TRC_ARIB_STD_B67:
      signal.transfer = HdrTransfer::hlg;
      break;
    default:
      return std::nullopt;
  }
  // HDR that does not name its primaries is BT.2020 in practice.
  signal.bt2020 = frame.color_primaries != AVCOL_PRI_BT709;
  signal.peakNits = peakNitsOf(frame, signal.transfer);
  return signal;
}

SourceFormat describeSource(const AVFrame& frame, bool hdr) {
  auto [format, fullRangeFormat] = foldFullRangeFormat(static_cast<AVPixelFormat>(frame.format));
  const bool fullRange = fullRangeFormat || frame.color_range == AVCOL_RANGE_JPEG;
  return {format, frame.width, frame.height, colourMatrix(frame), fullRange, hdr};
}

SwsContextPtr makeContext(const SourceFormat& src, int width, int height) {
  if (!sws_isSupportedInput(src.format)) {
    throw JobError(ErrorCode::internalError, "decoder output is not BGRA");
  }
  // 16 bits per channel keep the HDR signal's 10 bits through the scaler, so that the tone curve
  // has no steps to stretch into bands. Planar, because libswscale writes planar 16-bit RGB at
  // well under half the cost of packed (measured at 160 x 90: 107 us against 370 us).
  const AVPixelFormat output = src.hdr ? AV_PIX_FMT_GBRP16 : AV_PIX_FMT_BGRA;
  SwsContextPtr ctx(sws_getContext(src.width, src.height, src.format, width, height, output,
                                   kScaleFlags, nullptr, nullptr, nullptr));
  if (!ctx) throw JobError(ErrorCode::internalError, "sws_getContext");
  // Output is full-range RGB; brightness, contrast and saturation stay neutral (16.16 fixed).
  const int status =
      sws_setColorspaceDetails(ctx.get(), sws_getCoefficients(src.matrix), src.fullRange ? 1 : 0,
                               sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
  if (status < 0) {
    throw JobError(ErrorCode::internalError, "sws_setColorspaceDetails " + std::to_string(status));
  }
  return ctx;
}

// The planes the scaler reads: the picture's own, or a box-reduced copy of them.
struct PlaneSet {
  const uint8_t* data[4] = {};
  int stride[4] = {};
  int width = 0, height = 0;  // of the luma plane
  AVPixelFormat format = AV_PIX_FMT_NONE;
};

// The 4:4:4 format with the samples of `desc`, or none.
AVPixelFormat fullChromaFormat(const AVPixFmtDescriptor& desc) {
  switch (desc.comp[0].depth) {
    case 8:
      return AV_PIX_FMT_YUV444P;
    case 9:
      return AV_PIX_FMT_YUV444P9LE;
    case 10:
      return AV_PIX_FMT_YUV444P10LE;
    case 12:
      return AV_PIX_FMT_YUV444P12LE;
    case 14:
      return AV_PIX_FMT_YUV444P14LE;
    case 16:
      return AV_PIX_FMT_YUV444P16LE;
    default:
      return AV_PIX_FMT_NONE;
  }
}

// Box-averages one plane of width x height samples down to outW x outH (exact divisors) into
// `out`, with libyuv's vectorised box filter.
void reducePlane(const uint8_t* src, int srcStride, int width, int height, int outW, int outH,
                 bool wide, Bytes& out, int& outStride) {
  const int sampleBytes = wide ? 2 : 1;
  outStride = (outW * sampleBytes + 63) & ~63;
  out.resize(static_cast<size_t>(outStride) * outH);
  if (wide) {
    libyuv::ScalePlane_16(reinterpret_cast<const uint16_t*>(src), srcStride / 2, width, height,
                          reinterpret_cast<uint16_t*>(out.data()), outStride / 2, outW, outH,
                          libyuv::kFilterBox);
  } else {
    libyuv::ScalePlane(src, srcStride, width, height, out.data(), outStride, outW, outH,
                       libyuv::kFilterBox);
  }
}

// The planes of a picture as the scaler should see them. A frame of two interleaved fields is
// read as its first field alone (every other row, from the top or the second row as the stream
// says which field comes first): scaling both would show anything that moved between them twice,
// and at thumbnail size one field loses no detail. Only heights whose field still divides the
// chroma rows evenly are split; any other picture is taken whole.
PlaneSet sourcePlanes(const Picture& picture) {
  const AVFrame& frame = picture.frame();
  PlaneSet set;
  for (int i = 0; i < 4; ++i) {
    set.data[i] = frame.data[i];
    set.stride[i] = frame.linesize[i];
  }
  set.width = frame.width;
  set.height = frame.height;
  set.format = static_cast<AVPixelFormat>(frame.format);
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(set.format);
  if (!picture.twoFields() || desc == nullptr || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 ||
      frame.height % (4 << desc->log2_chroma_h) != 0) {
    return set;
  }
  const bool bottomFirst = !frame.top_field_first;
  for (int i = 0; i < 4 && set.data[i] != nullptr; ++i) {
    if (bottomFirst) set.data[i] += set.stride[i];
    set.stride[i] *= 2;
  }
  set.height /= 2;
  return set;
}

// A large reduction is mostly averaging, and libyuv averages blocks of samples far faster than
// the scaler's general area filter runs over a whole picture. So a picture at least four times
// the target in both directions first has its planes box-averaged by a power of two, luma and
// chroma alike down to one common grid (a 4:4:4 picture); libswscale then does the rest, at least
// a factor of two, with its area filter, and converts the colours. Box averages over aligned
// blocks compose, so the result is the area filter's. Only planar YUV of native-endian samples
// whose plane sizes divide evenly is reduced; anything else goes to the scaler as it is.
PlaneSet preReduce(const PlaneSet& source, int targetW, int targetH,
                   std::array<Bytes, 3>& scratch) {
  const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(source.format);
  if (desc == nullptr || desc->nb_components != 3 || (desc->flags & AV_PIX_FMT_FLAG_PLANAR) == 0 ||
      (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_HWACCEL)) != 0) {
    return source;
  }
  const AVPixelFormat reduced = fullChromaFormat(*desc);
  int factor = 1;
  while (factor < 8 && source.width >= 4 * factor * targetW &&
         source.height >= 4 * factor * targetH) {
    factor *= 2;
  }
  const int chromaW = 1 << desc->log2_chroma_w, chromaH = 1 << desc->log2_chroma_h;
  if (reduced == AV_PIX_FMT_NONE || factor < std::max(chromaW, chromaH) || factor == 1 ||
      source.width % factor != 0 || source.height % factor != 0) {
    return source;
  }
  PlaneSet set;
  const int outW = source.width / factor, outH = source.height / factor;
  for (int p = 0; p < 3; ++p) {
    const int planeW = p == 0 ? source.width : source.width / chromaW;
    const int planeH = p == 0 ? source.height : source.height / chromaH;
    int stride = 0;
    reducePlane(source.data[p], source.stride[p], planeW, planeH, outW, outH,
                desc->comp[0].depth > 8, scratch[p], stride);
    set.data[p] = scratch[p].data();
    set.stride[p] = stride;
  }
  set.width = outW;
  set.height = outH;
  set.format = reduced;
  return set;
}

// Runs the scaler over the whole source into output planes of `height` rows.
void convert(SwsContext* context, const PlaneSet& planes, uint8_t* const out[4],
             const int outStride[4], int height) {
  const int rows = sws_scale(context, planes.data, planes.stride, 0, planes.height, out, outStride);
  if (rows != height) {
    throw JobError(ErrorCode::internalError, "sws_scale " + std::to_string(rows));
  }
}

// A scaler holds few contexts: a job's pictures share one stream, so one entry is the rule and
// more than a handful means the source keeps changing shape; the oldest is then dropped.
constexpr size_t kMaxCachedContexts = 4;

}  // namespace

struct Scaler::Entry {
  SourceFormat source;
  int width;
  int height;
  SwsContextPtr context;
};

Scaler::Scaler() = default;
Scaler::~Scaler() = default;
Scaler::Scaler(Scaler&&) noexcept = default;
Scaler& Scaler::operator=(Scaler&&) noexcept = default;

BGRAImage Scaler::scale(const Picture& picture, int width, int height) {
  const AVFrame& frame = picture.frame();
  const std::optional<HdrSignal> hdr = hdrSignalOf(frame);
  SourceFormat source = describeSource(frame, hdr.has_value());
  const PlaneSet planes = preReduce(sourcePlanes(picture), width, height, scratch_);
  source.width = planes.width;
  source.height = planes.height;
  if (planes.format != static_cast<AVPixelFormat>(frame.format)) source.format = planes.format;
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) {
    return e.source == source && e.width == width && e.height == height;
  });
  if (it == entries_.end()) {
    SwsContextPtr ctx = makeContext(source, width, height);
    if (entries_.size() >= kMaxCachedContexts) entries_.erase(entries_.begin());
    entries_.push_back(Entry{source, width, height, std::move(ctx)});
    it = entries_.end() - 1;
  }
  SwsContext* const context = it->context.get();

  BGRAImage image(width, height);
  if (!hdr) {
    uint8_t* const out[4] = {image.pixels().data(), nullptr, nullptr, nullptr};
    const int outStride[4] = {static_cast<int>(image.rowBytes()), 0, 0, 0};
    convert(context, planes, out, outStride, height);
    return image;
  }
  // HDR: planar 16-bit G, B, R at cell size, then the tone mapper.
  const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
  rgb_.resize(3 * plane);
  uint16_t* const g = rgb_.data();
  uint16_t* const b = g + plane;
  uint16_t* const r = b + plane;
  uint8_t* const out[4] = {reinterpret_cast<uint8_t*>(g), reinterpret_cast<uint8_t*>(b),
                           reinterpret_cast<uint8_t*>(r), nullptr};
  const int stride = width * static_cast<int>(sizeof(uint16_t));
  const int outStride[4] = {stride, stride, stride, 0};
  convert(context, planes, out, outStride, height);
  if (!toneMapper_ || toneMapper_->signal() != *hdr)
    toneMapper_ = std::make_unique<ToneMapper>(*hdr);
  toneMapper_->toBgra({r, g, b, static_cast<size_t>(width)}, width, height, image.pixels().data());
  return image;
}

BGRAImage scale(const Picture& picture, int width, int height) {
  Scaler scaler;
  return scaler.scale(picture, width, height);
}

namespace {

// The part of one picture that lands in one cell: source offsets and the copied extent.
struct Placement {
  int64_t canvasX, canvasY;  // where the first copied pixel goes
  int64_t srcX, srcY;        // which picture pixel that is
  int64_t width, height;     // extent copied, in pixels (> 0)
};

// Where a picture sits in the cell at (cellX, cellY), cut to the cell so that a picture too
// large for its place, or a negative pad, never reaches a neighbouring cell or past the canvas.
std::optional<Placement> placeInCell(const BGRAImage& picture, int64_t cellX, int64_t cellY,
                                     int64_t cellW, int64_t cellH, int64_t padX, int64_t padY) {
  const int64_t left = cellX + padX, top = cellY + padY;
  const int64_t x0 = std::max(left, cellX), x1 = std::min(left + picture.width(), cellX + cellW);
  const int64_t y0 = std::max(top, cellY), y1 = std::min(top + picture.height(), cellY + cellH);
  if (x0 >= x1 || y0 >= y1) return std::nullopt;
  return Placement{x0, y0, x0 - left, y0 - top, x1 - x0, y1 - y0};
}

void copyRows(const BGRAImage& picture, const Placement& p, BGRAImage& canvas) {
  const uint8_t* src = picture.pixels().data() + p.srcY * picture.rowBytes() + p.srcX * 4;
  uint8_t* dst = canvas.pixels().data() + p.canvasY * canvas.rowBytes() + p.canvasX * 4;
  for (int64_t r = 0; r < p.height; ++r) {
    std::memcpy(dst, src, static_cast<size_t>(p.width) * 4);
    src += picture.rowBytes();
    dst += canvas.rowBytes();
  }
}

}  // namespace

BGRAImage compose(const Level& level, int cellW, int cellH, int padX, int padY,
                  std::span<const std::optional<BGRAImage>> frames) {
  const bool degenerate = level.cellsW <= 0 || level.cellsH <= 0 || cellW <= 0 || cellH <= 0;
  if (degenerate) {
    return BGRAImage(std::max<int64_t>(int64_t{level.cellsW} * cellW, 0),
                     std::max<int64_t>(int64_t{level.cellsH} * cellH, 0));
  }

  BGRAImage canvas(int64_t{level.cellsW} * cellW, int64_t{level.cellsH} * cellH);
  const size_t cells = std::min(level.indices.size(), size_t(level.cellsW) * size_t(level.cellsH));
  for (size_t i = 0; i < cells; ++i) {
    const uint16_t v = level.indices[i];
    if (v == blackCell || v >= frames.size() || !frames[v]) continue;
    const int64_t column = int64_t(i % size_t(level.cellsW));
    const int64_t row = int64_t(i / size_t(level.cellsW));
    const auto placement =
        placeInCell(*frames[v], column * cellW, row * cellH, cellW, cellH, padX, padY);
    if (placement) copyRows(*frames[v], *placement, canvas);
  }
  return canvas;
}

}  // namespace Compositor

}  // namespace mosaickit
