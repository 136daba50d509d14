// Reads the H.264 or H.265 video of a media file with libavformat (MP4, MOV, Matroska, MPEG-TS,
// raw Annex-B streams and whatever else it can demultiplex) and gives what jobs are made of: the
// stream's configuration, where its keyframes are, and chosen keyframes as access units in the
// daemon's form (4-byte length-prefixed NAL units).
//
// With the index of an MP4 or MOV file (its sample tables), scan() reads the start of the stream,
// each keyframe alone and the last group of pictures, and readKeyframes() only the chosen
// keyframes: a few per cent of the file. Other files are read whole by scan() and again by
// readKeyframes(). Either way no more than the chosen keyframes are ever held, and the two
// readings give the same times and bytes.
//
// Not thread-safe: one thread uses a VideoSource. Errors: SourceError, whose what() is one line
// that begins with the file's path.

#ifndef GRIDWRIGHT_TOOLS_VIDEO_SOURCE_H_
#define GRIDWRIGHT_TOOLS_VIDEO_SOURCE_H_

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "mosaickit/protocol.h"
#include "orientation.h"

struct AVFormatContext;
struct AVPacket;
struct AVStream;

namespace sprites {

class SourceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the data of a file ended before the length its container states.
struct Truncation {
  double dataEnd = 0;   // playback seconds up to which frames could be read
  double declared = 0;  // playback seconds the container says the video lasts
};

struct StreamInfo {
  mosaickit::Codec codec = mosaickit::Codec::h264;
  // The coded picture's size in pixels and its sample aspect ratio (1:1 when none is known).
  int width = 0, height = 0;
  int sarNum = 1, sarDen = 1;
  // How pictures are turned to be shown (the container's display matrix).
  Orientation orientation = Orientation::none;
  // Playback time: seconds from the first frame a player shows (after the file's edit list, if
  // any) to the end of the last one it shows.
  double duration = 0;
  // The playback time of each keyframe, in the order the file stores them (decode order);
  // readKeyframes numbers them the same way. A keyframe decoded before the edit list's start
  // (pre-roll) has a time below 0: the latest of those is the picture a player shows at 0.
  std::vector<double> keyframeTimes;
  // Set when the file's data ends before its stated length; duration then ends with the data.
  std::optional<Truncation> truncation;
  // The configuration every job carries: the stream's first SPS and PPS (H.264) or VPS, SPS and
  // PPS (H.265), from the container's configuration record or else from the stream itself.
  std::vector<mosaickit::Bytes> paramSets;
};

// Where the media libraries' own messages go: nowhere (the tool says what went wrong in its own
// line), or, for --verbose, standard error. Call once, before any other libav call.
void routeMediaLog(bool toStandardError);

// Walks the packets of one stream (defined with VideoSource).
class PacketWalker;

class VideoSource {
 public:
  // Opens the file and picks the H.264 or H.265 video stream a player would show: one marked
  // default before others, then the largest picture. Throws SourceError when the
  // file cannot be opened or read, or holds no such stream.
  // With `useIndex` false, scan() reads every packet even where the file has an index.
  explicit VideoSource(std::string path, bool useIndex = true);

  // Reads the whole video stream once. Throws SourceError when it has no keyframe or no
  // complete set of parameter sets.
  StreamInfo scan();

  // Reads the file again and calls `sink` with the number of each keyframe that `wanted` marks
  // (wanted[k] for the k-th keyframe) and its access unit: length-prefixed NAL units, with the
  // configuration record's further parameter sets (beyond those of the key) in front, access
  // unit delimiters left out and in-band parameter sets kept. REQUIRES: scan() was called.
  void readKeyframes(const std::vector<bool>& wanted,
                     const std::function<void(size_t keyframe, mosaickit::Bytes unit)>& sink);

  // Whether scan() read through the file's index rather than every packet.
  bool readThroughIndex() const { return !indexed_.empty(); }

  struct InputCloser {
    void operator()(AVFormatContext* input) const;
  };

  // A sample (a keyframe, mostly) as the index gives it: where its bytes are, and its timestamp
  // there.
  struct IndexedKeyframe {
    int64_t pos = 0;
    int64_t timestamp = 0;
    // What to seek to for it: the demuxer's seek times differ from its index's by a shift of its
    // own (an edit list's, a decode delay's), so a keyframe is sought halfway to the next one.
    int64_t seekTarget = 0;
  };

 private:
  struct Scan;
  Scan startScan();
  void finishScan(const Scan& scan, const AVFormatContext& input, const AVStream& stream,
                  const PacketWalker& walker, StreamInfo& info);
  bool scanByIndex(AVFormatContext& input, StreamInfo& info);
  bool giveUpIndex();
  const AVPacket* readIndexed(PacketWalker& walker, const IndexedKeyframe& k);
  const AVPacket* readSample(PacketWalker& walker, const IndexedKeyframe& sample);
  mosaickit::Bytes unitOf(const AVPacket& packet) const;

  std::string path_;
  int streamIndex_ = -1;
  mosaickit::Codec codec_ = mosaickit::Codec::h264;
  int nalLengthSize_ = 0;  // 0: the packets are Annex-B
  std::vector<mosaickit::Bytes> recordSets_;
  std::vector<mosaickit::Bytes> extraSets_;
  bool useIndex_ = true;
  // Open from construction; the scan reads it, and readKeyframes() too when it goes through the
  // index.
  std::unique_ptr<AVFormatContext, InputCloser> input_;
  std::vector<IndexedKeyframe> indexed_;       // the keyframes through the index, when it is used
  std::map<size_t, mosaickit::Bytes> cached_;  // keyframes' units the indexed scan kept
};

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_VIDEO_SOURCE_H_
