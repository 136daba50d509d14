#include "video_source.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "config_record.h"
#include "interrupt.h"
#include "mosaickit/annexb.h"

namespace sprites {

namespace {

using mosaickit::Bytes;
using mosaickit::ByteView;
using mosaickit::Codec;

using InputPtr = std::unique_ptr<AVFormatContext, VideoSource::InputCloser>;

struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;

std::string avError(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return text;
}

InputPtr openInput(const std::string& path) {
  AVFormatContext* raw = nullptr;
  int status = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (status < 0) throw SourceError(path + ": " + avError(status));
  InputPtr input(raw);
  status = avformat_find_stream_info(input.get(), nullptr);
  if (status < 0) throw SourceError(path + ": cannot read its streams: " + avError(status));
  return input;
}

std::optional<Codec> codecOf(const AVStream& stream) {
  if (stream.disposition & AV_DISPOSITION_ATTACHED_PIC) return std::nullopt;
  switch (stream.codecpar->codec_id) {
    case AV_CODEC_ID_H264:
      return Codec::h264;
    case AV_CODEC_ID_HEVC:
      return Codec::h265;
    default:
      return std::nullopt;
  }
}

// The streams a file has, for the message that says none of them will do: "aac audio, vp9 video".
std::string describeStreams(const AVFormatContext& input) {
  std::string text;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVCodecParameters& p = *input.streams[i]->codecpar;
    const char* kind = av_get_media_type_string(p.codec_type);
    if (!text.empty()) text += ", ";
    text += std::string(avcodec_get_name(p.codec_id)) + " " + (kind ? kind : "data");
  }
  return text;
}

// The stream a player would show: of the H.264 and H.265 video streams (never an attached
// picture), one marked default before others, then the largest picture, then the first; the
// choice of the ffmpeg command.
int pickStream(const AVFormatContext& input, const std::string& path) {
  int best = -1;
  int64_t bestScore = -1;
  for (unsigned i = 0; i < input.nb_streams; ++i) {
    const AVStream& stream = *input.streams[i];
    if (!codecOf(stream)) continue;
    const int64_t area = static_cast<int64_t>(std::max(stream.codecpar->width, 0)) *
                         std::max(stream.codecpar->height, 0);
    const int64_t score =
        area + ((stream.disposition & AV_DISPOSITION_DEFAULT) ? int64_t{1} << 40 : 0);
    if (score > bestScore) {
      best = static_cast<int>(i);
      bestScore = score;
    }
  }
  if (best >= 0) return best;
  const std::string found = describeStreams(input);
  throw SourceError(path + ": no H.264 or H.265 video stream" +
                    (found.empty() ? "" : " (it has " + found + ")"));
}

std::vector<ByteView> splitLengthPrefixed(ByteView sample, int lengthSize) {
  std::vector<ByteView> units;
  const size_t width = static_cast<size_t>(lengthSize);
  size_t i = 0;
  while (sample.size() - i >= width) {
    size_t length = 0;
    for (size_t k = 0; k < width; ++k) length = length << 8 | sample[i + k];
    i += width;
    if (length > sample.size() - i) break;  // a damaged sample: keep what is whole
    if (length > 0) units.push_back(sample.subspan(i, length));
    i += length;
  }
  return units;
}

int nalType(Codec codec, ByteView nal) {
  return codec == Codec::h264 ? (nal[0] & 0x1F) : ((nal[0] >> 1) & 0x3F);
}

bool isDelimiter(Codec codec, ByteView nal) {
  return nalType(codec, nal) == (codec == Codec::h264 ? 9 : 35);
}

// The place of a parameter set in a job's list (SPS, PPS; or VPS, SPS, PPS), or -1.
int keyPlace(Codec codec, ByteView nal) {
  const int type = nalType(codec, nal);
  if (codec == Codec::h264) return type == 7 ? 0 : type == 8 ? 1 : -1;
  return type >= 32 && type <= 34 ? type - 32 : -1;
}

size_t keySize(Codec codec) {
  return codec == Codec::h264 ? 2 : 3;
}

// Collects the first parameter set of each kind a job needs.
class KeyBuilder {
 public:
  explicit KeyBuilder(Codec codec) : codec_(codec), sets_(keySize(codec)) {}

  // True when `nal` became part of the key.
  bool offer(ByteView nal) {
    const int place = keyPlace(codec_, nal);
    if (place < 0 || !sets_[static_cast<size_t>(place)].empty()) return false;
    sets_[static_cast<size_t>(place)].assign(nal.begin(), nal.end());
    return true;
  }
  bool complete() const {
    return std::none_of(sets_.begin(), sets_.end(), [](const Bytes& s) { return s.empty(); });
  }
  const std::vector<Bytes>& sets() const { return sets_; }

 private:
  Codec codec_;
  std::vector<Bytes> sets_;
};

}  // namespace

// Walks the packets of one stream, giving each its time in the stream's units (made up from
// the frame rate where the file has none).
class PacketWalker {
 public:
  PacketWalker(AVFormatContext& input, int streamIndex)
      : input_(input), stream_(*input.streams[streamIndex]), packet_(av_packet_alloc()) {
    if (!packet_) throw SourceError("out of memory");
    for (unsigned i = 0; i < input.nb_streams; ++i) {
      if (static_cast<int>(i) != streamIndex) input.streams[i]->discard = AVDISCARD_ALL;
    }
    AVRational rate =
        stream_.avg_frame_rate.num > 0 ? stream_.avg_frame_rate : stream_.r_frame_rate;
    if (rate.num > 0 && rate.den > 0)
      frameTicks_ = av_rescale_q(1, av_inv_q(rate), stream_.time_base);
  }

  // The next packet of the stream, or nullptr at the end of the file. A read that fails after
  // some of the stream was read ends it too (readFailed() says so): a file cut short often reads
  // that way, and what came before is still good.
  const AVPacket* next(const std::string& path) {
    for (;;) {
      if (interrupted()) throw SourceError(path + ": interrupted");
      av_packet_unref(packet_.get());
      const int status = av_read_frame(&input_, packet_.get());
      if (status == AVERROR_EOF) return nullptr;
      if (status < 0 && packets_ > 0) {
        readFailed_ = true;
        return nullptr;
      }
      if (status < 0) throw SourceError(path + ": read failed: " + avError(status));
      if (packet_->stream_index != stream_.index) continue;
      ++packets_;
      if (isCutShort()) readFailed_ = true;
      int64_t ts = packet_->pts != AV_NOPTS_VALUE ? packet_->pts : packet_->dts;
      if (ts == AV_NOPTS_VALUE) ts = nextTs_;
      const int64_t ticks = packet_->duration > 0 ? packet_->duration : frameTicks_;
      time_ = ts;
      end_ = ts + ticks;
      nextTs_ = std::max(nextTs_, end_);
      return packet_.get();
    }
  }

  // Moves to the keyframe of the stream whose index timestamp is `timestamp`, so that next()
  // gives it. False when the demuxer cannot seek there.
  bool seekTo(int64_t timestamp, bool anySample) {
    return av_seek_frame(&input_, stream_.index, timestamp,
                         AVSEEK_FLAG_BACKWARD | (anySample ? AVSEEK_FLAG_ANY : 0)) >= 0;
  }

  int64_t time() const { return time_; }
  int64_t end() const { return end_; }
  // Keyframes include those the edit list leaves out of playback (pre-roll before its start):
  // a player decodes the one before the start to show the start.
  bool isKeyframe() const { return (packet_->flags & AV_PKT_FLAG_KEY) && !isCutShort(); }
  // Cut short by the end of the file: not a frame anyone can show.
  bool isCutShort() const { return packet_->flags & AV_PKT_FLAG_CORRUPT; }
  // Outside the edit list: decoded by a player, never shown.
  bool isDiscarded() const { return packet_->flags & AV_PKT_FLAG_DISCARD; }
  bool readFailed() const { return readFailed_; }
  double seconds(int64_t ticks) const {
    return static_cast<double>(ticks) * av_q2d(stream_.time_base);
  }

 private:
  AVFormatContext& input_;
  const AVStream& stream_;
  PacketPtr packet_;
  int64_t frameTicks_ = 0;
  int64_t nextTs_ = 0;
  size_t packets_ = 0;
  bool readFailed_ = false;
  int64_t time_ = 0, end_ = 0;
};

namespace {

// The earliest start and latest end of a set of packets, in ticks of the stream's time base.
struct TickSpan {
  int64_t begin = std::numeric_limits<int64_t>::max();
  int64_t end = std::numeric_limits<int64_t>::min();

  void add(int64_t packetBegin, int64_t packetEnd) {
    begin = std::min(begin, packetBegin);
    end = std::max(end, packetEnd);
  }
  bool empty() const { return begin > end; }
};

// The turn the stream's display matrix asks for, if it has one.
Orientation orientationOf(const AVStream& stream) {
  size_t size = 0;
  const uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  if (matrix == nullptr || size < 9 * sizeof(int32_t)) return Orientation::none;
  int32_t entries[9];
  std::memcpy(entries, matrix, sizeof entries);
  return sprites::orientationOf(entries);
}

// The end of the stream's playback as its container states it, in ticks of its time base, when
// the container states it from its own index rather than guessing it from the bit rate.
std::optional<int64_t> declaredEnd(const AVFormatContext& input, const AVStream& stream) {
  if (input.duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) return std::nullopt;
  if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
    const int64_t start = stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0;
    return start + stream.duration;
  }
  // Matroska states the length of the whole file only (its segment's duration).
  if (input.duration == AV_NOPTS_VALUE || input.duration <= 0) return std::nullopt;
  const int64_t start = input.start_time != AV_NOPTS_VALUE ? input.start_time : 0;
  return av_rescale_q(start + input.duration, AV_TIME_BASE_Q, stream.time_base);
}

// Where the data ended, when it ended before the stated length by more than a frame's rounding,
// or when a read failed.
std::optional<Truncation> truncationOf(const AVFormatContext& input, const AVStream& stream,
                                       const PacketWalker& walker, int64_t origin, int64_t end) {
  const std::optional<int64_t> stated = declaredEnd(input, stream);
  // Containers round their stated lengths; a quarter of a second more is no truncation.
  const double slack = 0.25;
  const bool short_ = stated && walker.seconds(*stated - end) > slack;
  if (!short_ && !walker.readFailed()) return std::nullopt;
  Truncation t;
  t.dataEnd = walker.seconds(end - origin);
  t.declared = stated ? walker.seconds(*stated - origin) : t.dataEnd;
  return t;
}

// The keyframes of the stream's index whose bytes lie in the file, in decode order, when the
// index is the container's whole sample table (the MP4 and MOV demuxer builds it from the
// sample tables before any packet is read); none otherwise.
std::vector<VideoSource::IndexedKeyframe> indexedKeyframes(AVFormatContext& input,
                                                           const AVStream& stream) {
  std::vector<VideoSource::IndexedKeyframe> keyframes;
  if (std::string_view(input.iformat->name).find("mov") == std::string_view::npos) return keyframes;
  const int64_t fileSize = input.pb ? avio_size(input.pb) : -1;
  if (fileSize <= 0) return keyframes;
  const int count = avformat_index_get_entries_count(&stream);
  for (int i = 0; i < count; ++i) {
    const AVIndexEntry* e = avformat_index_get_entry(const_cast<AVStream*>(&stream), i);
    if (!(e->flags & AVINDEX_KEYFRAME)) continue;
    if (e->pos < 0 || e->pos + e->size > fileSize) break;  // past the end of a cut file
    keyframes.push_back({e->pos, e->timestamp, e->timestamp});
  }
  for (size_t k = 0; k < keyframes.size(); ++k) {
    const int64_t gap = k + 1 < keyframes.size()
                            ? keyframes[k + 1].timestamp - keyframes[k].timestamp
                        : k > 0 ? keyframes[k].timestamp - keyframes[k - 1].timestamp
                                : 0;
    keyframes[k].seekTarget += std::max<int64_t>(gap / 2, 0);
  }
  return keyframes;
}

// The sample `margin` samples before the last one whose bytes are in the file, when the index
// is the container's sample table.
std::optional<VideoSource::IndexedKeyframe> sampleBeforeEnd(AVFormatContext& input,
                                                            const AVStream& stream, size_t margin) {
  const int64_t fileSize = input.pb ? avio_size(input.pb) : -1;
  int last = avformat_index_get_entries_count(&stream) - 1;
  for (; last >= 0; --last) {
    const AVIndexEntry* e = avformat_index_get_entry(const_cast<AVStream*>(&stream), last);
    if (e->pos >= 0 && e->pos + e->size <= fileSize) break;
  }
  if (last < static_cast<int>(margin)) return std::nullopt;
  const AVIndexEntry* e =
      avformat_index_get_entry(const_cast<AVStream*>(&stream), last - static_cast<int>(margin));
  return VideoSource::IndexedKeyframe{e->pos, e->timestamp, e->timestamp};
}

}  // namespace

void routeMediaLog(bool toStandardError) {
  av_log_set_level(toStandardError ? AV_LOG_INFO : AV_LOG_QUIET);
  av_log_set_callback(toStandardError ? av_log_default_callback
                                      : [](void*, int, const char*, va_list) {});
}

void VideoSource::InputCloser::operator()(AVFormatContext* input) const {
  avformat_close_input(&input);
}

VideoSource::VideoSource(std::string path, bool useIndex)
    : path_(std::move(path)), useIndex_(useIndex), input_(openInput(path_)) {
  streamIndex_ = pickStream(*input_, path_);
  const AVStream& stream = *input_->streams[streamIndex_];
  codec_ = *codecOf(stream);
  const ByteView extradata(stream.codecpar->extradata,
                           static_cast<size_t>(std::max(stream.codecpar->extradata_size, 0)));
  if (extradata.empty()) return;
  if (isConfigRecord(extradata)) {
    const std::optional<ConfigRecord> record = parseConfigRecord(codec_, extradata);
    if (!record) {
      throw SourceError(path_ + ": unreadable " + (codec_ == Codec::h264 ? "avcC" : "hvcC") +
                        " configuration record");
    }
    nalLengthSize_ = record->nalLengthSize;
    recordSets_ = record->paramSets;
  } else {
    for (ByteView nal : mosaickit::splitNalUnits(extradata)) {
      if (keyPlace(codec_, nal) >= 0) recordSets_.emplace_back(nal.begin(), nal.end());
    }
  }
}

// What a scan learns from the packets it reads: the parameter sets, the spans of playback and
// every keyframe's time and place, each packet counted as the sequential reading counts it.
struct VideoSource::Scan {
  explicit Scan(Codec codec) : key(codec) {}

  void observe(const PacketWalker& walker, const AVPacket& packet, int nalLengthSize) {
    if (walker.isCutShort()) return;
    all.add(walker.time(), walker.end());
    if (!walker.isDiscarded()) kept.add(walker.time(), walker.end());
    if (!key.complete()) {
      const ByteView data(packet.data, static_cast<size_t>(packet.size));
      for (ByteView nal : nalLengthSize ? splitLengthPrefixed(data, nalLengthSize)
                                        : mosaickit::splitNalUnits(data)) {
        key.offer(nal);
      }
    }
    if (walker.isKeyframe()) {
      keyTicks.push_back(walker.time());
      keyPositions.push_back(packet.pos);
    }
  }

  KeyBuilder key;
  // Playback runs over the packets the edit list keeps; if it keeps none, over them all.
  TickSpan kept, all;
  std::vector<int64_t> keyTicks;
  std::vector<int64_t> keyPositions;
};

StreamInfo VideoSource::scan() {
  // The input opened to pick the stream, nothing of it read yet.
  InputPtr& input = input_;
  const AVStream* stream = input->streams[streamIndex_];
  StreamInfo info;
  info.codec = codec_;
  info.width = stream->codecpar->width;
  info.height = stream->codecpar->height;
  const AVRational sar =
      av_guess_sample_aspect_ratio(input.get(), const_cast<AVStream*>(stream), nullptr);
  if (sar.num > 0 && sar.den > 0) {
    info.sarNum = sar.num;
    info.sarDen = sar.den;
  }
  info.orientation = orientationOf(*stream);

  if (useIndex_ && scanByIndex(*input, info)) return info;
  // No usable index, or one that did not match the packets: every packet, in order.
  input = openInput(path_);
  stream = input->streams[streamIndex_];
  Scan scan = startScan();
  PacketWalker walker(*input, streamIndex_);
  while (const AVPacket* packet = walker.next(path_)) scan.observe(walker, *packet, nalLengthSize_);
  finishScan(scan, *input, *stream, walker, info);
  return info;
}

// With an index that is the container's whole sample table (MP4, MOV), only some packets are
// read, each as the sequential reading would read it: the first ones, up to a reordering's
// depth past the first packet played (so the earliest playback time is known whatever the edit
// list keeps); the last ones, from that depth before the last sample whose bytes are in the
// file to the end (the latest time, and where the data ends); and in between each keyframe
// alone, found through the index. A packet that is not where the index says makes this give up
// (false) before anything is decided.
bool VideoSource::scanByIndex(AVFormatContext& input, StreamInfo& info) {
  // More than any H.264 or H.265 stream may hold back for reordering (16 pictures).
  constexpr size_t kReorderMargin = 17;
  const AVStream& stream = *input.streams[streamIndex_];
  indexed_ = indexedKeyframes(input, stream);
  const std::optional<IndexedKeyframe> tailStart = sampleBeforeEnd(input, stream, kReorderMargin);
  if (indexed_.size() < 3 || !tailStart) return giveUpIndex();
  Scan scan = startScan();
  PacketWalker walker(input, streamIndex_);
  // Each packet read counts as the sequential reading counts it; keyframes' bytes are kept, as
  // far as a small budget goes, so that readKeyframes() need not read them again.
  constexpr size_t kKeptBytes = 32u << 20;
  size_t keptBytes = 0;
  cached_.clear();
  auto observe = [&](const AVPacket& packet) {
    scan.observe(walker, packet, nalLengthSize_);
    if (!walker.isKeyframe() || keptBytes + static_cast<size_t>(packet.size) > kKeptBytes) return;
    keptBytes += static_cast<size_t>(packet.size);
    cached_[scan.keyPositions.size() - 1] = unitOf(packet);
  };

  size_t pastPlayed = 0;
  int64_t headEnd = -1;
  bool played = false;
  while (pastPlayed < kReorderMargin) {
    const AVPacket* packet = walker.next(path_);
    if (packet == nullptr) return giveUpIndex();  // the whole stream is short
    observe(*packet);
    headEnd = packet->pos;
    played |= !walker.isCutShort() && !walker.isDiscarded();
    if (played) ++pastPlayed;
  }
  if (headEnd >= tailStart->pos || !scan.key.complete()) return giveUpIndex();
  for (const IndexedKeyframe& k : indexed_) {
    if (k.pos <= headEnd || k.pos >= tailStart->pos) continue;
    const AVPacket* packet = readIndexed(walker, k);
    if (packet == nullptr) return giveUpIndex();
    observe(*packet);
  }
  const AVPacket* tail = readSample(walker, *tailStart);
  if (tail == nullptr) return giveUpIndex();
  for (const AVPacket* packet = tail; packet != nullptr; packet = walker.next(path_)) {
    observe(*packet);
  }
  const bool same = std::equal(scan.keyPositions.begin(), scan.keyPositions.end(), indexed_.begin(),
                               indexed_.end(),
                               [](int64_t pos, const IndexedKeyframe& k) { return pos == k.pos; });
  if (!same) return giveUpIndex();
  finishScan(scan, input, stream, walker, info);
  return true;
}

bool VideoSource::giveUpIndex() {
  indexed_.clear();
  cached_.clear();
  return false;
}

// The packet of keyframe `k` through a seek; nothing when it is not where the index says.
const AVPacket* VideoSource::readIndexed(PacketWalker& walker, const IndexedKeyframe& k) {
  if (!walker.seekTo(k.seekTarget, false)) return nullptr;
  const AVPacket* packet = walker.next(path_);
  if (packet == nullptr || packet->pos != k.pos || !walker.isKeyframe()) return nullptr;
  return packet;
}

// The packet of any sample through a seek. The shift between the demuxer's seek times and its
// index's is not known, so it is found by bisection: a seek that lands before the sample asks
// for more, one after it for less. Nothing when no seek lands on it.
const AVPacket* VideoSource::readSample(PacketWalker& walker, const IndexedKeyframe& sample) {
  int64_t low = -(int64_t{1} << 40), high = int64_t{1} << 40;
  while (low <= high) {
    const int64_t shift = low + (high - low) / 2;
    if (!walker.seekTo(sample.timestamp + shift, true)) return nullptr;
    const AVPacket* packet = walker.next(path_);
    if (packet == nullptr || packet->pos > sample.pos) {
      high = shift - 1;
    } else if (packet->pos < sample.pos) {
      low = shift + 1;
    } else {
      return packet;
    }
  }
  return nullptr;
}

// The configuration record's sets come first; the sets it holds beyond the key travel in front
// of every access unit, so that slices referring to them still decode.
VideoSource::Scan VideoSource::startScan() {
  Scan scan(codec_);
  extraSets_.clear();
  for (const Bytes& set : recordSets_) {
    if (!scan.key.offer(set)) extraSets_.push_back(set);
  }
  return scan;
}

void VideoSource::finishScan(const Scan& scan, const AVFormatContext& input, const AVStream& stream,
                             const PacketWalker& walker, StreamInfo& info) {
  if (scan.keyTicks.empty()) throw SourceError(path_ + ": the video stream has no keyframe");
  if (!scan.key.complete()) {
    throw SourceError(path_ + ": the video stream has no complete set of parameter sets");
  }
  const auto [origin, end] = scan.kept.empty() ? scan.all : scan.kept;
  info.paramSets = scan.key.sets();
  info.duration = walker.seconds(end - origin);
  for (int64_t t : scan.keyTicks) info.keyframeTimes.push_back(walker.seconds(t - origin));
  info.truncation = truncationOf(input, stream, walker, origin, end);
}

Bytes VideoSource::unitOf(const AVPacket& packet) const {
  Bytes unit;
  for (const Bytes& set : extraSets_) mosaickit::appendLengthPrefixed(unit, set);
  const ByteView data(packet.data, static_cast<size_t>(packet.size));
  for (ByteView nal : nalLengthSize_ ? splitLengthPrefixed(data, nalLengthSize_)
                                     : mosaickit::splitNalUnits(data)) {
    if (!isDelimiter(codec_, nal)) mosaickit::appendLengthPrefixed(unit, nal);
  }
  return unit;
}

void VideoSource::readKeyframes(const std::vector<bool>& wanted,
                                const std::function<void(size_t, Bytes)>& sink) {
  // Through the index, the input the scan used; else every packet again, from a new one.
  if (indexed_.empty()) input_ = openInput(path_);
  PacketWalker walker(*input_, streamIndex_);
  if (!indexed_.empty()) {
    // Only the keyframes asked for, each through the index.
    for (size_t k = 0; k < wanted.size() && k < indexed_.size(); ++k) {
      if (!wanted[k]) continue;
      if (auto kept = cached_.find(k); kept != cached_.end()) {
        sink(k, std::move(kept->second));
        cached_.erase(kept);
        continue;
      }
      const AVPacket* packet = readIndexed(walker, indexed_[k]);
      if (packet == nullptr) {
        throw SourceError(path_ + ": keyframe " + std::to_string(k + 1) +
                          " is not where the file's index says");
      }
      sink(k, unitOf(*packet));
    }
    cached_.clear();
    return;
  }
  size_t keyframe = 0;
  while (const AVPacket* packet = walker.next(path_)) {
    if (!walker.isKeyframe()) continue;
    const size_t k = keyframe++;
    if (k >= wanted.size() || !wanted[k]) continue;
    sink(k, unitOf(*packet));
  }
}

}  // namespace sprites
