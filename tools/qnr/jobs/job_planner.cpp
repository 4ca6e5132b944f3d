#include "jobs/job_planner.h"

#include <algorithm>
#include <cmath>

#include "base/failure.h"
#include "base/interrupt.h"
#include "base/progress.h"
#include "media/input_timeline.h"

namespace qnr {

namespace {

// A jump forward this long between two frames of a transport stream is a
// discontinuity, not a pause.
constexpr double kJumpSeconds = 10;

// Reads the video's packets without decoding them: their presentation
// timestamps are the frames' in all but rare cases (a packet that does not
// decode), which the workers find and settle by decoding.
class Scanner {
 public:
  Scanner(MediaInput& input, AVFormatContext& packets, bool quiet)
      : input_(input),
        packets_(packets),
        stream_(*input.video_stream()),
        progress_(quiet, input.frame_count, input.estimated_frames) {
    scan_.time_base = stream_.time_base;
    // Wrap-around and jumps matter where the container allows them.
    const bool transport = (input.format->iformat->flags & AVFMT_TS_DISCONT) != 0;
    jump_ = transport ? std::llround(kJumpSeconds / av_q2d(stream_.time_base)) : 0;
    wrap_ = transport && stream_.pts_wrap_bits > 0 && stream_.pts_wrap_bits < 63
                ? int64_t{1} << stream_.pts_wrap_bits
                : 0;
  }

  VideoScan run() {
    if (input_.format->pb == nullptr || !(input_.format->pb->seekable & AVIO_SEEKABLE_NORMAL)) {
      one_segment("the input cannot be read from a given time");
    }
    // Every stream's packets, as a run reads them: a jump in any of them
    // moves the video's clock too.
    InputTimeline timeline(packets_, input_.video, input_.video_rate());
    PacketPtr packet = new_packet();
    for (;;) {
      throw_if_interrupted();
      const int code = av_read_frame(&packets_, packet.get());
      if (code == AVERROR_EOF) break;
      if (code < 0) {
        throw Failure("reading " + input_.name + " failed: " + av_error_text(code));
      }
      if (packet->stream_index == input_.video) take(*packet);
      timeline.fix(*packet);
      av_packet_unref(packet.get());
    }
    progress_.finish();
    if (timeline.jumps() > 0) one_segment("the input's clock jumps");
    check_times();
    return std::move(scan_);
  }

 private:
  void one_segment(const std::string& why) {
    if (scan_.one_segment_because.empty()) scan_.one_segment_because = why;
  }

  void take(const AVPacket& packet) {
    if (packet.pts == AV_NOPTS_VALUE) {
      one_segment("some frames have no timestamp of their own");
      return;
    }
    if (packet.dts != AV_NOPTS_VALUE) {
      if (last_dts_ != AV_NOPTS_VALUE && packet.dts <= last_dts_) {
        one_segment("the timestamps run backwards (a discontinuity or a wrap)");
      }
      last_dts_ = packet.dts;
    }
    if (packet.flags & AV_PKT_FLAG_KEY) {
      if (last_key_ != AV_NOPTS_VALUE && packet.pts > last_key_) {
        scan_.key_interval = std::max(scan_.key_interval, packet.pts - last_key_);
      }
      last_key_ = packet.pts;
    }
    scan_.pts.push_back(packet.pts);
    scan_.places.push_back(
        {packet.pts, packet.pos, packet.pos < 0 ? -1 : packet.pos + packet.size});
    progress_.frame_done();
  }

  // The frames in presentation order, checked for what no seek can place.
  void check_times() {
    std::vector<int64_t>& pts = scan_.pts;
    std::sort(pts.begin(), pts.end());
    for (size_t i = 0; i < pts.size(); ++i) {
      if (i > 0 && pts[i] == pts[i - 1]) one_segment("two frames share a timestamp");
      if (i > 0 && jump_ > 0 && pts[i] - pts[i - 1] > jump_) {
        one_segment("the timestamps jump (a discontinuity)");
      }
      if (wrap_ > 0 && (pts[i] < 0 || pts[i] >= wrap_)) one_segment("the timestamps wrap around");
    }
  }

  MediaInput& input_;
  AVFormatContext& packets_;  // the input's own, or its packets without their bytes
  const AVStream& stream_;
  Progress progress_;
  VideoScan scan_;
  int64_t jump_ = 0;
  int64_t wrap_ = 0;
  int64_t last_dts_ = AV_NOPTS_VALUE;
  int64_t last_key_ = AV_NOPTS_VALUE;
};

SegmentSpan span_of(const std::vector<int64_t>& pts, size_t begin, size_t end) {
  SegmentSpan span;
  span.first_pts = pts[begin];
  span.last_pts = pts[end - 1];
  span.frames = static_cast<int64_t>(end - begin);
  PtsDigest digest;
  for (size_t i = begin; i < end; ++i) digest.add(pts[i]);
  span.pts_digest = digest.finish();
  return span;
}

}  // namespace

VideoScan scan_video(MediaInput& input, IndexedInput* index, bool quiet) {
  return Scanner(input, index != nullptr ? *index->format() : *input.format, quiet).run();
}

Split split_video(const VideoScan& scan, double segment_seconds) {
  Split split;
  const std::vector<int64_t>& pts = scan.pts;
  if (pts.empty()) return split;
  const double tick = av_q2d(scan.time_base);
  const int64_t second = std::max<int64_t>(1, std::llround(1.0 / tick));
  // Without two keyframes a worker cannot find one before its frames but
  // the first: it then decodes from the start.
  split.preroll = scan.key_interval > 0 ? std::max(second, scan.key_interval)
                                        : pts.back() - pts.front() + second;
  split.one_segment_because = scan.one_segment_because;
  if (!split.one_segment_because.empty()) {
    // A video kept whole holds its frames as decoded, timestamps and all.
    split.segments.push_back(span_of(pts, 0, pts.size()));
    return split;
  }
  const int64_t length = std::max<int64_t>(1, std::llround(segment_seconds / tick));
  size_t begin = 0;
  for (int64_t k = 1;; ++k) {
    const int64_t boundary = pts.front() + k * length;
    const size_t end = static_cast<size_t>(
        std::lower_bound(pts.begin() + static_cast<ptrdiff_t>(begin), pts.end(), boundary) -
        pts.begin());
    if (end == pts.size()) break;
    if (end > begin) {
      split.segments.push_back(span_of(pts, begin, end));
      begin = end;
    }
  }
  split.segments.push_back(span_of(pts, begin, pts.size()));
  return split;
}

}  // namespace qnr
