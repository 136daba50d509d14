#include "mosaickit/protocol.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace mosaickit {
namespace {

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Runs `f` and returns the JobError it throws; fails the test when it throws nothing.
template <typename F>
JobError jobErrorOf(F&& f) {
  try {
    f();
  } catch (const JobError& e) {
    return e;
  }
  ADD_FAILURE() << "no JobError thrown";
  return JobError(ErrorCode::internalError, "<none>");
}

TEST(Enumerations, RawValuesRoundTripAndUnknownValuesHaveNone) {
  EXPECT_EQ(frameTypeFromRaw(2), FrameType::job);
  EXPECT_EQ(frameTypeFromRaw(0), std::nullopt);
  EXPECT_EQ(frameTypeFromRaw(5), std::nullopt);
  EXPECT_EQ(errorCodeFromRaw(3), ErrorCode::busy);
  EXPECT_EQ(errorCodeFromRaw(0), std::nullopt);
  EXPECT_EQ(errorCodeFromRaw(6), std::nullopt);
  EXPECT_EQ(codecFromRaw(1), Codec::h265);
  EXPECT_EQ(codecFromRaw(2), Codec::h264);
  EXPECT_EQ(codecFromRaw(9), std::nullopt);
}

TEST(ByteCodec, LittleEndianBothWays) {
  ByteWriter w;
  w.u8(0xAB);
  w.u16(0x1234);
  w.u32(0xDEADBEEF);
  w.bytes(Bytes{1, 2});
  EXPECT_EQ(w.buf(), (Bytes{0xAB, 0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE, 1, 2}));

  ByteReader r(w.buf());
  EXPECT_EQ(r.u8(), 0xAB);
  EXPECT_EQ(r.u16(), 0x1234);
  EXPECT_EQ(r.u32(), 0xDEADBEEFu);
  EXPECT_EQ(r.bytes(2), (Bytes{1, 2}));
  EXPECT_TRUE(r.atEnd());
  EXPECT_NO_THROW(r.finish());
}

TEST(ByteCodec, FailedReadsReportTheirPositionAndKeepTheCursor) {
  const Bytes three{1, 2, 3};
  ByteReader r(three);
  EXPECT_EQ(jobErrorOf([&] { r.u32(); }),
            JobError(ErrorCode::badRequest, "payload truncated at byte 0"));
  r.u8();
  EXPECT_EQ(jobErrorOf([&] { r.u32(); }).message(), "payload truncated at byte 1");
  EXPECT_EQ(r.position(), 1u);
  EXPECT_EQ(jobErrorOf([&] { r.bytes(3); }).message(), "payload truncated at byte 1");
  EXPECT_EQ(jobErrorOf([&] { r.finish(); }),
            JobError(ErrorCode::badRequest, "2 trailing bytes in payload"));

  ByteReader full(three);
  EXPECT_EQ(jobErrorOf([&] { full.finish(); }).message(), "3 trailing bytes in payload");
}

TEST(Frame, EncodesItsWireLayout) {
  const Bytes wire{0x05, 0, 0, 0, 0x02, 0x07, 0, 0, 0};
  EXPECT_EQ((Frame{2, 7, {}}).encode(), wire);
  EXPECT_EQ((Frame{200, 0x01020304, {9}}).encode(), (Bytes{6, 0, 0, 0, 200, 4, 3, 2, 1, 9}));
}

TEST(UTF8, IllFormedSequencesBecomeReplacementCharacters) {
  struct Case {
    Bytes in;
    std::string out;
  };
  const std::string fffd = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {bytesOf("plain"), "plain"},
      {bytesOf("caf\xC3\xA9"), "caf\xC3\xA9"},
      {{0xFF}, fffd},
      {{'a', 0xC3}, "a" + fffd},                 // cut inside a two-byte character
      {{0xE2, 0x82, 'x'}, fffd + "x"},           // one replacement for the maximal subpart
      {{0xC0, 0x80}, fffd + fffd},               // overlong form
      {{0xED, 0xA0, 0x80}, fffd + fffd + fffd},  // surrogate
      {{0xF0, 0x9F, 0x98, 0x80}, "\xF0\x9F\x98\x80"},
  };
  for (const Case& c : cases) EXPECT_EQ(decodeUTF8Lossy(c.in), c.out);
}

// ---- Hello

const Bytes kDaemonHello = concat(
    {{0x47, 0x57, 0x52, 0x54, 0x01, 0x00, 0x03, 0x04, 0x0E, 0x00}, bytesOf("gridwright 1.0")});

TEST(Hello, EncodesAndParsesTheDaemonsGreeting) {
  const Hello hello{3, 4, "gridwright 1.0"};
  EXPECT_EQ(hello.encode(), kDaemonHello);
  EXPECT_EQ(Hello::parse(kDaemonHello), hello);

  const Hello empty{1, 2, ""};
  EXPECT_EQ(empty.encode().size(), 10u);
  EXPECT_EQ(Hello::parse(empty.encode()), empty);

  const Hello accented{0, 0, "v\xC3\xA9"};  // the length counts bytes
  EXPECT_EQ(accented.encode()[8], 3);
  EXPECT_EQ(Hello::parse(accented.encode()), accented);
}

TEST(Hello, ParseFailures) {
  struct Case {
    Bytes payload;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{0x47, 0x57, 0x52}, "payload truncated at byte 0"},
      {bytesOf("GWRT"), "payload truncated at byte 4"},
      {bytesOf("XWRT"), "bad magic"},
      {concat({bytesOf("GWRT"), {0x02, 0x00}}), "bad proto"},
      {concat({bytesOf("GWRT"), {0x01, 0x00, 3}}), "payload truncated at byte 7"},
      {concat({bytesOf("GWRT"), {0x01, 0x00, 3, 4, 5, 0, 'a'}}), "payload truncated at byte 10"},
      {concat({kDaemonHello, {0}}), "1 trailing bytes in payload"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jobErrorOf([&] { Hello::parse(c.payload); }),
              JobError(ErrorCode::badRequest, c.message));
  }
}

TEST(Hello, InvalidVersionBytesBecomeReplacementCharacters) {
  const Bytes payload = concat({bytesOf("GWRT"), {1, 0, 3, 4, 2, 0, 'a', 0xFF}});
  EXPECT_EQ(Hello::parse(payload).version, "a\xEF\xBF\xBD");
}

// ---- JobError and JobResult

TEST(JobError, EncodesCodeLengthAndMessage) {
  EXPECT_EQ(JobError(ErrorCode::badRequest, "no levels").encode(),
            concat({{0x05, 0x00, 0x09, 0x00}, bytesOf("no levels")}));
}

TEST(JobError, LongMessagesAreCutToTheirFirst65535Bytes) {
  const JobError long_(ErrorCode::decode, std::string(70000, 'a'));
  const Bytes wire = long_.encode();
  EXPECT_EQ(wire.size(), 4u + 65535u);
  EXPECT_EQ(wire[2], 0xFF);
  EXPECT_EQ(wire[3], 0xFF);
  EXPECT_EQ(JobError::parse(wire), JobError(ErrorCode::decode, std::string(65535, 'a')));

  // A two-byte character straddling the cut keeps only its first byte; parsing repairs it.
  const std::string straddling = std::string(65534, 'b') + "\xC3\xA9";
  const JobError parsed = JobError::parse(JobError(ErrorCode::busy, straddling).encode());
  EXPECT_EQ(parsed.message(), std::string(65534, 'b') + "\xEF\xBF\xBD");
}

TEST(JobError, ParseMapsCodesAndReportsLayoutFaults) {
  EXPECT_EQ(JobError::parse(Bytes{9, 0, 0, 0}), JobError(ErrorCode::internalError, ""));
  EXPECT_EQ(JobError::parse(Bytes{0, 0, 0, 0}), JobError(ErrorCode::internalError, ""));
  EXPECT_EQ(JobError::parse(Bytes{3, 0, 0, 0}), JobError(ErrorCode::busy, ""));

  struct Case {
    Bytes payload;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "payload truncated at byte 0"},
      {{5, 0}, "payload truncated at byte 2"},
      {{5, 0, 3, 0, 0x41, 0x42}, "payload truncated at byte 4"},
      {{5, 0, 1, 0, 0x41, 0x42}, "1 trailing bytes in payload"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jobErrorOf([&] { JobError::parse(c.payload); }),
              JobError(ErrorCode::badRequest, c.message));
  }
}

TEST(JobResult, EncodesAndParses) {
  const JobResult empty{1000, 2000, 500, {}};
  const Bytes wire{0xE8, 0x03, 0, 0, 0xD0, 0x07, 0, 0, 0xF4, 0x01, 0, 0, 0};
  EXPECT_EQ(empty.encode(), wire);
  EXPECT_EQ(JobResult::parse(wire), empty);
  EXPECT_EQ(jobErrorOf([&] { JobResult::parse(ByteView(wire).first(12)); }).message(),
            "payload truncated at byte 12");

  const JobResult two{1, 2, 3, {{0xFF, 0xD8, 0xFF}, {}}};
  EXPECT_EQ(JobResult::parse(two.encode()), two);
  Bytes trailing = two.encode();
  trailing.push_back(0);
  EXPECT_EQ(jobErrorOf([&] { JobResult::parse(trailing); }).message(),
            "1 trailing bytes in payload");
}

// ---- Job

// The smallest payload: codec 2, NAL length 4, no sets, zero geometry, quality 31, nothing else.
const Bytes kMinimalJob = {0x02, 0x04, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1F, 0, 0, 0};

TEST(Job, ParsesTheSmallestPayload) {
  const Job job = Job::parse(kMinimalJob);
  EXPECT_EQ(job.codec, 2);
  EXPECT_EQ(job.nalLengthSize, 4);
  EXPECT_TRUE(job.paramSets.empty());
  EXPECT_EQ(job.quality, 31);
  EXPECT_TRUE(job.frames.empty());
  EXPECT_TRUE(job.levels.empty());
  EXPECT_EQ(job.encode(), kMinimalJob);
}

Job sampleJob() {
  Job job;
  job.codec = 9;  // anything parses; validation judges
  job.nalLengthSize = 4;
  job.paramSets = {{0x67, 1, 2}, {}, {0x68}};
  job.fitW = 160;
  job.fitH = 90;
  job.padX = 1;
  job.padY = 2;
  job.cellW = 162;
  job.cellH = 94;
  job.quality = 5;
  job.frames = {{0, 0, 0, 1, 0x65}, {}};
  job.levels = {Level{2, 1, {0, blackCell}}, Level{0, 7, {}}, Level{1, 1, {4000}}};
  return job;
}

TEST(Job, RoundTripsEveryField) {
  const Job job = sampleJob();
  const Bytes wire = job.encode();
  EXPECT_EQ(Job::parse(wire), job);
  EXPECT_EQ(Job::parse(wire).encode(), wire);
}

TEST(Job, ParseFailures) {
  Bytes trailing = sampleJob().encode();
  trailing.push_back(0);
  struct Case {
    Bytes payload;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{}, "payload truncated at byte 0"},
      {{0x02, 0x04, 0x01, 0x05, 0x00, 0xAA, 0xBB}, "payload truncated at byte 5"},
      {{0x02, 0x04, 0x01, 0x05}, "payload truncated at byte 3"},
      {Bytes(kMinimalJob.begin(), kMinimalJob.end() - 1), "payload truncated at byte 18"},
      // One frame announced with 3 bytes, one present.
      {concat({Bytes(kMinimalJob.begin(), kMinimalJob.end() - 3), {1, 0, 3, 0, 0, 0, 0xAA}}),
       "payload truncated at byte 22"},
      // A level 2x3 announcing 5 cells fails before its indices are read.
      {concat({Bytes(kMinimalJob.begin(), kMinimalJob.end() - 1), {1, 2, 0, 3, 0, 5, 0}}),
       "nCells 5 != 2x3"},
      {concat({Bytes(kMinimalJob.begin(), kMinimalJob.end() - 1), {1, 1, 0, 1, 0, 1, 0, 7}}),
       "payload truncated at byte 25"},
      {trailing, "1 trailing bytes in payload"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(jobErrorOf([&] { Job::parse(c.payload); }),
              JobError(ErrorCode::badRequest, c.message))
        << c.message;
  }
}

// ---- Validation

Job validJob() {
  Job job;
  job.codec = 2;
  job.paramSets = {{0x67}, {0x68}};
  job.fitW = 160;
  job.fitH = 90;
  job.cellW = 160;
  job.cellH = 90;
  job.quality = 5;
  job.frames = std::vector<Bytes>(5, Bytes{1});
  job.levels = {Level{1, 1, {0}}};
  return job;
}

TEST(Validation, AcceptsWellFormedJobs) {
  const std::vector<std::function<void(Job&)>> valid = {
      [](Job&) {},
      [](Job& j) { j.quality = 1; },
      [](Job& j) { j.quality = 31; },
      [](Job& j) {
        j.levels = {Level{1, 1, {4}}};
      },
      [](Job& j) {
        j.levels = {Level{1, 1, {blackCell}}};
      },
      [](Job& j) {
        j.frames.clear();
        j.levels = {Level{2, 1, {blackCell, blackCell}}};
      },
      [](Job& j) {
        j.levels = {Level{51, 1, std::vector<uint16_t>(51, 0)}};
      },
      [](Job& j) {
        j.cellW = j.cellH = 128;
        j.fitW = j.fitH = 128;
        j.levels = {Level{64, 64, std::vector<uint16_t>(64 * 64, 0)}};
      },
      [](Job& j) {
        j.fitW = j.fitH = j.cellW = j.cellH = 8192;
        j.levels = {Level{1, 1, {0}}, Level{1, 1, {1}}, Level{1, 1, {2}}, Level{1, 1, {3}},
                    Level{1, 1, {3}}};
      },
      [](Job& j) {
        j.codec = 1;
        j.paramSets = {{0x40}, {0x42}, {0x44}};
      },
  };
  for (size_t k = 0; k < valid.size(); ++k) {
    Job job = validJob();
    valid[k](job);
    EXPECT_NO_THROW(job.validate()) << "case " << k;
  }
}

TEST(Validation, ReportsTheFirstBrokenRule) {
  struct Case {
    std::function<void(Job&)> change;
    ErrorCode code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {[](Job& j) { j.codec = 0, j.nalLengthSize = 2; }, ErrorCode::unsupported, "codec 0"},
      {[](Job& j) { j.nalLengthSize = 2, j.quality = 0; }, ErrorCode::unsupported,
       "nalLengthSize 2"},
      {[](Job& j) { j.paramSets.push_back({1}); }, ErrorCode::badRequest,
       "want 2 non-empty parameter sets, got 3"},
      {[](Job& j) {
         j.codec = 1, j.paramSets = {{1}, {2}, {}};
       },
       ErrorCode::badRequest, "want 3 non-empty parameter sets, got 3"},
      {[](Job& j) { j.codec = 1, j.paramSets.clear(); }, ErrorCode::badRequest,
       "want 3 non-empty parameter sets, got 0"},
      {[](Job& j) { j.quality = 0; }, ErrorCode::badRequest, "quality 0"},
      {[](Job& j) { j.quality = 32; }, ErrorCode::badRequest, "quality 32"},
      {[](Job& j) { j.fitW = 0; }, ErrorCode::badRequest, "zero size: fit 0x90 cell 160x90"},
      {[](Job& j) { j.cellH = -1; }, ErrorCode::badRequest, "zero size: fit 160x90 cell 160x-1"},
      {[](Job& j) { j.padX = 1; }, ErrorCode::badRequest, "fit 160x90 at 1,0 outside cell 160x90"},
      {[](Job& j) { j.padY = -1; }, ErrorCode::badRequest,
       "fit 160x90 at 0,-1 outside cell 160x90"},
      {[](Job& j) { j.levels.clear(), j.frames[0].clear(); }, ErrorCode::badRequest, "no levels"},
      {[](Job& j) { j.frames[3].clear(); }, ErrorCode::badRequest, "empty frame"},
      {[](Job& j) {
         j.levels = {Level{2, 2, {0, 0, 0}}};
       },
       ErrorCode::badRequest, "level 0: bad grid 2x2"},
      {[](Job& j) {
         j.levels = {Level{0, 7, {}}};
       },
       ErrorCode::badRequest, "level 0: bad grid 0x7"},
      {[](Job& j) {
         j.levels = {Level{52, 1, std::vector<uint16_t>(52, 0)}};
       },
       ErrorCode::badRequest, "level 0: canvas 8320x90 over 8192"},
      {[](Job& j) {
         j.levels = {Level{1, 1, {5}}};
       },
       ErrorCode::badRequest, "level 0: frame index 5 >= 5"},
      {[](Job& j) {
         j.levels = {Level{1, 1, {7}}, Level{2, 2, {0}}};
       },
       ErrorCode::badRequest, "level 0: frame index 7 >= 5"},
      {[](Job& j) {
         j.levels = {Level{1, 1, {0}}, Level{1, 1, {0, 0}}};
       },
       ErrorCode::badRequest, "level 1: bad grid 1x1"},
      // 4 distinct frames of 8192 x 8192 take 1 GiB exactly; a fifth goes over.
      {[](Job& j) {
         j.fitW = j.fitH = j.cellW = j.cellH = 8192;
         j.levels = {Level{1, 1, {0}}, Level{1, 1, {1}}, Level{1, 1, {2}},
                     Level{1, 1, {3}}, Level{1, 1, {4}}, Level{1, 1, {4}}};
       },
       ErrorCode::badRequest, "scaled pictures need 1342177280 bytes, over 1073741824"},
  };
  for (const Case& c : cases) {
    Job job = validJob();
    c.change(job);
    EXPECT_EQ(jobErrorOf([&] { job.validate(); }), JobError(c.code, c.message)) << c.message;
  }
}

}  // namespace
}  // namespace mosaickit
