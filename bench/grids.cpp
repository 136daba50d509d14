// How fast the daemon turns access units into a grid, against the decoder's own floor and the
// ffmpeg command making the same sheet. Run by scripts/bench.sh, which makes the fixtures.
//
// Usage: bench_grids FIXTURE_DIR [RUNS [PARTS]]   (PARTS: letters of ABCDTM, all by default)
//
// Every figure is the median of RUNS runs (default 5), all taken in one process run so that the
// ratios hold on a noisy machine; floor, job and peer1 run on one CPU, the same one:
//   floor   decoding the job's access units with libavcodec alone, one thread, in process
//   job     the daemon's wall time from writing the job frame to reading its reply
//   peer1   the ffmpeg command making the same sheet with one thread; peer: default threads
//   rss     the daemon's peak resident memory after the fixture's jobs
//   psnr    the daemon's sheet against a lossless Lanczos sheet of the same frames made by the
//           ffmpeg command (the sheet is kept as FIXTURE_DIR/sheet-NAME.jpg), and the same for
//           the peer's JPEG sheet
// and, for fixture A, the throughput of 16 jobs with 4 in flight against one at a time (medians
// of up to three rounds).

#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mosaickit/annexb.h"
#include "mosaickit/media.h"
#include "mosaickit/protocol.h"
#include "support/child.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

extern char** environ;

namespace {

using namespace mosaickit;
using Clock = std::chrono::steady_clock;
using testing_support::Daemon;
using testing_support::jobFrame;
using testing_support::procStatusField;

struct Fixture {
  std::string name;
  std::string file;
  Codec codec;
  bool keyframesOnly;
};

const std::vector<Fixture> kFixtures = {
    {"A", "A.h264", Codec::h264, false},
    {"B", "B.h265", Codec::h265, false},
    {"C", "C.h265", Codec::h265, false},
    {"D", "D.h264", Codec::h264, true},
};

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path + " (run scripts/bench.sh)");
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One level of 10 columns of 160 x 90 cells, as many rows as the frames need.
Job gridJob(const Fixture& fixture, const std::string& dir) {
  const AnnexBStream stream = splitAnnexB(fixture.codec, readFile(dir + "/" + fixture.file));
  Job job;
  job.codec = static_cast<uint8_t>(fixture.codec);
  job.paramSets = stream.paramSets;
  job.fitW = job.cellW = 160;
  job.fitH = job.cellH = 90;
  job.quality = 5;
  for (size_t k = 0; k < stream.accessUnits.size() && job.frames.size() < 100; ++k) {
    if (!fixture.keyframesOnly || stream.keyframes[k]) job.frames.push_back(stream.accessUnits[k]);
  }
  const int frames = static_cast<int>(job.frames.size());
  Level level{10, (frames + 9) / 10, {}};
  for (int k = 0; k < level.cellsW * level.cellsH; ++k) {
    level.indices.push_back(k < frames ? static_cast<uint16_t>(k) : blackCell);
  }
  job.levels = {level};
  return job;
}

// ---- floor: libavcodec alone

struct ContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Decodes a job's access units with libavcodec's defaults but one thread: the floor that no
// grid maker can go below.
class FloorDecoder {
 public:
  explicit FloorDecoder(const Job& job) : job_(job) {
    const Codec codec = *codecFromRaw(job.codec);
    const Format format = makeFormat(codec, job.paramSets);
    const AVCodec* decoder = avcodec_find_decoder_by_name(codec == Codec::h264 ? "h264" : "hevc");
    context_.reset(avcodec_alloc_context3(decoder));
    context_->extradata =
        static_cast<uint8_t*>(av_mallocz(format.record.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(format.record.begin(), format.record.end(), context_->extradata);
    context_->extradata_size = static_cast<int>(format.record.size());
    context_->thread_count = 1;
    if (avcodec_open2(context_.get(), decoder, nullptr) < 0) throw std::runtime_error("open");
  }

  // Seconds to decode every access unit once and drain the decoder.
  double once() {
    const auto start = Clock::now();
    for (const Bytes& unit : job_.frames) {
      av_new_packet(packet_.get(), static_cast<int>(unit.size()));
      std::copy(unit.begin(), unit.end(), packet_->data);
      avcodec_send_packet(context_.get(), packet_.get());
      av_packet_unref(packet_.get());
      receiveAll();
    }
    avcodec_send_packet(context_.get(), nullptr);
    receiveAll();
    avcodec_flush_buffers(context_.get());
    return seconds(Clock::now() - start);
  }

 private:
  void receiveAll() {
    while (avcodec_receive_frame(context_.get(), frame_.get()) == 0) av_frame_unref(frame_.get());
  }

  const Job& job_;
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_{av_packet_alloc()};
  std::unique_ptr<AVFrame, FrameDeleter> frame_{av_frame_alloc()};
};

// ---- the daemon

struct JobTiming {
  double wall = 0;
  JobResult result;
};

// `wire` is a job frame already encoded: the parent's own serialisation is not the daemon's time.
JobTiming runJob(Daemon& daemon, const Bytes& wire) {
  const auto start = Clock::now();
  daemon.write(wire);
  const Frame reply = daemon.readFrame().value();
  JobTiming timing{seconds(Clock::now() - start), {}};
  if (reply.type != static_cast<uint8_t>(FrameType::result)) {
    throw std::runtime_error("job failed: " + JobError::parse(reply.payload).message());
  }
  timing.result = JobResult::parse(reply.payload);
  return timing;
}

// Sends `count` copies of the job keeping up to `inflight` outstanding; returns the wall time.
double throughput(const Bytes& wire, int count, int inflight) {
  Daemon daemon;
  daemon.readHello();
  // Warm as for the timed jobs: as many decoders in the pool, and as much heap, as `inflight`
  // jobs at once need.
  for (int k = 0; k < inflight; ++k) daemon.write(wire);
  for (int k = 0; k < inflight; ++k) daemon.readFrame().value();
  const auto start = Clock::now();
  int sent = 0, received = 0;
  while (received < count) {
    while (sent < count && sent - received < inflight) {
      daemon.write(wire);
      ++sent;
    }
    const Frame reply = daemon.readFrame().value();
    if (reply.type != static_cast<uint8_t>(FrameType::result)) throw std::runtime_error("failed");
    ++received;
  }
  return seconds(Clock::now() - start);
}

// ---- the peer: the ffmpeg command

double runCommand(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
    throw std::runtime_error("cannot run " + args[0]);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("ffmpeg failed");
  return seconds(Clock::now() - start);
}

// The ffmpeg command reading the fixture's frames (only its keyframes for D), with `options`
// before its input.
std::vector<std::string> ffmpegReading(const Fixture& fixture, const std::string& dir,
                                       std::vector<std::string> options = {}) {
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-loglevel",
                                   "error",  "-nostdin",     "-y"};
  args.insert(args.end(), options.begin(), options.end());
  if (fixture.keyframesOnly) args.insert(args.end(), {"-skip_frame", "nokey"});
  args.insert(args.end(), {"-i", dir + "/" + fixture.file});
  return args;
}

std::vector<std::string> peerCommand(const Fixture& fixture, const std::string& dir, int rows,
                                     bool oneThread) {
  std::vector<std::string> args =
      oneThread ? ffmpegReading(fixture, dir, {"-threads", "1", "-filter_threads", "1"})
                : ffmpegReading(fixture, dir);
  args.insert(args.end(), {"-vf", "scale=160:90:flags=lanczos,tile=10x" + std::to_string(rows),
                           "-q:v", "5", "-frames:v", "1", dir + "/peer-" + fixture.name + ".jpg"});
  if (oneThread) args.insert(args.end() - 1, {"-threads", "1"});
  return args;
}

// ---- quality: the daemon's sheet against the ffmpeg command's Lanczos sheet

// The same frames through libswscale's Lanczos filter, in the BT.709 matrix that the daemon
// assumes for unsignalled pictures of 720 rows or more, tiled and written as raw RGB: a reference
// with no compression loss of its own.
Bytes referenceSheet(const Fixture& fixture, const std::string& dir, int rows) {
  const std::string out = dir + "/reference-" + fixture.name + ".rgb";
  std::vector<std::string> args = ffmpegReading(fixture, dir);
  args.insert(args.end(),
              {"-vf",
               "scale=160:90:flags=lanczos:in_color_matrix=bt709,format=rgb24,tile=10x" +
                   std::to_string(rows),
               "-frames:v", "1", "-f", "rawvideo", out});
  runCommand(args);
  return readFile(out);
}

// Peak signal-to-noise ratio in dB of a JPEG's pixels against an RGB reference of its size.
double psnr(const Bytes& jpeg, const Bytes& reference) {
  const std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitDecompress(), tjDestroy);
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (!handle || tjDecompressHeader3(handle.get(), jpeg.data(), jpeg.size(), &width, &height,
                                     &subsampling, &colourspace) != 0) {
    throw std::runtime_error("cannot read a sheet to compare");
  }
  Bytes rgb(size_t(width) * size_t(height) * 3);
  if (rgb.size() != reference.size() ||
      tjDecompress2(handle.get(), jpeg.data(), jpeg.size(), rgb.data(), width, 0, height, TJPF_RGB,
                    0) != 0) {
    throw std::runtime_error("a sheet does not match its reference in size");
  }
  double squaredError = 0;
  for (size_t i = 0; i < rgb.size(); ++i) {
    const double d = double(rgb[i]) - double(reference[i]);
    squaredError += d * d;
  }
  const double mse = squaredError / double(rgb.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// ---- the run

// Sets this process's CPU affinity for its lifetime and restores the previous one after. The
// children started meanwhile inherit it.
class AffinityScope {
 public:
  explicit AffinityScope(const cpu_set_t& cpus) {
    ::sched_getaffinity(0, sizeof previous_, &previous_);
    ::sched_setaffinity(0, sizeof cpus, &cpus);
  }
  ~AffinityScope() { ::sched_setaffinity(0, sizeof previous_, &previous_); }
  AffinityScope(const AffinityScope&) = delete;
  AffinityScope& operator=(const AffinityScope&) = delete;

 private:
  cpu_set_t previous_;
};

// This process's CPUs, and the first of them alone.
cpu_set_t allowedCpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ::sched_getaffinity(0, sizeof cpus, &cpus);
  return cpus;
}

// The first `count` of `cpus`.
cpu_set_t firstCpusOf(const cpu_set_t& cpus, int count) {
  cpu_set_t some;
  CPU_ZERO(&some);
  for (int k = 0; k < CPU_SETSIZE && CPU_COUNT(&some) < count; ++k) {
    if (CPU_ISSET(k, &cpus)) CPU_SET(k, &some);
  }
  return some;
}

cpu_set_t firstCpuOf(const cpu_set_t& cpus) {
  return firstCpusOf(cpus, 1);
}

// How many CPUs the daemon may use: BENCH_DAEMON_CPUS, else all of this process's. The daemon
// takes its thread count from its CPU affinity, so this caps its threads.
int daemonCpuCount() {
  const cpu_set_t all = allowedCpus();
  const char* cap = std::getenv("BENCH_DAEMON_CPUS");
  const int wanted = cap ? std::atoi(cap) : CPU_COUNT(&all);
  return std::clamp(wanted, 1, CPU_COUNT(&all));
}

// A daemon started on the first `cpus` of this process's CPUs, greeted and warmed with one job
// (its pooled decoders made, as for a recorder's later jobs).
std::unique_ptr<Daemon> startDaemon(int cpus, const Bytes& warmJob) {
  const AffinityScope scope(firstCpusOf(allowedCpus(), cpus));
  auto daemon = std::make_unique<Daemon>();
  daemon->readHello();
  runJob(*daemon, warmJob);
  return daemon;
}

struct Row {
  std::string name;
  double floor = 0, job = 0, peer1 = 0, peer = 0, psnr = 0, peerPsnr = 0;
  uint32_t decodeMicros = 0, encodeMicros = 0, cpuMicros = 0;
  long peakKiB = 0;
};

Row benchFixture(const Fixture& fixture, const std::string& dir, int runs) {
  const Job job = gridJob(fixture, dir);
  const Bytes wire = jobFrame(1, job).encode();
  Row row;
  row.name = fixture.name;
  // The floor and the single-threaded peer run on one CPU: on a virtual machine one CPU may run
  // a quarter slower than the other for minutes, and work that lands on different CPUs would
  // compare the CPUs rather than the work; the floor's CPU is the daemon's first. The daemon
  // gets daemonCpuCount() CPUs, which it decodes a lone job on, and the multi-threaded peer all.
  const cpu_set_t all = allowedCpus();
  const std::unique_ptr<Daemon> started = startDaemon(daemonCpuCount(), wire);
  Daemon& daemon = *started;
  const AffinityScope pinned(firstCpuOf(all));
  FloorDecoder floor(job);
  floor.once();
  // The figures of one round are taken one after the other, round after round, so that a
  // machine whose speed drifts moves them all alike and the ratios hold.
  const int rows = job.levels[0].cellsH;
  std::vector<double> floors, walls, decode, encode, cpu, peer1, peer;
  for (int r = 0; r < runs; ++r) {
    floors.push_back(floor.once());
    const JobTiming t = runJob(daemon, wire);
    walls.push_back(t.wall);
    decode.push_back(t.result.decodeMicros);
    encode.push_back(t.result.encodeMicros);
    cpu.push_back(t.result.cpuMicros);
    peer1.push_back(runCommand(peerCommand(fixture, dir, rows, true)));
    const AffinityScope unpinned(all);
    peer.push_back(runCommand(peerCommand(fixture, dir, rows, false)));
  }
  row.floor = median(floors);
  row.job = median(walls);
  row.decodeMicros = static_cast<uint32_t>(median(decode));
  row.encodeMicros = static_cast<uint32_t>(median(encode));
  row.cpuMicros = static_cast<uint32_t>(median(cpu));
  row.peakKiB = procStatusField(daemon.pid(), "VmHWM");
  row.peer1 = median(peer1);
  row.peer = median(peer);
  const Bytes sheet = runJob(daemon, wire).result.jpegs.at(0);
  std::ofstream(dir + "/sheet-" + fixture.name + ".jpg", std::ios::binary)
      .write(reinterpret_cast<const char*>(sheet.data()), std::streamsize(sheet.size()));
  const Bytes reference = referenceSheet(fixture, dir, rows);
  row.psnr = psnr(sheet, reference);
  row.peerPsnr = psnr(readFile(dir + "/peer-" + fixture.name + ".jpg"), reference);
  return row;
}

// The thread-count curve: the fixture's job alone on a daemon of 1, 2, ... CPUs (up to all of
// this process's), each against the one-thread floor measured in the same rounds.
void threadCurve(const Fixture& fixture, const std::string& dir, int runs) {
  const Job job = gridJob(fixture, dir);
  const Bytes wire = jobFrame(1, job).encode();
  const cpu_set_t all = allowedCpus();
  for (int cpus = 1; cpus <= CPU_COUNT(&all); ++cpus) {
    const std::unique_ptr<Daemon> daemon = startDaemon(cpus, wire);
    const AffinityScope pinned(firstCpuOf(all));
    FloorDecoder floor(job);
    floor.once();
    std::vector<double> floors, walls, cpu;
    for (int r = 0; r < runs; ++r) {
      floors.push_back(floor.once());
      const JobTiming t = runJob(*daemon, wire);
      walls.push_back(t.wall);
      cpu.push_back(t.result.cpuMicros / 1e6);
    }
    std::printf("curve %s: %2d threads  job %.3f s  floor %.3f s  job/floor %.2f  cpu %.3f s\n",
                fixture.name.c_str(), cpus, median(walls), median(floors),
                median(walls) / median(floors), median(cpu));
    std::fflush(stdout);
  }
}

// The resident memory of a daemon that has run one 1080p job for each of `count` distinct
// parameter sets and so holds that many idle decoders.
long idleDecodersKiB(const std::string& dir, int count) {
  Daemon daemon;
  daemon.readHello();
  for (int k = 0; k < count; ++k) {
    Fixture variant{"P", "idle/" + std::to_string(k) + ".h264", Codec::h264, false};
    Job job = gridJob(variant, dir);
    runJob(daemon, jobFrame(1, job).encode());
  }
  return procStatusField(daemon.pid(), "VmRSS");
}

int printSummary(const std::vector<Row>& rows) {
  for (const Row& r : rows) {
    std::printf(
        "bench %s: job/floor=%.2f peer1/job=%.2f peer/job=%.2f rss=%.1f MiB psnr=%.1f dB "
        "(peer %.1f dB)\n",
        r.name.c_str(), r.job / r.floor, r.peer1 / r.job, r.peer / r.job, r.peakKiB / 1024.0,
        r.psnr, r.peerPsnr);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_grids FIXTURE_DIR [RUNS [PARTS]]\n");
    return 2;
  }
  const std::string dir = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  // Parts to run, for profiling one of them: fixture letters (for example "A" or "BC"), T for the
  // throughput and M for the idle decoders' memory. All of them by default. N adds the
  // thread-count curve of the fixtures named with it (alone it draws none: "NAC").
  const std::string parts = argc > 3 ? argv[3] : "ABCDTM";
  auto wanted = [&](const std::string& part) { return parts.find(part) != std::string::npos; };
  silenceLibraryLogging();
  try {
    std::vector<Row> rows;
    std::printf("%-3s %9s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "", "floor s", "job s",
                "decode s", "encode s", "cpu s", "peer1 s", "peer s", "peak MiB", "psnr dB",
                "peer dB");
    for (const Fixture& fixture : kFixtures) {
      if (!wanted(fixture.name)) continue;
      const Row r = benchFixture(fixture, dir, runs);
      std::printf("%-3s %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f %9.1f %9.1f %9.1f\n",
                  r.name.c_str(), r.floor, r.job, r.decodeMicros / 1e6, r.encodeMicros / 1e6,
                  r.cpuMicros / 1e6, r.peer1, r.peer, r.peakKiB / 1024.0, r.psnr, r.peerPsnr);
      std::fflush(stdout);
      rows.push_back(r);
    }

    if (wanted("T")) {
      const Bytes wireA = jobFrame(1, gridJob(kFixtures[0], dir)).encode();
      // Alternated, round after round like the fixtures' figures; three rounds at most, since one
      // takes a quarter of a minute.
      std::vector<double> fours, ones;
      for (int r = 0; r < std::min(runs, 3); ++r) {
        fours.push_back(throughput(wireA, 16, 4));
        ones.push_back(throughput(wireA, 16, 1));
      }
      const double four = median(fours), one = median(ones);
      // The work done, in single-thread floors of A per second of wall: what all the machine's
      // cores give four jobs side by side (the floor measured pinned, as for the table).
      std::vector<double> floors;
      {
        const AffinityScope pinned(firstCpuOf(allowedCpus()));
        const Job jobA = gridJob(kFixtures[0], dir);  // the decoder reads it; it must outlive it
        FloorDecoder floor(jobA);
        floor.once();
        for (int r = 0; r < std::min(runs, 3); ++r) floors.push_back(floor.once());
      }
      std::printf(
          "throughput A: 16 jobs, 4 in flight %.3f s, one at a time %.3f s: %.2fx; "
          "%.2f floors of work per second, 4 in flight\n",
          four, one, one / four, 16 * median(floors) / four);
    }
    // The curve is asked for by name only: N and the fixtures to draw it for ("NAC").
    if (wanted("N")) {
      for (const Fixture& fixture : kFixtures) {
        if (wanted(fixture.name)) threadCurve(fixture, dir, runs);
      }
    }
    if (wanted("M")) {
      std::printf(
          "idle decoders: daemon resident %.1f MiB after 48 jobs of distinct parameter sets\n",
          idleDecodersKiB(dir, 48) / 1024.0);
    }

    return printSummary(rows);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_grids: %s\n", e.what());
    return 1;
  }
  return 0;
}
