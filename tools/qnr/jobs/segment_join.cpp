#include "jobs/segment_join.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/note.h"
#include "base/progress.h"
#include "jobs/job_setup.h"
#include "jobs/joined_output.h"
#include "jobs/segment_file.h"
#include "media/coded_video.h"
#include "media/decode_timeline.h"
#include "media/indexed_input.h"
#include "media/input_timeline.h"
#include "media/media_output.h"
#include "media/output_file.h"

namespace qnr {

namespace {

// Every segment done, or a Failure that names each one that is not.
std::vector<SegmentDone> finished_segments(const JobFolder& folder, const JobPlan& plan,
                                           const std::string& plan_id) {
  std::vector<SegmentDone> done;
  std::string missing;
  int count = 0;
  const FolderListing listing = folder.list();
  for (size_t k = 0; k < plan.segments.size(); ++k) {
    SegmentStatus status = folder.status(plan, plan_id, static_cast<int64_t>(k), false, listing);
    if (status.state == SegmentState::done) {
      done.push_back(std::move(*status.done));
      continue;
    }
    if (++count <= 5) {
      missing += (missing.empty() ? "" : "; ") + segment_label(static_cast<int64_t>(k)) + " is " +
                 (status.state == SegmentState::running ? "still running " + status.detail
                  : status.detail.empty()               ? std::string("not done")
                                                        : "not done: " + status.detail);
    }
  }
  if (count > 0) {
    throw Failure("cannot join " + std::to_string(count) + " of " +
                  std::to_string(plan.segments.size()) + " segments yet: " + missing +
                  (count > 5 ? "; ..." : "") + " (run qnr segment --job " + folder.path() +
                  " K for each)");
  }
  return done;
}

// Segments coded apart must be coded alike to make one stream.
void check_coded_alike(const std::vector<SegmentDone>& done) {
  const auto& reference = done.front().video.fields;
  for (size_t k = 1; k < done.size(); ++k) {
    const auto& fields = done[k].video.fields;
    if (fields == reference) continue;
    std::string what = "its list of codec fields";
    for (size_t i = 0; i < std::min(fields.size(), reference.size()); ++i) {
      if (fields[i] != reference[i]) {
        what = fields[i].first.substr(fields[i].first.find('.') + 1);
        break;
      }
    }
    throw Failure(segment_label(static_cast<int64_t>(k)) +
                      "'s video is coded differently from segment 0's (" + what +
                      "): the encoder, its options or its version differ. Make it again "
                      "where segment 0 was made (remove its .done file and run its qnr segment)",
                  kExitCannotRetry);
  }
}

// The video packets of every segment in turn, with decoding times made anew.
class VideoFeed {
 public:
  VideoFeed(const JobFolder& folder, const std::vector<SegmentDone>& done)
      : folder_(folder), done_(done) {
    for (const SegmentDone& segment : done) depth_ = std::max(depth_, segment.reorder_depth);
    // A frame shown as the r-th is decoded by packet r + depth at the
    // latest: the first 2 depth + 1 packets hold the first depth + 1 frames.
    while (static_cast<int64_t>(ahead_.size()) <= 2 * depth_ && read_one()) {
    }
    if (ahead_.empty()) throw Failure("the job's segments hold no video");
    std::vector<int64_t> earliest;
    for (const PacketPtr& packet : ahead_) earliest.push_back(packet->pts);
    std::sort(earliest.begin(), earliest.end());
    earliest.resize(std::min(earliest.size(), static_cast<size_t>(depth_ + 1)));
    timeline_.emplace(depth_, std::move(earliest));
  }

  // The next packet, or null at the end.
  PacketPtr next() {
    if (ahead_.empty() && !read_one()) return nullptr;
    PacketPtr packet = std::move(ahead_.front());
    ahead_.pop_front();
    packet->dts = timeline_->next(packet->pts);
    if (packet->dts > packet->pts) {
      throw Failure("the segments' frames cannot be put in decoding order at segment " +
                    std::to_string(segment_));
    }
    return packet;
  }

 private:
  bool read_one() {
    for (;;) {
      if (!reader_) {
        if (segment_ >= done_.size()) return false;
        const SegmentDone& done = done_[segment_];
        reader_ = std::make_unique<SegmentReader>(folder_.in_folder(done.file),
                                                  segment_label(static_cast<int64_t>(segment_)),
                                                  done.size, done.sha256);
      }
      PacketPtr packet = new_packet();
      if (reader_->next(packet.get())) {
        ahead_.push_back(std::move(packet));
        return true;
      }
      reader_.reset();
      ++segment_;
    }
  }

  const JobFolder& folder_;
  const std::vector<SegmentDone>& done_;
  int64_t depth_ = 0;
  size_t segment_ = 0;
  std::unique_ptr<SegmentReader> reader_;
  std::deque<PacketPtr> ahead_;
  std::optional<DecodeTimeline> timeline_;
};

// The input's kept streams other than the video, packet by packet, on the
// clock a single run gives them. Where the container's clock may jump (a
// transport or program stream) the video's packets are read too, since a
// jump is taken out of every stream alike (the workers did the same for the
// video); elsewhere the video's packets are skipped, and in an MP4 or MOV
// their bytes are not read either (FFmpeg's reader would read short gaps
// rather than seek).
class SourceFeed {
 public:
  SourceFeed(MediaInput& input, const MediaOutput& output)
      : input_(input),
        output_(output),
        uses_(uses(input, output)),
        indexed_(open_indexed_input(input, uses_)),
        format_(indexed_ ? indexed_->format() : input.format),
        timeline_(*format_, input.video, input.video_rate()) {
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      if (uses_[i] == StreamUse::none) format_->streams[i]->discard = AVDISCARD_ALL;
    }
  }

  PacketPtr next() {
    PacketPtr packet = new_packet();
    for (;;) {
      const int code = av_read_frame(format_, packet.get());
      if (code == AVERROR_EOF) return nullptr;
      if (code < 0) {
        throw_if_interrupted();
        throw Failure("reading " + input_.name + " failed: " + av_error_text(code));
      }
      timeline_.fix(*packet);
      const int index = packet->stream_index;
      if (index != input_.video && output_.output_stream_of(index) >= 0) return packet;
      av_packet_unref(packet.get());
    }
  }

  AVRational time_base(const AVPacket& packet) const {
    return format_->streams[packet.stream_index]->time_base;
  }

  // What was done to the input's clock, for a note; "" when it never jumped.
  std::string clock_note() const { return timeline_.note(input_.name); }

 private:
  static std::vector<StreamUse> uses(const MediaInput& input, const MediaOutput& output) {
    const bool may_jump = (input.format->iformat->flags & AVFMT_TS_DISCONT) != 0;
    std::vector<StreamUse> wanted(input.format->nb_streams, StreamUse::none);
    for (unsigned i = 0; i < input.format->nb_streams; ++i) {
      const bool video = static_cast<int>(i) == input.video;
      if (video ? may_jump : output.output_stream_of(static_cast<int>(i)) >= 0) {
        wanted[i] = StreamUse::whole;
      }
    }
    return wanted;
  }

  MediaInput& input_;
  const MediaOutput& output_;
  std::vector<StreamUse> uses_;
  std::unique_ptr<IndexedInput> indexed_;  // null: the input itself is read
  AVFormatContext* format_;
  InputTimeline timeline_;
};

JoinReport run_join(const JobRequest& request, const OpenedJob& job, JoinClaim& claim) {
  const JobFolder& folder = job.folder;
  const JobPlan& plan = job.plan;
  const std::vector<SegmentDone> done = finished_segments(folder, plan, job.plan_id);
  check_coded_alike(done);
  check_input_unchanged(plan);
  CodedVideo video;
  try {
    video = read_coded_video(done.front().video);
  } catch (const RecordError& error) {
    throw Failure(std::string("segment 0's done record is damaged: ") + error.what());
  }

  OutputTarget target;
  target.name = plan.output;
  target.overwrite = plan.overwrite || request.overwrite;
  target.input = plan.input;
  OutputFile output_file(target);
  MediaOutput output(plan_output_request(plan, request.quiet, &output_file));
  const std::unique_ptr<MediaInput> input = open_media_input(plan.input, plan.video_stream);
  output.map_streams(*input);
  output.open_coded(video);

  Progress progress(request.quiet, plan.frames(), std::nullopt);
  VideoFeed videos(folder, done);
  SourceFeed sources(*input, output);
  PacketPtr picture = videos.next();
  PacketPtr other = sources.next();
  int64_t frames = 0;
  while (picture || other) {
    throw_if_interrupted();
    claim.refresh();
    bool video_first = !other;
    if (picture && other) {
      const int64_t at = other->dts != AV_NOPTS_VALUE ? other->dts : other->pts;
      video_first = at != AV_NOPTS_VALUE && av_compare_ts(picture->dts, video.time_base, at,
                                                          sources.time_base(*other)) <= 0;
    }
    if (video_first) {
      output.write_video(picture.get(), video.time_base);
      ++frames;
      progress.frame_done();
      picture = videos.next();
    } else {
      output.write_copied(other.get(), sources.time_base(*other));
      other = sources.next();
    }
  }
  progress.finish();
  output.finish();
  // The record first: whoever finds this very file in place later knows
  // that the job is finished.
  struct stat made {};
  if (output_file.identity(made)) write_joined(folder, {job.plan_id, plan.output}, made);
  output_file.commit();
  if (const std::string older = output_file.older_pictures(); !older.empty()) {
    note(request.quiet, older);
  }
  if (const std::string clock = sources.clock_note(); !clock.empty()) note(request.quiet, clock);
  // Each segment's damage, as the segment that read those frames found it.
  for (const SegmentDone& segment : done) {
    for (const std::string& line : segment.damage) {
      note(request.quiet, segment_label(segment.segment) + ": " + line);
    }
  }

  JoinReport report;
  report.frames = frames;
  report.segments = static_cast<int64_t>(done.size());
  report.output = plan.output;
  return report;
}

}  // namespace

JoinReport join_job(const JobRequest& request, JoinClaim* held) {
  // Held while waiting too, so that the joiner leaves the folder (and its
  // joined record) for this process to find.
  std::unique_ptr<JoinClaim> own;
  JoinClaim* claim = held;
  bool said = false;
  for (;;) {
    if (const auto made = finished_output(request.dir, request.keep)) {
      JoinReport report;
      report.output = *made;
      report.made_before = true;
      return report;
    }
    const OpenedJob job = open_job(request.dir);
    if (!claim) {
      own = std::make_unique<JoinClaim>(job.folder);
      claim = own.get();
    }
    if (claim->take()) {
      JoinReport report = run_join(request, job, *claim);
      if (!request.keep && !claim->others_waiting()) report.folder_kept = !job.folder.remove();
      return report;
    }
    if (!said) {
      note(request.quiet,
           "another process is joining the job in " + request.dir + "; waiting for it");
    }
    said = true;
    // Apart, so that two that stepped back together do not meet again.
    std::this_thread::sleep_for(std::chrono::milliseconds(400 + std::random_device{}() % 300));
    throw_if_interrupted();
  }
}

}  // namespace qnr
