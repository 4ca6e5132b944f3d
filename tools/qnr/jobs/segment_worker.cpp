#include "jobs/segment_worker.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/digest.h"
#include "base/failure.h"
#include "base/files.h"
#include "base/interrupt.h"
#include "base/note.h"
#include "base/progress.h"
#include "hosting/road.h"
#include "jobs/input_ranges.h"
#include "jobs/job_setup.h"
#include "jobs/segment_file.h"
#include "media/coded_video.h"
#include "media/damage.h"
#include "media/decode_loop.h"
#include "media/media_output.h"
#include "media/pipeline.h"

namespace qnr {

namespace {

// How often the pre-roll doubles when a seek lands too late, before the
// worker decodes from the start instead.
constexpr int kSeekTries = 3;

// Only the video is read: the join takes the other streams from the input.
void read_video_only(MediaInput& input) {
  for (unsigned i = 0; i < input.format->nb_streams; ++i) {
    if (static_cast<int>(i) != input.video) input.format->streams[i]->discard = AVDISCARD_ALL;
  }
}

// The frames one try took, and whether its seek landed too late to give
// them all.
struct Taken {
  bool too_late = false;
  bool from_start = false;  // decoded from the video's start: a straight decode
  int64_t frames = 0;
  int64_t first_pts = 0;
  int64_t last_pts = 0;
  std::string digest;
};

// Picks a segment's frames from a decode that started at `seek_to` (a
// keyframe at or before it), or at the start when `seeking` is false.
class FramePicker {
 public:
  FramePicker(const JobPlan& plan, int64_t k, int64_t seek_to, bool seeking)
      : seek_to_(seek_to),
        seeking_(seeking),
        has_start_(k > 0),
        start_(plan.segments[static_cast<size_t>(k)].first_pts),
        has_end_(static_cast<size_t>(k) + 1 < plan.segments.size()),
        end_(has_end_ ? plan.segments[static_cast<size_t>(k) + 1].first_pts : 0) {
    taken_.from_start = !seeking;
  }

  FrameChoice choose(const AVFrame& frame) {
    const int64_t pts = frame.best_effort_timestamp;
    if (!first_seen_) {
      first_seen_ = true;
      // The seek must land a whole pre-roll ahead, or the first frames may
      // decode wrongly.
      if (seeking_ && pts > seek_to_) {
        taken_.too_late = true;
        return FrameChoice::stop;
      }
    }
    if (has_start_ && pts < start_) return FrameChoice::skip;
    if (has_end_ && pts >= end_) return FrameChoice::stop;
    if (taken_.frames == 0) taken_.first_pts = pts;
    taken_.last_pts = pts;
    ++taken_.frames;
    digest_.add(pts);
    return FrameChoice::take;
  }

  Taken finish() {
    taken_.digest = digest_.finish();
    return taken_;
  }

 private:
  int64_t seek_to_;
  bool seeking_;
  bool has_start_;
  int64_t start_;
  bool has_end_;
  int64_t end_;
  bool first_seen_ = false;
  Taken taken_;
  PtsDigest digest_;
};

class SegmentRun {
 public:
  SegmentRun(const JobRequest& request, const OpenedJob& job, const FolderListing& listing)
      : listing_(listing),
        request_(request),
        folder_(job.folder),
        plan_(job.plan),
        plan_id_(job.plan_id),
        k_(request.segment),
        span_(plan_.segments.at(static_cast<size_t>(k_))) {}

  void run() {
    folder_.tidy(k_, "", listing_);
    check_input_unchanged(plan_);
    loaded_ = load_module();
    check_road(loaded_);
    make_instances(loaded_);

    // The plan's timestamps are its packets'. A decode that gives them, or
    // that started at the video's start, or that a longer pre-roll gives
    // again, is a straight decode's; failing those, the segment is decoded
    // from the start.
    int64_t preroll = plan_.preroll;
    for (int attempt = 0;; ++attempt) {
      const bool from_start = k_ == 0 || attempt > kSeekTries;
      std::unique_ptr<SegmentWriter> writer;
      const Taken taken = take_frames(from_start ? -1 : span_.first_pts - preroll, writer);
      if (taken.too_late) {
        preroll *= 2;
        continue;
      }
      if (taken.from_start || matches_plan(taken) ||
          same_frames(taken, list_frames(span_.first_pts - 4 * preroll))) {
        // Read after the decode: a change before or during it shows.
        check_byte_runs(plan_, k_, taken.from_start || attempt > kSeekTries);
        commit(*writer, taken);
        return;
      }
      attempt = kSeekTries;  // once more, from the start
    }
  }

 private:
  LoadedModule load_module() {
    const std::string path = !request_.module.empty()                    ? request_.module
                             : ::access(plan_.module.c_str(), R_OK) == 0 ? plan_.module
                                                                         : default_module_path();
    std::string sha256;
    LoadedModule loaded = load_job_module(path, sha256);
    if (sha256 != plan_.module_sha256) {
      throw Failure("the filter module " + path +
                        " is not the one the job was planned with (its SHA-256, or that of the "
                        "libqnr_win32.so it loads, differs); "
                        "give the plan's module with --module",
                    kExitCannotRetry);
    }
    return loaded;
  }

  void check_road(const LoadedModule& loaded) {
    std::string why;
    const Road road = probe_road(*loaded.module, *loaded.filter, why);
    if (road == plan_.road) return;
    if (const size_t end = why.find(". Every frame"); end != std::string::npos) why.erase(end);
    const std::string planned = plan_.road == Road::gpu ? "GPU" : "CPU";
    const std::string here = road == Road::gpu ? "GPU" : "CPU";
    throw Failure(segment_label(k_) + ": the job's frames take the " + planned +
                  " road, and here they would take the " + here +
                  " road (the GPU road here: " + why +
                  "). The two roads give different bits and one job keeps to one: run this "
                  "segment where the " +
                  planned + " road is taken" + (plan_.road == Road::cpu ? " (or with --cpu)" : ""));
  }

  void make_instances(const LoadedModule& loaded) {
    const FilterSettings settings = plan_settings(plan_);
    const int jobs = request_.jobs > 0 ? request_.jobs : default_jobs();
    for (int j = 0; j < jobs; ++j) {
      instances_.push_back(make_instance(loaded, settings));
      std::string line;
      instances_.back()->script_string(line);
      if (line != plan_.config) {
        throw Failure("the module reads the plan's settings " + plan_.config + " back as " + line,
                      kExitCannotRetry);
      }
    }
  }

  // Decodes from a keyframe before `seek_to` (from the start when negative)
  // and encodes the segment's frames into a new file in the folder.
  Taken take_frames(int64_t seek_to, std::unique_ptr<SegmentWriter>& writer) {
    const std::unique_ptr<MediaInput> input = open_media_input(plan_.input, plan_.video_stream);
    if (input->video != plan_.video_stream ||
        input->video_stream()->time_base.num != plan_.time_base.num ||
        input->video_stream()->time_base.den != plan_.time_base.den) {
      throw Failure("the input's video is not the stream the plan describes", kExitCannotRetry);
    }
    read_video_only(*input);
    writer = std::make_unique<SegmentWriter>(
        folder_.in_folder(folder_.temp_name(folder_.segment_base(k_))));
    MediaOutput output(plan_output_request(plan_, true));
    output.send_video_to([&](AVPacket* packet, AVRational) { writer->write(*packet); });
    output.map_streams(*input);

    FramePicker picker(plan_, k_, seek_to, seeks(seek_to));
    PipelineRequest request;
    request.input = input.get();
    request.output = &output;
    for (auto& instance : instances_) request.filters.push_back(instance.get());
    request.first = plan_.first_frame;
    request.quiet = true;
    request.rate = plan_.rate;
    request.strict = plan_.strict;
    request.road = plan_.module_rgb ? OutputRoad::module_rgb : OutputRoad::correction;
    request.select = [&](const AVFrame& frame) { return picker.choose(frame); };
    if (seeks(seek_to)) request.seek_to = seek_to;
    if (k_ > 0) request.frames_before = frames_before();
    Progress progress(request_.quiet, span_.frames, std::nullopt);
    request.progress = &progress;

    std::unique_ptr<GpuRoadWatch> watch;
    if (plan_.road == Road::gpu) watch = std::make_unique<GpuRoadWatch>();
    damage_ = run_pipeline(request).damage;
    progress.finish();
    if (watch) check_one_road(watch->finish());
    throw_if_interrupted();
    const Taken taken = picker.finish();
    if (!taken.too_late && output.coded_video().parameters) coded_ = output.coded_video().copy();
    return taken;
  }

  // The plan's frames before the segment's first.
  int64_t frames_before() const {
    int64_t frames = 0;
    for (int64_t j = 0; j < k_; ++j) frames += plan_.segments[static_cast<size_t>(j)].frames;
    return frames;
  }

  // Whether a decode for `seek_to` seeks; one that starts before the
  // video's first frame (or at a negative target) starts at the beginning.
  bool seeks(int64_t seek_to) const { return seek_to > plan_.segments.front().first_pts; }

  // The segment's frames as a decode from `seek_to` gives them, decoded only.
  Taken list_frames(int64_t seek_to) const {
    const std::unique_ptr<MediaInput> input = open_media_input(plan_.input, plan_.video_stream);
    read_video_only(*input);
    // A check of what the decoder gives: the damage is the run's to count.
    DamageLog damage(plan_.input, false);
    DecodeLoop loop(*input, damage);
    const bool seeking = seeks(seek_to) && loop.seek(seek_to);
    FramePicker picker(plan_, k_, seek_to, seeking);
    FramePtr frame = new_frame();
    while (loop.next(frame.get())) {
      throw_if_interrupted();
      const FrameChoice choice = picker.choose(*frame);
      av_frame_unref(frame.get());
      if (choice == FrameChoice::stop) break;
    }
    return picker.finish();
  }

  static bool same_frames(const Taken& a, const Taken& b) {
    return !a.too_late && !b.too_late && a.frames == b.frames && a.digest == b.digest;
  }

  void check_one_road(const std::vector<std::string>& causes) {
    if (causes.empty()) return;
    throw Failure(segment_label(k_) +
                  ": the GPU road failed on a frame, which then took the CPU "
                  "road (" +
                  causes.front() +
                  "); one job keeps to one road, so the segment was not kept. Run it again");
  }

  bool matches_plan(const Taken& taken) const {
    return taken.frames == span_.frames && taken.first_pts == span_.first_pts &&
           taken.last_pts == span_.last_pts && taken.digest == span_.pts_digest;
  }

  // The file renamed to its name, then the done record over any earlier one.
  void commit(SegmentWriter& writer, const Taken& taken) {
    writer.finish();
    SegmentDone done;
    done.plan_id = plan_id_;
    done.segment = k_;
    done.size = writer.size();
    done.sha256 = writer.sha256();
    done.file = folder_.segment_base(k_) + "." + done.sha256.substr(0, 16) + ".video";
    done.frames = taken.frames;
    done.first_pts = taken.first_pts;
    done.last_pts = taken.last_pts;
    done.pts_digest = taken.digest;
    done.reorder_depth = writer.reorder_depth();
    add_coded_video(coded_, done.video);
    done.damage = damage_;
    if (const int error = put_in_place(writer.path(), folder_.in_folder(done.file), true)) {
      throw Failure("cannot put " + segment_label(k_) + " in place in " + folder_.path() + ": " +
                    std::strerror(error));
    }
    sync_folder(folder_.path());
    folder_.write_done(done);
    // The files seen at the start: a lost race's file is removed by a later
    // command rather than by a second listing here.
    folder_.tidy(k_, done.file, listing_);
  }

  const FolderListing& listing_;
  const JobRequest& request_;
  const JobFolder& folder_;
  const JobPlan& plan_;
  const std::string& plan_id_;
  int64_t k_;
  const SegmentSpan& span_;
  LoadedModule loaded_;  // outlives its instances
  std::vector<std::unique_ptr<vdhost::FilterInstance>> instances_;
  CodedVideo coded_;
  std::vector<std::string> damage_;  // notes on damage in the segment's frames
};

}  // namespace

void run_segment(const JobRequest& request) {
  const OpenedJob job = open_job(request.dir);
  const JobPlan& plan = job.plan;
  const int64_t k = request.segment;
  const int64_t count = static_cast<int64_t>(plan.segments.size());
  if (k < 0 || k >= count) {
    throw Failure("the job has " + std::to_string(count) + " segment(s), numbered 0 to " +
                      std::to_string(count - 1) + "; there is no segment " + std::to_string(k),
                  kExitUsage);
  }
  const FolderListing listing = job.folder.list();
  const SegmentStatus status = job.folder.status(plan, job.plan_id, k, true, listing);
  if (status.state == SegmentState::done) {
    note(request.quiet, segment_label(k) + " is done already");
    return;
  }
  if (status.state == SegmentState::running) {
    // Two runs of one job share the work rather than doing it twice.
    note(request.quiet, segment_label(k) + " is being made " + status.detail + "; left to it");
    return;
  }
  if (!status.detail.empty() && status.state == SegmentState::missing) {
    note(request.quiet, segment_label(k) + " is made again: " + status.detail);
  }
  RoadChoice road = request.road;
  if (plan.cpu_only) road.cpu = true;
  apply_road_choice(road);
  SegmentRun(request, job, listing).run();
}

}  // namespace qnr
