// Video decoding as jobs see it: the key that names a stream configuration, the decoder made for
// one key (with one rebuild of its session per failed access unit), and the process-wide pool
// that lends idle decoders to jobs whose key is equal.
//
// Thread-safety: DecoderKey is a plain value. A Decoder has no lock: the pool lends it to one
// job at a time and only that job's thread calls decode. DecoderCache has an internal lock and
// may be used from any number of threads at once; no FFmpeg call is made while it is held.
//
// Errors: JobError only.
//   Decoder()          decode       "bad parameter sets (status N)"
//                      unsupported  "avcodec_open2 N" (no session can be made)
//   Decoder::decode    decode       M + " (after retry)"     an access unit failed twice
//                      decode       M + "; recreate failed"  it failed and no new session came
//   where M is the failing attempt's message: "avcodec_send_packet N",
//   "avcodec_receive_frame N", "decode status N" (a picture with concealed errors, N its error
//   flags), "decoder returned an incomplete picture" (its slices left blocks of it undecoded)
//   or "decoder returned no image".
//                      LimitError (decode or busy)  the daemon's limits refused a picture: no
//                                   retry, the refusal passes on as media.h words it
//   DecoderCache::checkout passes on the errors of Decoder(); nothing else throws.

#ifndef MOSAICKIT_DECODER_CACHE_H_
#define MOSAICKIT_DECODER_CACHE_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "mosaickit/media.h"
#include "mosaickit/memory_budget.h"
#include "mosaickit/protocol.h"

namespace mosaickit {

// A stream configuration: the codec and the exact bytes of its parameter sets (each one NAL
// unit without prefix or start code), in the order the job carries them. Nothing is
// normalised: the same sets in another order, or with one byte changed, make another key.
struct DecoderKey {
  Codec codec = Codec::h264;
  std::vector<Bytes> paramSets;

  friend bool operator==(const DecoderKey&, const DecoderKey&) = default;
};

// One access unit of a decode run: its position in the job (the tag its picture comes back
// with) and its bytes (4-byte length-prefixed NAL units), borrowed for the call.
struct DecodeInput {
  size_t position = 0;
  ByteView data;
};

// Receives each decoded picture with the position of its own access unit.
using PictureSink = std::function<void(size_t position, Picture&& picture)>;

// One decoder session made for one DecoderKey. Non-copyable; used by one thread at a time.
class Decoder {
 public:
  // Builds the configuration record, then the session. Throws JobError(decode, "bad parameter
  // sets (status N)"), LimitError(decode) for pictures over maxPictureSamples, or
  // JobError(unsupported, "avcodec_open2 N"); no decoder exists then.
  explicit Decoder(DecoderKey key);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  const DecoderKey& key() const { return key_; }
  // Seconds on the pool's clock of the last checkin; 0 at creation. Set by the pool only.
  double lastUsed() const { return lastUsed_; }
  void setLastUsed(double seconds) { lastUsed_ = seconds; }

  // Decodes `units` in the given order and hands each picture to `onPicture` with its access
  // unit's position, as soon as the decoder releases it: pictures of streams with reordering
  // come out in display order, and every access unit gets its own picture or the call fails.
  // At the end the decoder is drained; an access unit still without a picture then fails with
  // "decoder returned no image".
  //
  // A failed access unit gets one retry: pictures already out are kept, the old session is
  // drained of the pictures it still holds for other units, a new session is made and the unit
  // is submitted again; a second failure of the same unit throws with " (after retry)", a failed
  // rebuild with "; recreate failed". After a successful call the session is flushed: it holds
  // no picture, reference or buffer, and the next call starts a new stream.
  //
  // Every picture buffer of the call is charged to `budget` (none: uncharged) while it lives; a
  // refusal ends the call with its LimitError, without a retry, as does an SPS in a unit that
  // declares pictures over maxPictureSamples.
  //
  // A run of random access points only is decoded without in-loop filters (nothing is predicted
  // from its pictures). `intraOnly`, when given, decides that for the call instead: a segment of
  // a longer run must be decoded as the whole run would be, so that its pictures are the same.
  //
  // REQUIRES: positions strictly ascending. Exceptions thrown by `onPicture` pass through
  // unchanged. After any exception the decoder must not be pooled again (discard it).
  void decode(std::span<const DecodeInput> units, const PictureSink& onPicture,
              std::shared_ptr<MemoryBudget> budget = nullptr,
              std::optional<bool> intraOnly = std::nullopt);

  // Whether `units` are random access points only (the default of decode's `intraOnly`).
  static bool allRandomAccess(Codec codec, std::span<const DecodeInput> units);

  // What the decoder is estimated to keep while idle, for the picture size of its last
  // successful decode (Session::idleBytes): what the pool counts against its idle budget.
  uint64_t idleBytes() const { return idleBytes_; }

 private:
  struct Run;
  struct Failure;

  void startRun(const Run& run);
  void submit(Run& run, const DecodeInput& unit);
  void finish(Run& run);
  std::optional<Failure> sendAndCollect(Run& run, const DecodeInput& unit);
  std::optional<Failure> drain(Run& run);
  std::optional<Failure> collect(Run& run);
  void recover(Run& run, const Failure& failure);
  void salvage(Run& run, size_t failedPosition);
  void rebuild(Run& run, const Failure& failure);

  DecoderKey key_;
  Format format_;
  std::optional<Session> session_;  // empty after a failed rebuild
  double lastUsed_ = 0;
  uint64_t idleBytes_ = 0;
};

// The pool of idle decoders, shared by all jobs. Lends a decoder whose key equals the job's
// (the most recently returned first), makes a new one when none is idle, keeps returned ones up
// to `cap` counting those lent out and up to `idleBytes` of estimated idle memory
// (Decoder::idleBytes), and closes those idle for longer than `idleTimeout` seconds. Has
// internal synchronisation; every operation may be called from any thread.
class DecoderCache {
 public:
  using Clock = std::function<double()>;

  // The default clock: monotonic seconds since an arbitrary start (it ignores wall-clock
  // changes).
  static double uptimeSeconds();

  // REQUIRES: idleTimeout >= 0; `now` never goes back.
  DecoderCache(size_t cap, double idleTimeout, Clock now = uptimeSeconds,
               uint64_t idleBytes = MemoryBudget::unlimited);
  ~DecoderCache();
  DecoderCache(const DecoderCache&) = delete;
  DecoderCache& operator=(const DecoderCache&) = delete;

  // Lends a decoder for `key`: the newest idle one with an equal key that has not expired, or a
  // new one. Expired idle decoders are closed first. Throws the JobError of Decoder() when a new
  // decoder cannot be made; the pool is then as it was, less the expired decoders.
  // The caller owns the decoder until it hands it back with exactly one checkin or discard.
  std::unique_ptr<Decoder> checkout(const DecoderKey& key);
  // Takes a lent decoder back as idle, then closes expired ones and, while idle + lent exceed
  // the cap or the idle decoders' estimated memory exceeds idleBytes, the oldest idle ones (the
  // one returned last goes last). REQUIRES: `decoder` came from checkout and its last decode
  // succeeded.
  void checkin(std::unique_ptr<Decoder> decoder);
  // Takes back a lent decoder that must not be pooled again, and closes it.
  void discard(std::unique_ptr<Decoder> decoder);
  // Closes every idle decoder that has expired.
  void sweep();

  size_t idleCount() const;
  // How many decoders are lent out (for tests and diagnostics).
  size_t inUseCount() const;

 private:
  using DecoderList = std::vector<std::unique_ptr<Decoder>>;

  DecoderList takeExpired();  // REQUIRES: mutex_ held
  bool overBudget() const;    // REQUIRES: mutex_ held
  static void close(DecoderList decoders);

  const size_t cap_;
  const double idleTimeout_;
  const Clock now_;
  const uint64_t idleBytes_;

  mutable std::mutex mutex_;
  DecoderList idle_;  // oldest checkin first
  size_t inUse_ = 0;
};

}  // namespace mosaickit

template <>
struct std::hash<mosaickit::DecoderKey> {
  // Covers the codec's raw byte, the number of sets as a machine word, then each set's length
  // as a machine word followed by its bytes: equal keys hash equal.
  size_t operator()(const mosaickit::DecoderKey& key) const noexcept;
};

#endif  // MOSAICKIT_DECODER_CACHE_H_
