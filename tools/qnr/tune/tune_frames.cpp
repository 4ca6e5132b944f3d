#include "tune/tune_frames.h"

#include <cmath>
#include <limits>

#include <sys/stat.h>

#include "base/failure.h"
#include "base/json.h"

namespace qnr {

namespace {

// Decoded pictures kept for stepping and revisiting; the farthest from the
// latest request go first.
constexpr size_t kDecodedBudget = size_t{256} << 20;
// Converted bitmaps kept for settings changes on the frames just shown.
constexpr size_t kConvertedKept = 4;
// Without a keyframe index, a target at most this far ahead is reached by
// decoding on rather than by seeking.
constexpr double kDecodeOnSeconds = 1.0;

size_t bytes_of(const AVFrame& frame) {
  size_t bytes = 0;
  for (const AVBufferRef* buffer : frame.buf) {
    if (buffer != nullptr) bytes += buffer->size;
  }
  return bytes;
}

int64_t timestamp_of(const AVFrame& frame) { return frame.best_effort_timestamp; }

bool is_keyframe(const AVFrame& frame) {
#ifdef AV_FRAME_FLAG_KEY
  return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
  return frame.key_frame != 0;
#endif
}

template <class Identity> std::optional<Identity> identity_of(const std::string& name) {
  struct stat file {};
  if (::stat(name.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return std::nullopt;
  return Identity{file.st_dev, file.st_ino, file.st_size,
                  int64_t(file.st_mtim.tv_sec) * 1000000000 + file.st_mtim.tv_nsec};
}

}  // namespace

// Damage notes reach the page, which reads UTF-8.
FrameSource::FrameSource(const std::string& name) : name_(name), damage_(as_utf8(name), false) {
  if (name == "-") {
    throw Failure("qnr tune needs a file it can seek in, not standard input", kExitUsage);
  }
  open();
  const AVStream* stream = input_->video_stream();
  facts_.frame_count = input_->frame_count;
  if (stream->duration > 0) {
    facts_.duration = stream->duration * av_q2d(stream->time_base);
  } else if (input_->format->duration > 0) {
    facts_.duration = input_->format->duration / double(AV_TIME_BASE);
  }
  const AVRational rate = av_guess_frame_rate(input_->format, input_->video_stream(), nullptr);
  if (rate.num > 0 && rate.den > 0) facts_.frame_rate = av_q2d(rate);
  const std::string format = input_->format->iformat->name;
  facts_.still =
      facts_.frame_count == 1 || format.starts_with("image2") || format.ends_with("_pipe");
  const std::shared_ptr<const SourceFrame> first = at(0);
  facts_.width = first->bitmap.width;
  facts_.height = first->bitmap.height;
  if (const Decoded* decoded = cached(target_of(0))) {
    facts_.format = describe_source(*decoded->frame, *input_->format, *input_->video_stream(),
                                    facts_.frame_count.value_or(0));
  }
}

FrameSource::~FrameSource() = default;

void FrameSource::open() {
  loop_.reset();
  opened_ = identity_of<FileIdentity>(name_);
  input_ = open_media_input(name_);
  loop_ = std::make_unique<DecodeLoop>(*input_, damage_);
  // Pictures before the target that no other picture refers to are skipped.
  loop_->on_packet([this](const AVPacket& packet) {
    if (packet.stream_index != input_->video) return;
    const bool before_target = packet.pts != AV_NOPTS_VALUE && packet.pts < skip_below_;
    input_->decoder->skip_frame = before_target ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
  });
  const AVStream* stream = input_->video_stream();
  time_base_ = stream->time_base;
  start_ = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  stream_orientation_ = stream_orientation(*stream);
  last_pts_.reset();
  run_from_start_ = true;
  input_ended_ = false;
}

void FrameSource::check_unchanged() const {
  // Written over in place, the file decodes as garbage or as nothing at all.
  if (opened_ && identity_of<FileIdentity>(name_) != opened_) {
    throw Failure(name_ + " changed while qnr tune had it open; start qnr tune again");
  }
}

std::optional<double> FrameSource::end_seconds() {
  std::lock_guard lock(mutex_);
  return end_seconds_;
}

std::vector<std::string> FrameSource::damage_notes() {
  std::lock_guard lock(mutex_);
  return damage_.notes();
}

int64_t FrameSource::target_of(double seconds) const {
  // A time written from a frame's own timestamp (0.04 for tick 3600 of 90 kHz)
  // may come back a hair below it: a thousandth of a tick is forgiven.
  const double ticks = std::min(std::max(seconds, 0.0), 1e9) / av_q2d(time_base_);
  return start_ + static_cast<int64_t>(std::ceil(ticks - 1e-3));
}

const FrameSource::Decoded* FrameSource::cached(int64_t target) const {
  const auto it = decoded_.lower_bound(target);
  if (it != decoded_.end()) return it->second.answers_from <= target ? &it->second : nullptr;
  if (!decoded_.empty() && decoded_.rbegin()->second.last) return &decoded_.rbegin()->second;
  return nullptr;
}

std::shared_ptr<const SourceFrame> FrameSource::at(double seconds,
                                                   const std::function<bool()>& give_up) {
  std::lock_guard lock(mutex_);
  const int64_t target = target_of(seconds);
  const Decoded* decoded = cached(target);
  if (decoded == nullptr) {
    check_unchanged();
    decoded = &decode_to(target, give_up);
  }
  std::shared_ptr<const SourceFrame> frame = convert(*decoded);
  evict(target);
  return frame;
}

double FrameSource::seconds_of(int64_t pts) const {
  return std::max(0.0, double(pts - start_) * av_q2d(time_base_));
}

std::pair<int64_t, bool> FrameSource::frame_at(int64_t target,
                                               const std::function<bool()>& give_up) {
  const Decoded* decoded = cached(target);
  if (decoded == nullptr) decoded = &decode_to(target, give_up);
  const std::pair<int64_t, bool> found{timestamp_of(*decoded->frame), is_keyframe(*decoded->frame)};
  evict(found.first);
  return found;
}

std::optional<double> FrameSource::keyframe_after(double seconds,
                                                  const std::function<bool()>& give_up) {
  std::lock_guard lock(mutex_);
  check_unchanged();
  int64_t at = frame_at(target_of(seconds), give_up).first;
  for (;;) {
    const auto [next, key] = frame_at(at + 1, give_up);
    if (next <= at) return std::nullopt;  // the last frame answered: the end
    if (key) return seconds_of(next);
    at = next;
  }
}

std::optional<double> FrameSource::keyframe_before(double seconds,
                                                   const std::function<bool()>& give_up) {
  std::lock_guard lock(mutex_);
  check_unchanged();
  const int64_t frame = frame_at(target_of(seconds), give_up).first;
  AVStream* stream = input_->video_stream();
  // The index holds keyframes by decoding time, which is at most their
  // presentation time: the keyframe sought starts at or after the entry found
  // below the frame, or, when that entry was the frame's own keyframe, at or
  // after an earlier one.
  int64_t below = frame - 1;
  for (;;) {
    const int index = av_index_search_timestamp(stream, below, AVSEEK_FLAG_BACKWARD);
    if (index < 0) return std::nullopt;
    const int64_t entry = avformat_index_get_entry(stream, index)->timestamp;
    std::optional<int64_t> last_key;
    for (int64_t at = entry;;) {
      const auto [pts, key] = frame_at(at, give_up);
      if (pts >= frame || (at > entry && pts < at)) break;
      if (key) last_key = pts;
      at = pts + 1;
    }
    if (last_key) return seconds_of(*last_key);
    if (entry <= start_) return std::nullopt;
    below = entry - 1;
  }
}

SeekProgress FrameSource::progress() const {
  std::lock_guard lock(progress_mutex_);
  return progress_;
}

const FrameSource::Decoded& FrameSource::decode_to(int64_t target,
                                                   const std::function<bool()>& give_up) {
  const auto abandon_if_asked = [&] {
    if (give_up && give_up()) throw SeekAbandoned();
  };
  abandon_if_asked();
  {
    std::lock_guard lock(progress_mutex_);
    progress_ = SeekProgress{true, seconds_of(target), 0, 0};
  }
  struct ProgressEnds {
    FrameSource& source;
    ~ProgressEnds() {
      std::lock_guard lock(source.progress_mutex_);
      source.progress_.decoding = false;
    }
  } progress_ends{*this};
  bool first_of_decode = true;
  // Decoding on is cheaper than a seek whenever no keyframe lies between the
  // decoder's position and the target.
  bool go_on = !input_ended_ && (!last_pts_ || *last_pts_ < target);
  if (go_on && last_pts_) {
    AVStream* stream = input_->video_stream();
    const int index = av_index_search_timestamp(stream, target, AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* keyframe = index >= 0 ? avformat_index_get_entry(stream, index) : nullptr;
    // An index is trusted where it goes on past the keyframe found, or once a
    // seek has run: some demuxers (Matroska) index only the keyframes read so
    // far until their first seek reads the whole index.
    const bool covered = keyframe != nullptr &&
                         (index_complete_ || index + 1 < avformat_index_get_entries_count(stream));
    go_on = covered ? keyframe->timestamp <= *last_pts_
                    : (target - *last_pts_) * av_q2d(time_base_) <= kDecodeOnSeconds;
  }
  if (!go_on) seek(target);
  // Pictures before the target that no other picture refers to are never
  // shown nor needed: the decoder skips them (about half the work of a seek
  // into typical H.264).
  skip_below_ = target;
  struct SkipNoMore {
    int64_t& below;
    ~SkipNoMore() { below = std::numeric_limits<int64_t>::min(); }
  } skip_no_more{skip_below_};

  // A seek that lands after the target (a sparse or missing index) starts
  // again further back, at worst from the beginning.
  int64_t back_off = std::max<int64_t>(1, std::llround(1.0 / av_q2d(time_base_)));
  auto seek_further_back = [&] {
    seek(target - back_off);
    back_off = back_off > std::numeric_limits<int64_t>::max() / 4 ? back_off : back_off * 2;
  };
  for (;;) {
    FramePtr frame = next_frame();
    if (!frame) {
      input_ended_ = true;
      if (last_pts_) {
        Decoded& final_frame = decoded_.at(*last_pts_);
        final_frame.last = true;
        end_seconds_ = std::max(0.0, double(*last_pts_ - start_) * av_q2d(time_base_));
        return final_frame;
      }
      if (run_from_start_) throw Failure("the video stream of " + name_ + " has no frames");
      seek_further_back();
      continue;
    }
    const int64_t pts = timestamp_of(*frame);
    if (!last_pts_ && pts > target && !run_from_start_) {
      seek_further_back();
      continue;
    }
    const Decoded& kept = keep(std::move(frame));
    {
      std::lock_guard lock(progress_mutex_);
      if (first_of_decode) progress_.from = seconds_of(pts);
      progress_.reached = std::max(progress_.reached, seconds_of(pts));
      first_of_decode = false;
    }
    if (pts >= target) return kept;
    // Pictures on the way to the target are kept only within the budget, so
    // a long way (a drag, a late time in a long keyframe interval) holds no
    // more than a short one.
    evict(target);
    // Between frames the run is whole: the next request decodes on from here
    // or seeks, as for any other position.
    abandon_if_asked();
  }
}

void FrameSource::seek(int64_t position) {
  const bool from_start = position <= start_;
  if (from_start) position = start_;
  if (!loop_->seek(position)) {
    // Inputs that cannot seek (a single picture, some raw streams) are read
    // again from the beginning.
    open();
    return;
  }
  index_complete_ = true;
  last_pts_.reset();
  run_from_start_ = from_start;
  input_ended_ = false;
}

FramePtr FrameSource::next_frame() {
  FramePtr frame = new_frame();
  if (!loop_->next(frame.get())) return nullptr;
  // A frame that nothing dates (no timestamps, no frame rate) still gets a
  // place of its own, a tick after the one before.
  if (frame->best_effort_timestamp == AV_NOPTS_VALUE) {
    frame->best_effort_timestamp = last_pts_ ? *last_pts_ + 1 : start_;
  }
  return frame;
}

const FrameSource::Decoded& FrameSource::keep(FramePtr frame) {
  const int64_t pts = timestamp_of(*frame);
  int64_t answers_from = pts;
  if (!last_pts_) {
    if (run_from_start_) answers_from = std::numeric_limits<int64_t>::min();
  } else if (pts > *last_pts_) {
    answers_from = *last_pts_ + 1;
  }
  // Skipped pictures all lie before the target, so below it a frame answers
  // for itself only.
  if (skip_below_ != std::numeric_limits<int64_t>::min()) {
    answers_from = std::min(pts, std::max(answers_from, skip_below_));
  }
  last_pts_ = last_pts_ ? std::max(*last_pts_, pts) : pts;
  auto [it, added] = decoded_.try_emplace(pts);
  Decoded& entry = it->second;
  if (added) {
    decoded_bytes_ += bytes_of(*frame);
    entry.frame = std::move(frame);
    entry.answers_from = answers_from;
  } else {
    entry.answers_from = std::min(entry.answers_from, answers_from);
  }
  return entry;
}

void FrameSource::evict(int64_t around) {
  while (decoded_bytes_ > kDecodedBudget && decoded_.size() > 1) {
    const auto first = decoded_.begin();
    const auto last = std::prev(decoded_.end());
    // Overflow-free distances: both sides are compared as unsigned gaps.
    const uint64_t below = first->first < around ? uint64_t(around) - uint64_t(first->first) : 0;
    const uint64_t above = last->first > around ? uint64_t(last->first) - uint64_t(around) : 0;
    auto victim = below >= above ? first : last;
    // The run's latest frame stays: the end of the stream answers with it.
    if (last_pts_ && victim->first == *last_pts_) victim = victim == first ? last : first;
    // The frame after a removed one keeps what it answers: no frame lies
    // between the two, so the targets up to the removed one simply miss.
    decoded_bytes_ -= bytes_of(*victim->second.frame);
    decoded_.erase(victim);
  }
}

std::shared_ptr<const SourceFrame> FrameSource::convert(const Decoded& decoded) {
  const AVFrame& frame = *decoded.frame;
  const int64_t pts = timestamp_of(frame);
  for (const auto& kept : converted_) {
    if (kept->timestamp == pts) return kept;
  }
  auto converted = std::make_shared<SourceFrame>();
  converted->orientation = frame_orientation(frame, stream_orientation_);
  converter_.to_host(frame, converted->orientation, converted->bitmap);
  converted->decoded.reset(av_frame_clone(&frame));
  if (!converted->decoded) throw std::bad_alloc();
  converted->timestamp = pts;
  converted->seconds = std::max(0.0, double(pts - start_) * av_q2d(time_base_));
  converted->number =
      facts_.frame_rate > 0 ? std::llround(converted->seconds * facts_.frame_rate) : 0;
  if (converted_.size() >= kConvertedKept) converted_.erase(converted_.begin());
  converted_.push_back(converted);
  return converted;
}

}  // namespace qnr
