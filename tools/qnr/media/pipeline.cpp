#include "media/pipeline.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/note.h"
#include "base/progress.h"
#include "media/damage.h"
#include "media/decode_loop.h"
#include "media/first_frame.h"
#include "media/frame_changes.h"
#include "media/frame_clock.h"
#include "media/input_timeline.h"

namespace qnr {

namespace {

// One frame in flight: decoded, then filtered in a worker, then encoded.
// Its buffers are kept for the next frame it carries.
struct FrameInFlight {
  int64_t index = 0;
  FrameTime time;  // in the input video's time base
  Orientation orientation = 1;
  FramePtr decoded;
  HostFrame src, dst;
  Corrections corrections;
  FramePtr encoded;
  bool done = false;
};

// What the writer takes next: a frame (in decoding order) or a packet of
// another stream.
struct WriterItem {
  FrameInFlight* in_flight = nullptr;
  PacketPtr packet;
  AVRational time_base{0, 1};
};

class Pipeline {
 public:
  explicit Pipeline(const PipelineRequest& request)
      : request_(request),
        clock_(request.input->video_stream()->time_base, request.rate, request.input->name),
        timeline_(*request.input->format, request.input->video, request.input->video_rate()),
        damage_(request.input->name, request.strict) {
    // Enough frames in flight to keep every instance busy while one frame is
    // decoded and one encoded; each is made only when a frame needs it.
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
    result.damage = damage_.notes();
    for (const std::string& line : result.damage) result.notes.push_back(line);
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
    DecodeLoop loop(*request_.input, damage_);
    loop.on_packet([this](AVPacket& packet) { route(packet); });
    if (request_.frames_before) loop.start_later(*request_.frames_before);
    if (request_.seek_to) loop.seek(*request_.seek_to);
    FramePtr frame = new_frame();
    while (!stopping() && !enough_frames() && loop.next(frame.get())) {
      if (stopping()) return;
      if (request_.select && !selected(*frame)) {
        av_frame_unref(frame.get());
        if (selection_ended_) return;
        continue;
      }
      loop.keep(*frame);
      take_frame(frame.get());
    }
  }

  // Every packet read: onto the input's continuous clock; another kept
  // stream's to the writer, or held until the header is written.
  void route(AVPacket& packet) {
    timeline_.fix(packet);
    if (packet.stream_index == request_.input->video ||
        request_.output->output_stream_of(packet.stream_index) < 0) {
      return;
    }
    WriterItem item;
    item.packet = new_packet();
    av_packet_move_ref(item.packet.get(), &packet);
    item.time_base = request_.input->format->streams[item.packet->stream_index]->time_base;
    if (request_.output->opened()) {
      to_writer(std::move(item));
    } else {
      waiting_packets_.push_back(std::move(item));
    }
  }

  // The number messages give the run's frame `index`, counted from 1 at the
  // video's first frame.
  int64_t number_of(int64_t index) const { return request_.frames_before.value_or(0) + index + 1; }

  bool enough_frames() const { return request_.max_frames && frames_read_ >= *request_.max_frames; }

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
    note(request_.quiet, size_change_text(number_of(frames_read_), width, height, first_));
  }

  void note_aspect_change(const AVFrame& frame, bool turned) {
    AVRational sar = frame.sample_aspect_ratio;
    if (turned) std::swap(sar.num, sar.den);
    if (aspect_change_noted_ || !aspect_changed(sar, first_)) return;
    aspect_change_noted_ = true;
    note(request_.quiet, aspect_change_text(number_of(frames_read_), sar, first_));
  }

  void take_frame(AVFrame* frame) {
    const AVStream& stream = *request_.input->video_stream();
    const Orientation orientation = frame_orientation(*frame, stream_orientation(stream));
    if (frames_read_ == 0) {
      first_ = request_.first ? *request_.first : describe_first_frame(*frame, stream, orientation);
      // Deep inputs lose their depth only where the filter's own output is
      // written.
      const bool module_rgb =
          request_.road == OutputRoad::module_rgb || takes_module_rgb(first_.source_format);
      picture_ = request_.output->open(first_, module_rgb);
      for (WriterItem& item : waiting_packets_) to_writer(std::move(item));
      waiting_packets_.clear();
    } else {
      const bool turned = swaps_sides(orientation);
      note_size_change(turned ? frame->height : frame->width,
                       turned ? frame->width : frame->height);
      note_aspect_change(*frame, turned);
    }

    const FrameTime time = clock_.next(*frame);
    FrameInFlight* in_flight = next_free_in_flight();
    if (in_flight == nullptr) return;
    in_flight->index = frames_read_++;
    in_flight->time = time;
    in_flight->orientation = orientation;
    in_flight->decoded = new_frame();
    av_frame_move_ref(in_flight->decoded.get(), frame);
    in_flight->done = false;
    {
      std::lock_guard lock(mutex_);
      work_.push_back(in_flight);
      WriterItem item;
      item.in_flight = in_flight;
      writer_queue_.push_back(std::move(item));
    }
    changed_.notify_all();
  }

  FrameInFlight* next_free_in_flight() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || !free_.empty() || in_flight_.size() < capacity_; });
    if (stop_) return nullptr;
    if (!free_.empty()) {
      FrameInFlight* in_flight = free_.front();
      free_.pop_front();
      return in_flight;
    }
    in_flight_.push_back(std::make_unique<FrameInFlight>());
    return in_flight_.back().get();
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
      FrameInFlight* in_flight = nullptr;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || !work_.empty() || input_done_; });
        if (stop_ || work_.empty()) return;
        in_flight = work_.front();
        work_.pop_front();
      }
      AVFrame& decoded = *in_flight->decoded;
      const bool fields = decoded.interlaced_frame || request_.output->interlaced();
      converter.to_host(decoded, in_flight->orientation, in_flight->src, fields);
      in_flight->dst.resize(in_flight->src.width, in_flight->src.height);
      in_flight->dst.alpha = in_flight->src.alpha;
      // A host starts a filter on one frame size; a new size means a new start.
      if (in_flight->src.width != started_width || in_flight->src.height != started_height) {
        if (instance.started()) instance.end();
        if (instance.start(in_flight->src.view, in_flight->dst.view) != 0) {
          throw Failure("the filter could not start on " + std::to_string(in_flight->src.width) +
                        "x" + std::to_string(in_flight->src.height) + " frames (out of memory?)");
        }
        started_width = in_flight->src.width;
        started_height = in_flight->src.height;
      }
      // A non-zero result means the frame went out unfiltered: in a batch
      // that is a wrong output, so the job stops rather than carry it.
      if (instance.run(in_flight->src.view, in_flight->dst.view) != 0) {
        throw Failure("the filter could not process frame " +
                      std::to_string(number_of(in_flight->index)) + " (out of memory?)");
      }
      if (in_flight->src.alpha) restore_alpha(in_flight->src, in_flight->dst);
      in_flight->encoded = output_of(converter, *in_flight, fields);
      AVFrame& out = *in_flight->encoded;
      out.pts = in_flight->time.pts;
      set_frame_duration(out, in_flight->time.duration);
      out.sample_aspect_ratio = first_.sample_aspect;
      out.interlaced_frame = (decoded.interlaced_frame || request_.output->interlaced()) ? 1 : 0;
      out.top_field_first =
          decoded.interlaced_frame ? decoded.top_field_first : (first_.top_field_first ? 1 : 0);
      out.color_range = picture_.range;
      out.colorspace = picture_.colorspace;
      out.color_primaries = first_.primaries;
      out.color_trc = first_.transfer;
      carry_captions(decoded, out);
      in_flight->decoded.reset();
      {
        std::lock_guard lock(mutex_);
        in_flight->done = true;
      }
      changed_.notify_all();
    }
  }

  // The frame to encode: on the correction road the decoded frame itself
  // with the filter's correction added, else the filter's own output.
  FramePtr output_of(FrameConverter& converter, FrameInFlight& in_flight, bool fields) {
    AVFrame& decoded = *in_flight.decoded;
    if (!writes_correction(request_.road, decoded, in_flight.orientation)) {
      return converter.from_host(in_flight.dst, picture_, fields);
    }
    const FramePtr upright = add_correction(in_flight.src, in_flight.dst, in_flight.orientation,
                                            decoded, in_flight.corrections);
    return converter.to_picture(upright ? *upright : decoded, picture_, fields);
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
        if (item.in_flight != nullptr) {
          changed_.wait(lock, [&] { return stop_ || item.in_flight->done; });
          if (stop_) return;
        }
      }
      if (item.packet) {
        request_.output->write_copied(item.packet.get(), item.time_base);
        continue;
      }
      FrameInFlight* in_flight = item.in_flight;
      if (request_.observe) request_.observe(in_flight->index, in_flight->src, in_flight->dst);
      request_.output->encode(in_flight->encoded.get());
      in_flight->encoded.reset();
      ++frames_written_;
      if (request_.progress != nullptr) request_.progress->frame_done();
      {
        std::lock_guard lock(mutex_);
        free_.push_back(in_flight);
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
  std::vector<std::unique_ptr<FrameInFlight>> in_flight_;
  std::deque<FrameInFlight*> free_;
  std::deque<FrameInFlight*> work_;
  std::deque<WriterItem> writer_queue_;

  // The reader's own.
  FrameClock clock_;
  InputTimeline timeline_;
  DamageLog damage_;
  std::vector<WriterItem> waiting_packets_;  // before the header is written
  int64_t frames_read_ = 0;
  FirstFrame first_;
  PictureFormat picture_;
  bool size_change_noted_ = false;
  bool aspect_change_noted_ = false;
  bool selection_ended_ = false;  // the selector has seen the run's last frame

  int64_t frames_written_ = 0;  // the writer's
};

}  // namespace

PipelineResult run_pipeline(const PipelineRequest& request) {
  Pipeline pipeline(request);
  return pipeline.run();
}

}  // namespace qnr
