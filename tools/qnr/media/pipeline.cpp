#include "media/pipeline.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/note.h"
#include "base/progress.h"
#include "media/damage.h"
#include "media/first_frame.h"
#include "media/frame_clock.h"
#include "media/input_timeline.h"

namespace qnr {

namespace {

// How far short of the end its header gives an input may stop without being
// called cut short: headers round, and the last frame's length varies.
constexpr double kEndTolerance = 0.5;

// One frame in flight: decoded, then filtered in a worker, then encoded.
// Its buffers are kept for the next frame that uses the slot.
struct Slot {
  int64_t index = 0;
  FrameTime time;  // in the input video's time base
  Orientation orientation = 1;
  FramePtr decoded;
  HostFrame src, dst;
  FramePtr encoded;
  bool done = false;
};

// What the writer takes next: a frame (in decoding order) or a packet of
// another stream.
struct WriterItem {
  Slot* slot = nullptr;
  PacketPtr packet;
  AVRational time_base{0, 1};
};

class Pipeline {
 public:
  explicit Pipeline(const PipelineRequest& request)
      : request_(request),
        clock_(request.input->video_stream()->time_base, request.input->video_rate(), request.rate,
               request.input->name),
        timeline_(*request.input->format, request.input->video, request.input->video_rate()),
        damage_(request.input->name, request.strict) {
    // Enough frames in flight to keep every instance busy while one frame is
    // decoded and one encoded; slots are made only as frames need them.
    capacity_ = request.filters.size() + 2;
  }

  PipelineResult run() {
    for (size_t j = 0; j < request_.filters.size(); ++j) {
      workers_.emplace_back([this, j] { guarded([&] { work(*request_.filters[j]); }); });
    }
    std::thread writer([this] { guarded([&] { write(); }); });
    guarded([&] { read(); });
    {
      std::lock_guard lock(mutex_);
      input_done_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    writer.join();
    if (failure_) std::rethrow_exception(failure_);
    throw_if_interrupted();
    PipelineResult result;
    result.frames = frames_written_;
    if (timeline_.jumps() > 0) result.notes.push_back(timeline_.note(request_.input->name));
    for (std::string& line : damage_.notes()) result.notes.push_back(std::move(line));
    return result;
  }

 private:
  template <class F> void guarded(F&& body) {
    try {
      body();
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
      stop_ = true;
      changed_.notify_all();
    }
  }

  bool stopping() {
    if (interrupted_signal() != 0) {
      std::lock_guard lock(mutex_);
      stop_ = true;
      changed_.notify_all();
    }
    std::lock_guard lock(mutex_);
    return stop_;
  }

  // --- the reader: demux and decode (this thread) ---
  void read() {
    MediaInput& input = *request_.input;
    PacketPtr packet = new_packet();
    FramePtr frame = new_frame();
    bool more = true;
    int stopped_by = 0;  // the error that ended reading early
    while (more && !stopping() && !enough_frames() && !selection_ended_) {
      const int code = av_read_frame(input.format, packet.get());
      // A sequence's picture reader fails at a missing picture: its end here.
      if (code == AVERROR_EOF || (code == AVERROR(EIO) && !input.sequence_gap.empty())) break;
      if (code < 0) {
        stopped_by = reading_failed(code);
        break;
      }
      timeline_.fix(*packet);
      if (packet->stream_index == input.video) {
        note_video_end(*packet);
        more = decode(packet.get(), frame.get());
      } else if (request_.output->output_stream_of(packet->stream_index) >= 0) {
        pass_on(packet.get());
      }
      av_packet_unref(packet.get());
    }
    if (stopping() || enough_frames() || selection_ended_) return;
    decode(nullptr, frame.get());
    if (stopped_by != 0) {
      damage_.reading_stopped(frames_read_, av_error_text(stopped_by));
    } else if (input.expected_end && video_end_ < *input.expected_end - kEndTolerance) {
      damage_.ended_early(frames_read_, video_end_, *input.expected_end);
    }
  }

  // Damaged data ends the input where it is, as a player stops there; any
  // other failure to read is the job's. Returns the code.
  int reading_failed(int code) {
    throw_if_interrupted();
    if (code != AVERROR_INVALIDDATA) {
      throw Failure("reading " + request_.input->name + " failed: " + av_error_text(code));
    }
    return code;
  }

  // Where the video read so far ends, to tell an input cut short.
  void note_video_end(const AVPacket& packet) {
    const int64_t start = packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts;
    if (start == AV_NOPTS_VALUE) return;
    const AVRational time_base = request_.input->video_stream()->time_base;
    video_end_ = std::max(video_end_, (start + packet.duration) * av_q2d(time_base));
  }

  // A packet of another kept stream: to the writer, or held until the
  // header is written.
  void pass_on(AVPacket* packet) {
    WriterItem item;
    item.packet = new_packet();
    av_packet_move_ref(item.packet.get(), packet);
    item.time_base = request_.input->format->streams[item.packet->stream_index]->time_base;
    if (request_.output->opened()) {
      to_writer(std::move(item));
    } else {
      waiting_packets_.push_back(std::move(item));
    }
  }

  bool enough_frames() const { return request_.max_frames && frames_read_ >= *request_.max_frames; }

  // A decoder's failure is damage in the input, counted or, with --strict,
  // the end of the job; only running out of memory is qnr's own.
  void decoding_failed(int code) {
    if (code == AVERROR(ENOMEM)) throw std::bad_alloc();
    if (in_preroll()) return;
    damage_.frame_damaged(frames_read_ + 1, av_error_text(code));
  }

  // False once enough frames are read.
  bool decode(const AVPacket* packet, AVFrame* frame) {
    AVCodecContext* decoder = request_.input->decoder.get();
    int code = avcodec_send_packet(decoder, packet);
    // A damaged packet is skipped, as players do; the frames around it go on.
    if (code < 0 && code != AVERROR_EOF) decoding_failed(code);
    for (;;) {
      code = avcodec_receive_frame(decoder, frame);
      if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
      if (code < 0) {
        decoding_failed(code);
        continue;
      }
      if (stopping()) return false;
      if (request_.select && !selected(*frame)) {
        av_frame_unref(frame);
        if (selection_ended_) return false;
        continue;
      }
      if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
        damage_.frame_damaged(frames_read_ + 1, "the decoder met damaged data");
      }
      take_frame(frame);
      if (enough_frames()) return false;
    }
  }

  // A run over part of the video decodes from a keyframe before its first
  // frame: what goes wrong before that frame is not its damage.
  bool in_preroll() const { return request_.select && frames_read_ == 0; }

  // Whether the selector takes the frame. The frames it passes over still
  // move the clock on, so that the first frame it takes is timed as in a
  // run from the start.
  bool selected(const AVFrame& frame) {
    const FrameChoice choice = request_.select(frame);
    if (choice == FrameChoice::stop) selection_ended_ = true;
    if (choice == FrameChoice::skip) clock_.next(frame);
    return choice == FrameChoice::take;
  }

  void note_size_change(int32_t width, int32_t height) {
    if (size_change_noted_ || (width == first_.width && height == first_.height)) return;
    size_change_noted_ = true;
    const std::string first_size =
        std::to_string(first_.width) + "x" + std::to_string(first_.height);
    note(request_.quiet,
         "frame " + std::to_string(frames_read_ + 1) + " is " + std::to_string(width) + "x" +
             std::to_string(height) + " where the video began at " + first_size +
             "; such frames are filtered at their own size and scaled to " + first_size);
  }

  void take_frame(AVFrame* frame) {
    const AVStream& stream = *request_.input->video_stream();
    const Orientation orientation = frame_orientation(*frame, stream_orientation(stream));
    if (frames_read_ == 0) {
      first_ = request_.first ? *request_.first : describe_first_frame(*frame, stream, orientation);
      picture_ = request_.output->open(first_);
      for (WriterItem& item : waiting_packets_) to_writer(std::move(item));
      waiting_packets_.clear();
    } else {
      const bool turned = swaps_sides(orientation);
      note_size_change(turned ? frame->height : frame->width,
                       turned ? frame->width : frame->height);
    }

    const FrameTime time = clock_.next(*frame);
    Slot* slot = take_free_slot();
    if (slot == nullptr) return;
    slot->index = frames_read_++;
    slot->time = time;
    slot->orientation = orientation;
    slot->decoded = new_frame();
    av_frame_move_ref(slot->decoded.get(), frame);
    slot->done = false;
    {
      std::lock_guard lock(mutex_);
      work_.push_back(slot);
      WriterItem item;
      item.slot = slot;
      writer_queue_.push_back(std::move(item));
    }
    changed_.notify_all();
  }

  Slot* take_free_slot() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || !free_.empty() || slots_.size() < capacity_; });
    if (stop_) return nullptr;
    if (!free_.empty()) {
      Slot* slot = free_.front();
      free_.pop_front();
      return slot;
    }
    slots_.push_back(std::make_unique<Slot>());
    return slots_.back().get();
  }

  void to_writer(WriterItem item) {
    {
      std::lock_guard lock(mutex_);
      writer_queue_.push_back(std::move(item));
    }
    changed_.notify_all();
  }

  // --- a worker: convert, filter, convert back ---
  void work(vdhost::FrameFilter& instance) {
    FrameConverter converter;
    int32_t started_width = -1, started_height = -1;
    struct EndAtExit {
      vdhost::FrameFilter& instance;
      ~EndAtExit() {
        if (instance.started()) instance.end();
      }
    } end_at_exit{instance};
    for (;;) {
      Slot* slot = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || !work_.empty() || input_done_; });
        if (stop_ || work_.empty()) return;
        slot = work_.front();
        work_.pop_front();
      }
      const AVFrame& decoded = *slot->decoded;
      converter.to_host(decoded, slot->orientation, slot->src);
      slot->dst.resize(slot->src.width, slot->src.height);
      slot->dst.alpha = slot->src.alpha;
      // A host starts a filter on one frame size; a new size means a new start.
      if (slot->src.width != started_width || slot->src.height != started_height) {
        if (instance.started()) instance.end();
        if (instance.start(slot->src.view, slot->dst.view) != 0) {
          throw Failure("the filter could not start on " + std::to_string(slot->src.width) + "x" +
                        std::to_string(slot->src.height) + " frames (out of memory?)");
        }
        started_width = slot->src.width;
        started_height = slot->src.height;
      }
      // A non-zero result means the frame went out unfiltered: in a batch
      // that is a wrong output, so the job stops rather than carry it.
      if (instance.run(slot->src.view, slot->dst.view) != 0) {
        throw Failure("the filter could not process frame " + std::to_string(slot->index + 1) +
                      " (out of memory?)");
      }
      if (slot->src.alpha) restore_alpha(slot->src, slot->dst);
      slot->encoded = converter.from_host(slot->dst, picture_);
      AVFrame& out = *slot->encoded;
      out.pts = slot->time.pts;
      set_frame_duration(out, slot->time.duration);
      out.sample_aspect_ratio = first_.sample_aspect;
      out.interlaced_frame = (decoded.interlaced_frame || request_.output->interlaced()) ? 1 : 0;
      out.top_field_first =
          decoded.interlaced_frame ? decoded.top_field_first : (first_.top_field_first ? 1 : 0);
      out.color_range = picture_.range;
      out.colorspace = picture_.colorspace;
      out.color_primaries = first_.primaries;
      out.color_trc = first_.transfer;
      slot->decoded.reset();
      {
        std::lock_guard lock(mutex_);
        slot->done = true;
      }
      changed_.notify_all();
    }
  }

  // --- the writer: frames in order into the encoder, packets into the muxer ---
  void write() {
    for (;;) {
      WriterItem item;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          return stop_ || !writer_queue_.empty() || (input_done_ && writer_queue_.empty());
        });
        if (stop_) return;
        if (writer_queue_.empty()) break;
        item = std::move(writer_queue_.front());
        writer_queue_.pop_front();
        if (item.slot != nullptr) {
          changed_.wait(lock, [&] { return stop_ || item.slot->done; });
          if (stop_) return;
        }
      }
      if (item.packet) {
        request_.output->write_copied(item.packet.get(), item.time_base);
        continue;
      }
      Slot* slot = item.slot;
      if (request_.observe) request_.observe(slot->index, slot->src, slot->dst);
      request_.output->encode(slot->encoded.get());
      slot->encoded.reset();
      ++frames_written_;
      if (request_.progress != nullptr) request_.progress->frame_done();
      {
        std::lock_guard lock(mutex_);
        free_.push_back(slot);
      }
      changed_.notify_all();
    }
    if (request_.output->opened()) request_.output->encode(nullptr);
  }

  const PipelineRequest& request_;
  size_t capacity_ = 0;
  std::vector<std::thread> workers_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  bool input_done_ = false;
  std::exception_ptr failure_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::deque<Slot*> free_;
  std::deque<Slot*> work_;
  std::deque<WriterItem> writer_queue_;

  // The reader's own.
  FrameClock clock_;
  InputTimeline timeline_;
  DamageLog damage_;
  double video_end_ = 0;                     // seconds, of the video read so far
  std::vector<WriterItem> waiting_packets_;  // before the header is written
  int64_t frames_read_ = 0;
  FirstFrame first_;
  PictureFormat picture_;
  bool size_change_noted_ = false;
  bool selection_ended_ = false;  // the selector has seen the run's last frame

  int64_t frames_written_ = 0;  // the writer's
};

}  // namespace

PipelineResult run_pipeline(const PipelineRequest& request) {
  Pipeline pipeline(request);
  return pipeline.run();
}

}  // namespace qnr
