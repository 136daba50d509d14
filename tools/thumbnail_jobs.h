// The daemon's jobs for a sprite plan: keyframes in, sheets and single thumbnails out.
//
// One job per sheet, its level the sheet laid out in the coded orientation (so that the sheet,
// turned as a whole, reads row by row); when single images are wanted too (BIF), one-cell
// levels ride in the same jobs, so each keyframe is decoded once for both, and further jobs
// carry what one job's levels and reply cannot hold. Jobs are submitted as soon as their
// keyframes have arrived, as many in flight as the daemon takes, and their pictures handed on,
// turned upright, in job order.
//
// Main thread only (the client's futures are waited on here). Errors: JobFailure, one line
// naming the sheet or thumbnail and the daemon's code and message; the client's and
// orientJpeg's own errors pass through.

#ifndef GRIDWRIGHT_TOOLS_THUMBNAIL_JOBS_H_
#define GRIDWRIGHT_TOOLS_THUMBNAIL_JOBS_H_

#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <stdexcept>
#include <vector>

#include "mosaickit/client.h"
#include "mosaickit/protocol.h"
#include "sprite_plan.h"
#include "summary.h"
#include "video_source.h"

namespace sprites {

class JobFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where the pictures go: the sheet's number in plan.sheets, or the thumbnail's in
// plan.thumbnails, with its upright JPEG.
struct PictureSinks {
  std::function<void(size_t sheet, const mosaickit::Bytes& jpeg)> sheet;
  std::function<void(size_t thumbnail, mosaickit::Bytes jpeg)> image;
  std::function<void(size_t thumbnailsDone, size_t sheetsDone)> progress;
};

class ThumbnailJobs {
 public:
  // With `images`, every thumbnail also comes as a JPEG of its own. The references must outlive
  // this object.
  ThumbnailJobs(mosaickit::Client& client, const StreamInfo& info, const SpritePlan& plan,
                int quality, bool images, PictureSinks sinks);
  ThumbnailJobs(const ThumbnailJobs&) = delete;
  ThumbnailJobs& operator=(const ThumbnailJobs&) = delete;

  // wanted()[k]: whether the k-th keyframe of the file is shown at all.
  std::vector<bool> wanted() const;

  // The access unit of keyframe k; submits every job whose keyframes are all in.
  void add(size_t keyframe, mosaickit::Bytes unit);

  // Waits for every job. Throws JobFailure when a wanted keyframe never came.
  void finish();

  const Totals& totals() const { return totals_; }

 private:
  // One job: a sheet (or none) and the thumbnails that come as images of their own.
  struct Batch {
    std::optional<size_t> sheet;
    size_t firstImage = 0, images = 0;
    std::vector<size_t> keyframes;  // distinct, in the order the job's frames hold them
  };
  struct InFlight {
    size_t batch;
    std::future<mosaickit::JobOutcome> outcome;
  };

  void planBatches(bool images);
  void addBatch(Batch batch);
  bool ready(const Batch& batch) const;
  mosaickit::Job jobFor(const Batch& batch);
  void collect(bool all);
  std::string describe(const Batch& batch) const;

  mosaickit::Client& client_;
  const StreamInfo& info_;
  const SpritePlan& plan_;
  int quality_;
  PictureSinks sinks_;
  std::vector<Batch> batches_;
  std::map<size_t, mosaickit::Bytes> units_;  // keyframes that a job still to submit needs
  std::map<size_t, size_t> usesLeft_;         // how many such jobs need each keyframe
  size_t nextBatch_ = 0;
  std::deque<InFlight> inFlight_;
  size_t thumbnailsDone_ = 0, sheetsDone_ = 0;
  Totals totals_;
};

}  // namespace sprites

#endif  // GRIDWRIGHT_TOOLS_THUMBNAIL_JOBS_H_
