#include "thumbnail_jobs.h"

#include <algorithm>
#include <chrono>
#include <string>

#include "orientation.h"

namespace sprites {

namespace {

using mosaickit::Bytes;

// Job frames stay well under the daemon's 64 MiB limit.
constexpr size_t kJobBudget = 48u << 20;
// A job's levels, and so its reply's JPEGs, are at most 255.
constexpr size_t kMostLevels = 255;
// One-cell levels of a job cover at most a quarter of the largest canvas, so that their JPEGs
// beside a full sheet's stay well inside one reply frame.
constexpr size_t kMostImagePixels =
    static_cast<size_t>(mosaickit::Job::maxCanvasSide) * mosaickit::Job::maxCanvasSide / 4;

const char* codeName(mosaickit::ErrorCode code) {
  switch (code) {
    case mosaickit::ErrorCode::decode:
      return "decode";
    case mosaickit::ErrorCode::unsupported:
      return "unsupported";
    case mosaickit::ErrorCode::busy:
      return "busy";
    case mosaickit::ErrorCode::internalError:
      return "internal error";
    case mosaickit::ErrorCode::badRequest:
      return "bad request";
  }
  return "error";
}

}  // namespace

ThumbnailJobs::ThumbnailJobs(mosaickit::Client& client, const StreamInfo& info,
                             const SpritePlan& plan, int quality, bool images, PictureSinks sinks)
    : client_(client), info_(info), plan_(plan), quality_(quality), sinks_(std::move(sinks)) {
  planBatches(images);
}

void ThumbnailJobs::planBatches(bool images) {
  const size_t cellPixels =
      static_cast<size_t>(plan_.layout.cellW) * static_cast<size_t>(plan_.layout.cellH);
  const size_t imagesPerJob =
      std::max<size_t>(1, kMostImagePixels / std::max<size_t>(cellPixels, 1));
  if (plan_.sheets.empty()) {
    // Images alone, as many to a job as a sheet of the grid would hold.
    const size_t perJob = std::min(
        {static_cast<size_t>(plan_.layout.columns) * static_cast<size_t>(plan_.layout.rows),
         kMostLevels, imagesPerJob});
    for (size_t first = 0; first < plan_.thumbnails.size(); first += perJob) {
      addBatch({std::nullopt, first, std::min(perJob, plan_.thumbnails.size() - first), {}});
    }
    return;
  }
  for (size_t s = 0; s < plan_.sheets.size(); ++s) {
    const Sheet& sheet = plan_.sheets[s];
    const size_t withSheet = images ? std::min({sheet.count, kMostLevels - 1, imagesPerJob}) : 0;
    addBatch({s, sheet.first, withSheet, {}});
    for (size_t done = withSheet; images && done < sheet.count;) {
      const size_t n = std::min({sheet.count - done, kMostLevels, imagesPerJob});
      addBatch({std::nullopt, sheet.first + done, n, {}});
      done += n;
    }
  }
}

// Adds `batch`, whose frames are the keyframes of its sheet's thumbnails (which hold its images'
// too), or else of its images'.
void ThumbnailJobs::addBatch(Batch batch) {
  const size_t first = batch.sheet ? plan_.sheets[*batch.sheet].first : batch.firstImage;
  const size_t count = batch.sheet ? plan_.sheets[*batch.sheet].count : batch.images;
  for (size_t i = first; i < first + count; ++i) {
    const size_t k = plan_.thumbnails[i].keyframe;
    if (std::find(batch.keyframes.begin(), batch.keyframes.end(), k) == batch.keyframes.end()) {
      batch.keyframes.push_back(k);
      ++usesLeft_[k];
    }
  }
  batches_.push_back(std::move(batch));
}

std::vector<bool> ThumbnailJobs::wanted() const {
  std::vector<bool> w(info_.keyframeTimes.size(), false);
  for (const Thumbnail& t : plan_.thumbnails) w[t.keyframe] = true;
  return w;
}

void ThumbnailJobs::add(size_t keyframe, Bytes unit) {
  if (!usesLeft_.count(keyframe)) return;
  units_[keyframe] = std::move(unit);
  while (nextBatch_ < batches_.size() && ready(batches_[nextBatch_])) {
    const size_t b = nextBatch_++;
    inFlight_.push_back({b, client_.submit(jobFor(batches_[b]))});
    collect(false);
  }
}

void ThumbnailJobs::finish() {
  if (nextBatch_ < batches_.size()) {
    throw JobFailure(info_.keyframeTimes.empty() ? "no keyframes"
                                                 : "a keyframe found on the first reading of the "
                                                   "file was missing on the second");
  }
  collect(true);
}

bool ThumbnailJobs::ready(const Batch& batch) const {
  return std::all_of(batch.keyframes.begin(), batch.keyframes.end(),
                     [this](size_t k) { return units_.count(k) != 0; });
}

// The sheet's level is laid out as the coded pictures stand: the shown sheet's cell (c, r) is
// the coded sheet's cell that the turn brings there.
mosaickit::Job ThumbnailJobs::jobFor(const Batch& batch) {
  const Orientation orientation = info_.orientation;
  const bool swapped = swapsSides(orientation);
  mosaickit::Job job;
  job.codec = static_cast<uint8_t>(info_.codec);
  job.paramSets = info_.paramSets;
  job.fitW = job.cellW = swapped ? plan_.layout.cellH : plan_.layout.cellW;
  job.fitH = job.cellH = swapped ? plan_.layout.cellW : plan_.layout.cellH;
  job.quality = quality_;
  auto frameOf = [&batch](size_t thumbnailKeyframe) {
    return static_cast<uint16_t>(
        std::find(batch.keyframes.begin(), batch.keyframes.end(), thumbnailKeyframe) -
        batch.keyframes.begin());
  };
  if (batch.sheet) {
    const Sheet& sheet = plan_.sheets[*batch.sheet];
    const int codedColumns = swapped ? sheet.cellsH : sheet.cellsW;
    const int codedRows = swapped ? sheet.cellsW : sheet.cellsH;
    mosaickit::Level level{codedColumns, codedRows, {}};
    level.indices.assign(static_cast<size_t>(codedColumns) * static_cast<size_t>(codedRows),
                         mosaickit::blackCell);
    for (size_t i = 0; i < sheet.count; ++i) {
      const auto [column, row] = plan_.cellOf(sheet, i);
      const auto [x, y] = codedCell(orientation, column, row, codedColumns, codedRows);
      level.indices[static_cast<size_t>(y) * static_cast<size_t>(codedColumns) +
                    static_cast<size_t>(x)] = frameOf(plan_.thumbnails[sheet.first + i].keyframe);
    }
    job.levels.push_back(std::move(level));
  }
  for (size_t i = batch.firstImage; i < batch.firstImage + batch.images; ++i) {
    job.levels.push_back({1, 1, {frameOf(plan_.thumbnails[i].keyframe)}});
  }
  size_t bytes = 0;
  for (size_t k : batch.keyframes) {
    // The last job that needs a keyframe takes its bytes; earlier ones copy them.
    Bytes& unit = units_.at(k);
    bytes += unit.size();
    if (--usesLeft_.at(k) == 0) {
      job.frames.push_back(std::move(unit));
      units_.erase(k);
    } else {
      job.frames.push_back(unit);
    }
  }
  if (bytes > kJobBudget) {
    throw JobFailure(describe(batch) + ": its " + std::to_string(batch.keyframes.size()) +
                     " keyframes take " + std::to_string(bytes >> 20) +
                     " MiB, more than one job carries (" + std::to_string(kJobBudget >> 20) +
                     " MiB); use a smaller --grid");
  }
  return job;
}

std::string ThumbnailJobs::describe(const Batch& batch) const {
  if (batch.sheet) return plan_.sheets[*batch.sheet].name;
  return "thumbnails " + std::to_string(batch.firstImage + 1) + " to " +
         std::to_string(batch.firstImage + batch.images);
}

// Hands on the pictures of the jobs whose replies are in, in job order; with `all`, waits for
// every one.
void ThumbnailJobs::collect(bool all) {
  while (!inFlight_.empty()) {
    InFlight& front = inFlight_.front();
    if (!all && front.outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      return;
    }
    const Batch& batch = batches_[front.batch];
    const mosaickit::JobOutcome outcome = front.outcome.get();
    inFlight_.pop_front();
    if (const auto* error = std::get_if<mosaickit::JobError>(&outcome)) {
      throw JobFailure("gridwright could not make " + describe(batch) + " (" +
                       codeName(error->code()) + ": " + error->message() + ")");
    }
    const auto& result = std::get<mosaickit::JobResult>(outcome);
    size_t level = 0;
    if (batch.sheet) {
      sinks_.sheet(*batch.sheet, orientJpeg(result.jpegs.at(level++), info_.orientation));
      thumbnailsDone_ += plan_.sheets[*batch.sheet].count;
      ++sheetsDone_;
    }
    for (size_t i = 0; i < batch.images; ++i) {
      sinks_.image(batch.firstImage + i, orientJpeg(result.jpegs.at(level++), info_.orientation));
    }
    if (plan_.sheets.empty()) thumbnailsDone_ += batch.images;
    ++totals_.jobs;
    totals_.decodeMicros += result.decodeMicros;
    totals_.encodeMicros += result.encodeMicros;
    totals_.cpuMicros += result.cpuMicros;
    sinks_.progress(thumbnailsDone_, sheetsDone_);
  }
}

}  // namespace sprites
