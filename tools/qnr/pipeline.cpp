#include "pipeline.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "failure.h"
#include "interrupt.h"
#include "note.h"
#include "progress.h"

namespace qnr {

namespace {

// One frame in flight: decoded, then filtered in a worker, then encoded.
// Its buffers are kept for the next frame that uses the slot.
struct Slot {
  int64_t index = 0;
  int64_t pts = AV_NOPTS_VALUE;
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
  explicit Pipeline(const PipelineRequest& request) : request_(request) {
    // Enough frames in flight to keep every instance busy while one frame is
    // decoded and one encoded; slots are made only as frames need them.
    capacity_ = request.instances.size() + 2;
  }

  int64_t run() {
    for (size_t j = 0; j < request_.instances.size(); ++j) {
      workers_.emplace_back([this, j] { guarded([&] { work(*request_.instances[j]); }); });
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
    return frames_written_;
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
    AVFormatContext* format = input.format;
    PacketPtr packet = new_packet();
    FramePtr frame = new_frame();
    bool more = true;
    while (more && !stopping() && !enough_frames()) {
      const int code = av_read_frame(format, packet.get());
      // A sequence's picture reader fails at a missing picture: its end here.
      if (code == AVERROR_EOF || (code == AVERROR(EIO) && !input.sequence_gap.empty())) break;
      if (code < 0) {
        throw_if_interrupted();
        throw Failure("reading " + input.name + " failed: " + av_error_text(code));
      }
      if (packet->stream_index == input.video) {
        more = decode(packet.get(), frame.get());
      } else if (request_.output->output_stream_of(packet->stream_index) >= 0) {
        WriterItem item;
        item.packet = new_packet();
        av_packet_move_ref(item.packet.get(), packet.get());
        item.time_base = format->streams[item.packet->stream_index]->time_base;
        if (request_.output->opened()) {
          to_writer(std::move(item));
        } else {
          waiting_packets_.push_back(std::move(item));
        }
      }
      av_packet_unref(packet.get());
    }
    if (!stopping() && !enough_frames()) decode(nullptr, frame.get());
  }

  bool enough_frames() const { return request_.max_frames && frames_read_ >= *request_.max_frames; }

  // False once enough frames are read.
  bool decode(const AVPacket* packet, AVFrame* frame) {
    AVCodecContext* decoder = request_.input->decoder.get();
    int code = avcodec_send_packet(decoder, packet);
    // A damaged packet is skipped, as players do; the frames around it go on.
    if (code < 0 && code != AVERROR_INVALIDDATA && code != AVERROR_EOF) {
      throw Failure("decoding " + request_.input->name + " failed: " + av_error_text(code));
    }
    for (;;) {
      code = avcodec_receive_frame(decoder, frame);
      if (code == AVERROR(EAGAIN) || code == AVERROR_EOF) return true;
      if (code == AVERROR_INVALIDDATA) continue;
      if (code < 0) {
        throw Failure("decoding " + request_.input->name + " failed: " + av_error_text(code));
      }
      if (stopping()) return false;
      take_frame(frame);
      if (enough_frames()) return false;
    }
  }

  void take_frame(AVFrame* frame) {
    const AVStream* stream = request_.input->video_stream();
    const Orientation orientation = frame_orientation(*frame, stream_orientation(*stream));
    const int32_t width = swaps_sides(orientation) ? frame->height : frame->width;
    const int32_t height = swaps_sides(orientation) ? frame->width : frame->height;
    if (frames_read_ == 0) {
      first_ = describe_first(*frame, width, height, orientation);
      picture_ = request_.output->open(first_);
      for (WriterItem& item : waiting_packets_) to_writer(std::move(item));
      waiting_packets_.clear();
    } else if ((width != first_.width || height != first_.height) && !size_change_noted_) {
      size_change_noted_ = true;
      note(request_.quiet, "frame " + std::to_string(frames_read_ + 1) + " is " +
                               std::to_string(width) + "x" + std::to_string(height) +
                               " where the video began at " + std::to_string(first_.width) + "x" +
                               std::to_string(first_.height) +
                               "; such frames are filtered at their own size and scaled to " +
                               std::to_string(first_.width) + "x" + std::to_string(first_.height));
    }

    Slot* slot = take_free_slot();
    if (slot == nullptr) return;
    slot->index = frames_read_++;
    slot->pts = frame->best_effort_timestamp;
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

  FirstFrame describe_first(const AVFrame& frame, int32_t width, int32_t height,
                            Orientation orientation) const {
    const AVStream* stream = request_.input->video_stream();
    FirstFrame first;
    first.width = width;
    first.height = height;
    first.alpha = has_alpha(static_cast<AVPixelFormat>(frame.format));
    first.interlaced = frame.interlaced_frame != 0;
    first.top_field_first = !frame.interlaced_frame || frame.top_field_first != 0;
    AVRational sar = frame.sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = stream->sample_aspect_ratio;
    if (sar.num <= 0 || sar.den <= 0) sar = {0, 1};
    if (swaps_sides(orientation) && sar.num > 0) std::swap(sar.num, sar.den);
    first.sample_aspect = sar;
    first.colorspace = frame.colorspace;
    first.primaries = frame.color_primaries;
    first.transfer = frame.color_trc;
    first.range = frame.color_range;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
    first.yuv = desc != nullptr && !(desc->flags & AV_PIX_FMT_FLAG_RGB) && desc->nb_components >= 3;
    return first;
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
  void work(vdhost::FilterInstance& instance) {
    FrameConverter converter;
    int32_t started_width = -1, started_height = -1;
    struct EndAtExit {
      vdhost::FilterInstance& instance;
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
      out.pts = slot->pts;
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
  std::vector<WriterItem> waiting_packets_;  // before the header is written
  int64_t frames_read_ = 0;
  FirstFrame first_;
  PictureFormat picture_;
  bool size_change_noted_ = false;

  int64_t frames_written_ = 0;  // the writer's
};

}  // namespace

int64_t run_pipeline(const PipelineRequest& request) {
  Pipeline pipeline(request);
  return pipeline.run();
}

}  // namespace qnr
