#include "pipeline.h"

#include <sys/uio.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "process.h"
#include "progress.h"

namespace qnr {

namespace {

struct Slot {
  int64_t index = -1;
  std::unique_ptr<uint8_t[]> src;
  std::unique_ptr<uint8_t[]> dst;
  HostBitmap src_view{};
  HostBitmap dst_view{};
  bool filtered = false;
};

// A blocking queue; close() wakes every waiter and makes pop return null
// once the queue is empty.
class SlotQueue {
 public:
  void push(Slot* slot) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(slot);
    }
    ready_.notify_one();
  }
  Slot* pop() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !items_.empty() || closed_; });
    if (items_.empty()) return nullptr;
    Slot* slot = items_.front();
    items_.pop_front();
    return slot;
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Slot*> items_;
  bool closed_ = false;
};

// Rows of a host frame in the order a top-down stream carries them.
std::vector<iovec> stream_rows(uint8_t* lowest, int32_t width, int32_t height, int64_t pitch) {
  std::vector<iovec> rows(static_cast<size_t>(height));
  for (int32_t r = 0; r < height; ++r) {
    rows[static_cast<size_t>(r)] = {lowest + (height - 1 - r) * pitch, static_cast<size_t>(width) * 4};
  }
  return rows;
}

}  // namespace

int64_t host_pitch(int32_t width) { return (int64_t{width} * 4 + 15) & ~int64_t{15}; }

PipelineOutcome run_pipeline(const PipelineRequest& request) {
  const size_t jobs = request.instances.size();
  const int32_t width = request.width;
  const int32_t height = request.height;
  const int64_t pitch = host_pitch(width);
  const size_t frame_bytes = static_cast<size_t>(pitch) * static_cast<size_t>(height);
  const size_t stream_bytes = static_cast<size_t>(width) * 4 * static_cast<size_t>(height);

  // Enough frames in flight to keep every instance busy while one frame is
  // read and one written; more only while they fit in about 1 GiB.
  const size_t budget = frame_bytes > 0 ? (size_t{1} << 30) / (2 * frame_bytes) : 0;
  const size_t slot_count = std::max(jobs + 2, std::min(2 * jobs + 2, budget));
  std::vector<Slot> slots(slot_count);
  SlotQueue free_slots;
  for (Slot& slot : slots) {
    slot.src.reset(new uint8_t[std::max<size_t>(frame_bytes, 1)]());
    slot.dst.reset(new uint8_t[std::max<size_t>(frame_bytes, 1)]());
    slot.src_view = vdhost::bitmap_view(slot.src.get(), width, height, pitch);
    slot.dst_view = vdhost::bitmap_view(slot.dst.get(), width, height, pitch);
    free_slots.push(&slot);
  }

  PipelineOutcome outcome;
  std::mutex outcome_mutex;
  std::atomic<bool> stop{false};
  auto fail = [&](auto&& record) {
    std::lock_guard lock(outcome_mutex);
    if (!stop.exchange(true)) record();
  };

  // Start every instance on the frame size, as a host does before a run.
  for (vdhost::FilterInstance* instance : request.instances) {
    if (instance->start(slots[0].src_view, slots[0].dst_view) != 0) {
      outcome.error = "the filter could not start on " + std::to_string(width) + "x" +
                      std::to_string(height) + " frames (out of memory?)";
      for (vdhost::FilterInstance* started : request.instances) {
        if (started->started()) started->end();
      }
      return outcome;
    }
  }

  std::vector<SlotQueue> inbox(jobs), outbox(jobs);
  std::vector<std::thread> workers;
  for (size_t j = 0; j < jobs; ++j) {
    workers.emplace_back([&, j] {
      vdhost::FilterInstance& instance = *request.instances[j];
      while (Slot* slot = inbox[j].pop()) {
        // A non-zero result means the frame went out unfiltered: in a batch
        // that is a wrong output, so the job stops rather than carry it.
        slot->filtered = instance.run(slot->src_view, slot->dst_view) == 0;
        outbox[j].push(slot);
      }
      outbox[j].close();
    });
  }

  std::thread writer([&] {
    for (int64_t k = 0;; ++k) {
      Slot* slot = outbox[static_cast<size_t>(k) % jobs].pop();
      if (slot == nullptr) break;
      if (!stop.load()) {
        if (!slot->filtered) {
          fail([&] {
            outcome.error = "the filter could not process frame " + std::to_string(k + 1) +
                            " (out of memory?)";
          });
        } else {
          if (request.observe != nullptr) {
            request.observe(request.observe_context, k,
                            reinterpret_cast<const uint32_t*>(slot->src.get()),
                            reinterpret_cast<const uint32_t*>(slot->dst.get()), pitch);
          }
          if (!write_fully(request.encoder_fd, stream_rows(slot->dst.get(), width, height, pitch))) {
            const int error = errno;
            fail([&] { outcome.write_errno = error; });
          } else {
            std::lock_guard lock(outcome_mutex);
            ++outcome.frames;
            if (request.progress != nullptr) request.progress->frame_done();
          }
        }
      }
      free_slots.push(slot);
    }
  });

  // The reader: this thread.
  for (int64_t k = 0; !stop.load(); ++k) {
    if (request.max_frames && k >= *request.max_frames) break;
    Slot* slot = free_slots.pop();
    size_t got = 0;
    try {
      got = read_fully(request.decoder_fd, stream_rows(slot->src.get(), width, height, pitch));
    } catch (const std::system_error& e) {
      fail([&] { outcome.error = std::string("reading the decoded frames failed: ") + e.what(); });
      free_slots.push(slot);
      break;
    }
    if (got < stream_bytes || stream_bytes == 0) {
      if (got > 0) outcome.truncated = true;
      free_slots.push(slot);
      break;
    }
    slot->index = k;
    inbox[static_cast<size_t>(k) % jobs].push(slot);
  }
  for (SlotQueue& queue : inbox) queue.close();
  for (std::thread& worker : workers) worker.join();
  writer.join();

  for (vdhost::FilterInstance* instance : request.instances) instance->end();
  return outcome;
}

}  // namespace qnr
