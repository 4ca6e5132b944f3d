#include "jobs/input_ranges.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "base/digest.h"
#include "base/failure.h"
#include "base/machine.h"

namespace qnr {

namespace {

constexpr int kMostDigestThreads = 16;

std::string digest_of_run(const std::string& path, int64_t start, int64_t end) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Failure("cannot read " + path + ": " + std::strerror(errno));
  Sha256 hash;
  std::vector<char> buffer(1 << 20);
  int64_t at = start;
  while (at < end) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(end - at, buffer.size()));
    const ssize_t n = ::pread(fd, buffer.data(), want, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a shorter file: the digest differs
    hash.update(buffer.data(), static_cast<size_t>(n));
    at += n;
  }
  ::close(fd);
  return hash.hex();
}

// The run that holds byte `pos`.
size_t run_of(const std::vector<SegmentSpan>& segments, int64_t pos) {
  size_t k = 0;
  while (k + 1 < segments.size() && segments[k + 1].byte_start <= pos) ++k;
  return k;
}

}  // namespace

void add_byte_runs(const std::vector<PacketPlace>& packets, const std::string& input,
                   int64_t input_size, int64_t preroll, std::vector<SegmentSpan>& segments) {
  for (const PacketPlace& packet : packets) {
    if (packet.pos < 0) return;
  }
  // The first byte of any packet shown at or after each time: packets by
  // time, with the least position of those that follow.
  std::vector<PacketPlace> by_time = packets;
  std::sort(by_time.begin(), by_time.end(),
            [](const PacketPlace& a, const PacketPlace& b) { return a.pts < b.pts; });
  std::vector<int64_t> least_after(by_time.size() + 1, INT64_MAX);
  for (size_t i = by_time.size(); i-- > 0;) {
    least_after[i] = std::min(least_after[i + 1], by_time[i].pos);
  }
  const auto first_byte_from = [&](int64_t pts) {
    const auto at = std::lower_bound(by_time.begin(), by_time.end(), pts,
                                     [](const PacketPlace& p, int64_t t) { return p.pts < t; });
    return least_after[static_cast<size_t>(at - by_time.begin())];
  };
  std::vector<int64_t> earliest(segments.size());
  std::vector<int64_t> read_from(segments.size());
  for (size_t k = 0; k < segments.size(); ++k) {
    // A segment's run starts at the first byte of any packet of its frames;
    // its decode starts at a keyframe within two pre-rolls before them.
    earliest[k] = first_byte_from(segments[k].first_pts);
    read_from[k] = first_byte_from(segments[k].first_pts - 2 * preroll);
  }
  int64_t start = 0;
  for (size_t k = 0; k < segments.size(); ++k) {
    if (k > 0) start = std::max(start, std::min(earliest[k], input_size));
    segments[k].byte_start = start;
  }
  for (size_t k = 0; k < segments.size(); ++k) {
    segments[k].reads_from =
        k == 0 ? 0 : static_cast<int64_t>(run_of(segments, std::min(read_from[k], input_size)));
  }
  // The runs are digested on every processor at once: the digest, not the
  // disk, bounds one reader.
  std::atomic<size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  const auto digest_runs = [&] {
    try {
      for (size_t k = next++; k < segments.size(); k = next++) {
        const int64_t end = k + 1 < segments.size() ? segments[k + 1].byte_start : input_size;
        segments[k].bytes_sha256 = digest_of_run(input, segments[k].byte_start, end);
      }
    } catch (...) {
      const std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
      next = segments.size();
    }
  };
  const auto readers =
      std::min<size_t>(static_cast<size_t>(processor_count(kMostDigestThreads)), segments.size());
  std::vector<std::jthread> threads;
  for (size_t t = 1; t < readers; ++t) threads.emplace_back(digest_runs);
  digest_runs();
  threads.clear();  // joined
  if (failure) std::rethrow_exception(failure);
}

void check_byte_runs(const JobPlan& plan, int64_t k, bool from_start) {
  const std::vector<SegmentSpan>& segments = plan.segments;
  const auto index = static_cast<size_t>(k);
  if (segments[index].bytes_sha256.empty()) return;  // planned without them
  const size_t first =
      from_start ? 0 : std::min(index, static_cast<size_t>(segments[index].reads_from));
  // The frames that close a segment may lie in the next one's run.
  const size_t last = std::min(index + 1, segments.size() - 1);
  for (size_t j = first; j <= last; ++j) {
    const int64_t start = segments[j].byte_start;
    const int64_t end = j + 1 < segments.size() ? segments[j + 1].byte_start : plan.input_size;
    if (digest_of_run(plan.input, start, end) != segments[j].bytes_sha256) {
      throw Failure("the input " + plan.input + " changed since the job was planned (bytes " +
                        std::to_string(start) + " to " + std::to_string(end) +
                        " differ); plan the job again in a new folder",
                    kExitCannotRetry);
    }
  }
}

}  // namespace qnr
