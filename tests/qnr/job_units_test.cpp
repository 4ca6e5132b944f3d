// The pieces of a long job that decide on their own: the records kept in the
// job's folder, where the video is cut, and the decoding times of joined
// segments.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "base/digest.h"
#include "base/record_text.h"
#include "gpu/road_log.h"
#include "hosting/road.h"
#include "jobs/job_plan.h"
#include "jobs/job_planner.h"
#include "jobs/segment_file.h"
#include "media/decode_timeline.h"
#include "media/first_frame.h"
#include "media/indexed_input.h"
#include "qnr_support.h"

namespace qnr {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Plans and done records written by earlier versions hold these digests, so
// they must stay SHA-256 to the bit, however the bytes arrive.
TEST(JobDigests, Sha256GivesTheStandardDigestsInAnyPieces) {
  const std::string million(1000000, 'a');
  const std::vector<std::pair<std::string, std::string>> vectors = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  Sha256 hash;
  for (const auto& [text, digest] : vectors) {
    hash.update(text.data(), text.size());
    EXPECT_EQ(hash.hex(), digest) << text.size() << " bytes at once";
    for (size_t at = 0, piece = 1; at < text.size(); at += piece, piece = piece * 3 % 97 + 1) {
      hash.update(text.data() + at, std::min(piece, text.size() - at));
    }
    EXPECT_EQ(hash.hex(), digest) << text.size() << " bytes in pieces";
  }
}

TEST(JobRecords, AnyTextSurvivesTheRoundTrip) {
  TextRecord record;
  record.kind = "qnr test 1";
  const std::vector<std::string> values = {"", "a b  c ", "100% done", "line\nbreak\r\n", "%0A"};
  for (const std::string& value : values) record.add("value", value);
  record.add_number("number", -42);
  const TextRecord back = parse_text_record(to_text(record), "qnr test 1");
  EXPECT_EQ(back.all("value"), values);
  EXPECT_EQ(back.number("number"), -42);
  EXPECT_THROW(back.text("absent"), RecordError);
}

TEST(JobRecords, DamagedRecordsAreRefused) {
  for (const char* text : {"", "qnr other 1\n", "qnr test 1\nkey value", "qnr test 1\nnokey\n",
                           "qnr test 1\nkey bad%2\n", "qnr test 1\nkey %zz\n"}) {
    EXPECT_THROW(parse_text_record(text, "qnr test 1"), RecordError) << text;
  }
  const TextRecord record = parse_text_record("qnr test 1\nn 12x\nf 2\n", "qnr test 1");
  EXPECT_THROW(record.number("n"), RecordError);
  EXPECT_THROW(record.flag("f"), RecordError);
}

JobPlan sample_plan() {
  JobPlan plan;
  plan.qnr_version = "3.6.1";
  plan.input = "/media/holiday 1%.mkv";
  plan.output = "/media/out\n.mkv";
  plan.config = "Config(70,70,2,0,1)";
  plan.encoder_args = {"-crf", "20", "-an"};
  plan.segment_seconds = 0.52;
  plan.time_base = {1, 90000};
  plan.road = Road::gpu;
  plan.first_frame = first_frame_from_text(
      "1080x1920 format=0 interlaced=1 top_field_first=0 sample_aspect=4/3 colorspace=1 "
      "primaries=1 transfer=1 range=1");
  // The second segment with its run of input bytes, the first without.
  plan.segments = {{0, 3600, 2, "d0", 0, 0, ""}, {7200, 7200, 1, "d1", 4096, 0, "b1"}};
  return plan;
}

TEST(JobPlans, AFirstFrameWithValuesFFmpegDoesNotNameIsRefused) {
  for (const char* colours : {"colorspace=-1 primaries=1 transfer=1 range=1",
                              "colorspace=1 primaries=1000 transfer=1 range=1",
                              "colorspace=1 primaries=1 transfer=99999 range=1",
                              "colorspace=1 primaries=1 transfer=1 range=3"}) {
    const std::string text = std::string(
                                 "8x8 format=0 interlaced=0 top_field_first=0 "
                                 "sample_aspect=1/1 ") +
                             colours;
    EXPECT_THROW(first_frame_from_text(text), RecordError) << text;
  }
}

TEST(JobPlans, APlanReadsBackAsWritten) {
  const JobPlan plan = sample_plan();
  const JobPlan back = parse_plan(plan_text(plan));
  EXPECT_EQ(plan_text(back), plan_text(plan));
  EXPECT_EQ(back.output, plan.output);
  EXPECT_EQ(back.segment_seconds, 0.52);
  EXPECT_EQ(back.frames(), 3);
  EXPECT_EQ(plan_difference(plan, back), "");
}

TEST(JobPlans, EachPartOfTheJobIsCompared) {
  struct Case {
    void (*change)(JobPlan&);
    const char* named;
  };
  const Case cases[] = {
      {[](JobPlan& p) { p.input_size += 1; }, "the input's content"},
      {[](JobPlan& p) { p.module_sha256 = "other"; }, "the filter module"},
      {[](JobPlan& p) { p.road = Road::cpu; }, "the road"},
      {[](JobPlan& p) { p.show_noise = true; }, "the filter's settings"},
      {[](JobPlan& p) { p.encoder_args.pop_back(); }, "the codec or the encoder options"},
      {[](JobPlan& p) { p.segment_seconds = 60; }, "the segment length"},
  };
  for (const Case& c : cases) {
    JobPlan changed = sample_plan();
    c.change(changed);
    EXPECT_THAT(plan_difference(sample_plan(), changed), HasSubstr(c.named));
  }
  std::string overlapping = plan_text(sample_plan());
  overlapping.replace(overlapping.find("segment 7200"), 12, "segment 3600");
  EXPECT_THROW(parse_plan(overlapping), RecordError);
}

std::vector<int64_t> firsts(const Split& split) {
  std::vector<int64_t> out;
  for (const SegmentSpan& span : split.segments) out.push_back(span.first_pts);
  return out;
}

// 25 frames a second in a 1/1000 time base with a gap of 1.64 s after
// frame 19, keyframes 0.4 s apart.
TEST(JobSplit, SegmentsStartAtTheFirstFrameOnOrAfterEachBoundary) {
  VideoScan scan;
  scan.time_base = {1, 1000};
  for (int64_t i = 0; i < 20; ++i) scan.pts.push_back(100 + 40 * i);
  for (int64_t i = 0; i < 20; ++i) scan.pts.push_back(2500 + 40 * i);
  scan.key_interval = 400;
  const Split split = split_video(scan, 0.5);
  // Boundaries 600, 1100, ... 3100; those in the gap start one segment.
  EXPECT_THAT(firsts(split), ElementsAre(100, 620, 2500, 2620, 3100));
  EXPECT_EQ(split.segments[1].frames, 7);
  EXPECT_EQ(split.segments[1].last_pts, 860);
  EXPECT_EQ(split.segments.back().last_pts, 2500 + 40 * 19);
  EXPECT_EQ(split.preroll, 1000);  // one second beats one keyframe interval

  scan.key_interval = 3000;
  EXPECT_EQ(split_video(scan, 0.5).preroll, 3000);
  scan.one_segment_because = "two frames share a timestamp";
  const Split whole = split_video(scan, 0.5);
  ASSERT_EQ(whole.segments.size(), 1u);
  EXPECT_EQ(whole.segments[0].frames, 40);
  EXPECT_EQ(whole.one_segment_because, scan.one_segment_because);
}

// x264's order for I B B P with b-pyramid: decoded I P Bref B ..., shown
// in order; each segment starts its own encoder.
std::vector<int64_t> pyramid_gop(int64_t first, int64_t frames) {
  std::vector<int64_t> order = {first};
  for (int64_t g = 1; g + 3 <= frames; g += 4) {
    for (int64_t step : {3, 1, 0, 2}) order.push_back(first + (g + step) * 10);
  }
  while (static_cast<int64_t>(order.size()) < frames) order.push_back(first + 10 * order.size());
  return order;
}

TEST(JobJoin, DecodingTimesRiseAndNeverPassTheFrames) {
  EXPECT_EQ(reorder_depth_of(pyramid_gop(0, 9)), 2);
  EXPECT_EQ(reorder_depth_of({0, 10, 20}), 0);
  std::vector<int64_t> joined = pyramid_gop(0, 9);
  for (int64_t pts : pyramid_gop(90, 9)) joined.push_back(pts);
  std::vector<int64_t> earliest = joined;
  std::sort(earliest.begin(), earliest.end());
  earliest.resize(3);
  DecodeTimeline timeline(2, earliest);
  std::vector<int64_t> dts;
  for (int64_t pts : joined) dts.push_back(timeline.next(pts));
  // As one encoder with a delay of two frames dates them: 20 ticks early.
  EXPECT_THAT(std::vector<int64_t>(dts.begin(), dts.begin() + 4), ElementsAre(-20, -10, 0, 10));
  for (size_t i = 0; i < joined.size(); ++i) {
    EXPECT_LE(dts[i], joined[i]) << i;
    if (i > 0) {
      EXPECT_LT(dts[i - 1], dts[i]) << i;
    }
  }
  // Without reordering the decoding times are the frames' own.
  DecodeTimeline intra(0, {5});
  for (int64_t pts : {5, 9, 30}) EXPECT_EQ(intra.next(pts), pts);
}

// A job on the GPU road reads the module's log to learn of a frame that fell
// back to the CPU; every other line still reaches standard error.
TEST(JobRoad, TheWatchKeepsTheModulesLinesApart) {
  int sink[2];
  ASSERT_EQ(::pipe(sink), 0);
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(sink[1], STDERR_FILENO);
  ::close(sink[1]);
  std::vector<std::string> causes;
  {
    GpuRoadWatch watch;
    EXPECT_STREQ(std::getenv("QNR_LOG"), "1");
    std::fputs("qnr: a line of qnr's own\n", stderr);
    // The module's lines, as its log writes them.
    RoadLogEntry failed{GpuStep::kUpload,
                        RoadCause::kDriverCall,
                        "",
                        "cuMemcpy2DAsync_v2",
                        700,
                        "CUDA_ERROR_ILLEGAL_ADDRESS"};
    std::fputs((road_log_line(failed) + "\n").c_str(), stderr);
    failed.step = GpuStep::kRelease;
    failed.call = "cuStreamDestroy_v2";
    std::fputs((road_log_line(failed) + "\n").c_str(), stderr);
    std::fputs("frame 3 of 9", stderr);  // a progress line, not ended
    causes = watch.finish();
  }
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  char text[512] = {};
  const ssize_t n = ::read(sink[0], text, sizeof text - 1);
  ::close(sink[0]);
  EXPECT_EQ(std::string(text, n > 0 ? static_cast<size_t>(n) : 0),
            "qnr: a line of qnr's own\nframe 3 of 9");
  ASSERT_EQ(causes.size(), 1u);
  EXPECT_THAT(causes[0], HasSubstr("upload: cuMemcpy2DAsync_v2 returned 700"));
  EXPECT_EQ(std::getenv("QNR_LOG"), nullptr);
}

// One line per packet of `stream` (times, size, flags and a digest of its
// bytes), read from `format` to its end.
std::vector<std::string> packet_lines(AVFormatContext* format, int stream) {
  std::vector<std::string> lines;
  PacketPtr packet = new_packet();
  while (av_read_frame(format, packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      Sha256 hash;
      hash.update(packet->data, static_cast<size_t>(packet->size));
      lines.push_back(std::to_string(packet->pts) + " " + std::to_string(packet->dts) + " " +
                      std::to_string(packet->duration) + " " + std::to_string(packet->flags) + " " +
                      hash.hex());
    }
    av_packet_unref(packet.get());
  }
  return lines;
}

// MP4 and MOV files as encoders and editors write them. Read from the
// index, the video's packets have the times and places reading every packet
// gives, and the sound the same packets, while the video's bytes stay unread.
TEST(JobIndexedInput, GivesWhatReadingTheFileGivesWithoutTheVideosBytes) {
  enum class Index { header_only, any, none };
  struct Case {
    const char* name;
    std::vector<std::string> codecs;
    Index index;
  };
  const Case cases[] = {
      {"b-frames.mp4",
       {"-c:v", "libx264", "-bf", "2", "-g", "12", "-c:a", "aac"},
       Index::header_only},
      {"faststart.mp4",
       {"-c:v", "libx264", "-c:a", "aac", "-movflags", "+faststart"},
       Index::header_only},
      {"hevc.mp4",
       {"-c:v", "libx265", "-x265-params", "log-level=none", "-an"},
       Index::header_only},
      {"mpeg4.mov", {"-c:v", "mpeg4", "-bf", "2", "-c:a", "pcm_s16le"}, Index::header_only},
      {"prores.mov", {"-c:v", "prores_ks", "-c:a", "ac3"}, Index::header_only},
      {"fragmented.mp4",
       {"-c:v", "libx264", "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov"},
       Index::any},
      {"vp9.mp4", {"-c:v", "libvpx-vp9", "-deadline", "realtime", "-an"}, Index::none},
  };
  qnr_test::TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / c.name;
    std::vector<std::string> args = {
        "-f", "lavfi", "-i", "testsrc2=size=160x120,noise=alls=30:allf=t",
        "-f", "lavfi", "-i", "sine=d=2",
        "-t", "2"};
    args.insert(args.end(), c.codecs.begin(), c.codecs.end());
    args.push_back(path);
    qnr_test::ffmpeg(args);
    const auto size = static_cast<int64_t>(std::filesystem::file_size(path));

    const VideoScan read = scan_video(*open_media_input(path), nullptr, true);
    const auto input = open_media_input(path);
    const std::unique_ptr<IndexedInput> times = open_packet_times(*input);
    ASSERT_EQ(times == nullptr, c.index == Index::none);
    if (!times) continue;
    const VideoScan scanned = scan_video(*input, times.get(), true);
    EXPECT_EQ(scanned.pts, read.pts);
    EXPECT_EQ(scanned.key_interval, read.key_interval);
    EXPECT_EQ(scanned.one_segment_because, read.one_segment_because);
    ASSERT_EQ(scanned.places.size(), read.places.size());
    for (size_t i = 0; i < read.places.size(); ++i) {
      EXPECT_EQ(scanned.places[i].pos, read.places[i].pos) << i;
      EXPECT_EQ(scanned.places[i].end, read.places[i].end) << i;
    }
    int64_t video_bytes = 0;
    for (const PacketPlace& place : read.places) video_bytes += place.end - place.pos;
    // The header is read whole through a 16 KiB buffer, parts of it twice.
    const int64_t most = size - video_bytes + (2 << 14);
    if (c.index == Index::header_only) {
      EXPECT_LE(times->bytes_read(), most);
    }

    if (input->format->nb_streams < 2) continue;
    const int sound = input->video == 0 ? 1 : 0;
    const std::vector<StreamUse> uses = {sound == 0 ? StreamUse::whole : StreamUse::none,
                                         sound == 1 ? StreamUse::whole : StreamUse::none};
    const std::unique_ptr<IndexedInput> copied = open_indexed_input(*input, uses);
    // Not from a fragmented file, whose packets may lack their durations.
    ASSERT_EQ(copied == nullptr, c.index == Index::any);
    if (!copied) continue;
    EXPECT_EQ(packet_lines(copied->format(), sound),
              packet_lines(open_media_input(path)->format, sound));
    if (c.index == Index::header_only) {
      EXPECT_LE(copied->bytes_read(), most);
    }
  }
}

}  // namespace
}  // namespace qnr
