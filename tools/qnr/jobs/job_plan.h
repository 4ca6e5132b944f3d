// A long job's plan: what it filters (the input, recognised by its size,
// time and a fingerprint of its content), with what (the module's hash, the
// road, the settings), into what (the output, its codec and options), the
// video's first frame (which every segment's encoder is set up for, as a
// single run's is), and the segments: runs of frames by presentation
// timestamp in the video stream's own time base, each with its frame count,
// first and last timestamps and a digest of all of them, so a worker can
// check that it produced exactly the planned frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/digest.h"
#include "hosting/road.h"
#include "media/first_frame.h"
#include "media/libav.h"

namespace qnr {

struct SegmentSpan {
  int64_t first_pts = 0;
  int64_t last_pts = 0;
  int64_t frames = 0;
  std::string pts_digest;  // of the frames' timestamps in order
  // The segment's run of input bytes (to the next one's start) and its
  // digest, and the first run its decode reads (input_ranges.h); "" and 0
  // where the container does not place its packets.
  int64_t byte_start = 0;
  int64_t reads_from = 0;
  std::string bytes_sha256;
};

struct JobPlan {
  std::string qnr_version;

  std::string input;  // absolute path
  int64_t input_size = 0;
  int64_t input_mtime = 0;  // seconds
  std::string input_fingerprint;

  std::string module;  // absolute path
  std::string module_sha256;
  Road road = Road::cpu;
  bool cpu_only = false;  // --cpu: workers keep the module off the GPU

  std::string config;  // the filter's settings line, as the module reads it back
  bool show_noise = false;
  bool disable = false;
  bool interlace = false;  // the instance holds Interlace: the output is coded interlaced
  // --rgb or Show noise: the filter's own RGB is written, not the input's
  // frames with its correction.
  bool module_rgb = false;
  AVRational rate{0, 1};  // --rate, 0/1 for the input's own
  bool strict = false;    // --strict: damage in the input stops the job

  std::string output;  // absolute path
  std::string format;  // -f, "" for the one the name picks
  std::string codec;   // --codec, "" for the container's default
  std::vector<std::string> encoder_args;
  bool overwrite = false;

  double segment_seconds = 0;
  int video_stream = -1;
  AVRational time_base{0, 1};
  int64_t preroll = 0;  // ticks a worker decodes before its first frame
  FirstFrame first_frame;
  std::string one_segment_because;  // why the video is not split; "" when it is
  std::vector<SegmentSpan> segments;

  int64_t frames() const;
};

std::string plan_text(const JobPlan& plan);
// Throws RecordError when the text is not a plan.
JobPlan parse_plan(const std::string& text);

// How a plan made for `wanted` would differ from `planned` in what decides
// the output, e.g. "the input's content"; "" when it would not.
std::string plan_difference(const JobPlan& planned, const JobPlan& wanted);

// The digest of a run of timestamps, as a plan keeps it.
class PtsDigest {
 public:
  void add(int64_t pts);
  std::string finish();

 private:
  Sha256 hash_;
};

}  // namespace qnr
