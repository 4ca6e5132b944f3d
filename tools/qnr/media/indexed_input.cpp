#include "media/indexed_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/interrupt.h"

namespace qnr {

namespace {

struct ByteRange {
  int64_t start = 0;
  int64_t end = 0;
};

// The samples the index places in the streams `pick` takes, merged into
// sorted runs.
template <typename Pick>
std::vector<ByteRange> sample_ranges(const AVFormatContext& format, Pick pick) {
  std::vector<ByteRange> ranges;
  for (unsigned s = 0; s < format.nb_streams; ++s) {
    if (!pick(s)) continue;
    AVStream* stream = format.streams[s];
    const int count = avformat_index_get_entries_count(stream);
    for (int i = 0; i < count; ++i) {
      const AVIndexEntry* entry = avformat_index_get_entry(stream, i);
      if (entry != nullptr && entry->pos >= 0 && entry->size > 0 &&
          entry->pos <= INT64_MAX - entry->size) {
        ranges.push_back({entry->pos, entry->pos + entry->size});
      }
    }
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const ByteRange& a, const ByteRange& b) { return a.start < b.start; });
  std::vector<ByteRange> merged;
  for (const ByteRange& range : ranges) {
    if (!merged.empty() && range.start <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

// Whether two sorted, merged lists of runs share a byte.
bool overlap(const std::vector<ByteRange>& a, const std::vector<ByteRange>& b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i].end <= b[j].start) {
      ++i;
    } else if (b[j].end <= a[i].start) {
      ++j;
    } else {
      return true;
    }
  }
  return false;
}

bool demuxer_reads_packet_bytes(AVCodecID codec) {
  // The MOV demuxer runs a full parser on these, which splits and joins
  // packets by what their bytes hold.
  switch (codec) {
    case AV_CODEC_ID_MPEG1VIDEO:
    case AV_CODEC_ID_VC1:
    case AV_CODEC_ID_VP8:
    case AV_CODEC_ID_VP9: return true;
    default: return false;
  }
}

int stop_when_interrupted(void*) { return interrupted_signal() != 0 ? 1 : 0; }

class SampleSkippingFile final : public IndexedInput {
 public:
  SampleSkippingFile(int fd, int64_t size, std::vector<ByteRange> samples)
      : fd_(fd), size_(size), samples_(std::move(samples)) {}

  ~SampleSkippingFile() override {
    if (format_ != nullptr) avformat_close_input(&format_);
    if (io_ != nullptr) {
      av_freep(&io_->buffer);
      avio_context_free(&io_);
    }
    ::close(fd_);
  }

  // Opens the file a second time with the demuxer that read it the first
  // time; false where the second opening does not see the same streams.
  bool open(const MediaInput& input, const std::vector<StreamUse>& uses) {
    constexpr int kBufferSize = 1 << 14;  // read whole while the header is parsed
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer == nullptr) return false;
    io_ = avio_alloc_context(buffer, kBufferSize, 0, this, &SampleSkippingFile::read, nullptr,
                             &SampleSkippingFile::seek);
    if (io_ == nullptr) {
      av_free(buffer);
      return false;
    }
    format_ = avformat_alloc_context();
    if (format_ == nullptr) return false;
    format_->pb = io_;
    format_->flags |= AVFMT_FLAG_CUSTOM_IO;
    // No parser looks into the zeros of a stream read for its times (the one
    // the MOV demuxer runs on H.264 and AV1 reads only headers, for flags
    // the index holds as well). Whole streams keep theirs: what is copied
    // from them must be what a reading of the file gives.
    if (std::find(uses.begin(), uses.end(), StreamUse::times) != uses.end()) {
      format_->flags |= AVFMT_FLAG_NOPARSE;
    }
    format_->interrupt_callback = {stop_when_interrupted, nullptr};
    // The header is read whole, as the first opening read it; samples are
    // skipped only from the first packet on.
    if (avformat_open_input(&format_, input.name.c_str(), input.format->iformat, nullptr) < 0) {
      return false;  // freed by avformat_open_input
    }
    if (format_->nb_streams != input.format->nb_streams) return false;
    for (unsigned s = 0; s < format_->nb_streams; ++s) {
      if (format_->streams[s]->codecpar->codec_id != input.format->streams[s]->codecpar->codec_id) {
        return false;
      }
      if (uses[s] == StreamUse::none) format_->streams[s]->discard = AVDISCARD_ALL;
    }
    skipping_ = true;
    // What a stream read whole gives (a packet's duration where the
    // container leaves it out) depends on what probing its packets found, as
    // in the first opening; the discarded streams' packets are not probed.
    if (std::find(uses.begin(), uses.end(), StreamUse::whole) != uses.end() &&
        avformat_find_stream_info(format_, nullptr) < 0) {
      return false;
    }
    return true;
  }

  AVFormatContext* format() override { return format_; }
  int64_t bytes_read() const override { return bytes_read_; }

 private:
  static int read(void* opaque, uint8_t* to, int want) {
    return static_cast<SampleSkippingFile*>(opaque)->read_at(to, want);
  }

  static int64_t seek(void* opaque, int64_t offset, int whence) {
    auto& file = *static_cast<SampleSkippingFile*>(opaque);
    switch (whence & ~AVSEEK_FORCE) {
      case AVSEEK_SIZE: return file.size_;
      case SEEK_SET: break;
      case SEEK_CUR: offset += file.at_; break;
      case SEEK_END: offset += file.size_; break;
      default: return AVERROR(EINVAL);
    }
    if (offset < 0) return AVERROR(EINVAL);
    file.at_ = offset;
    return offset;
  }

  int read_at(uint8_t* to, int want) {
    if (at_ >= size_) return AVERROR_EOF;
    int64_t count = std::min<int64_t>(want, size_ - at_);
    // The first sample that ends after here.
    const auto sample =
        std::upper_bound(samples_.begin(), samples_.end(), at_,
                         [](int64_t at, const ByteRange& range) { return at < range.end; });
    if (skipping_ && sample != samples_.end() && sample->start <= at_) {
      count = std::min(count, sample->end - at_);
      std::memset(to, 0, static_cast<size_t>(count));
      at_ += count;
      return static_cast<int>(count);
    }
    if (skipping_ && sample != samples_.end()) count = std::min(count, sample->start - at_);
    for (;;) {
      const ssize_t n = ::pread(fd_, to, static_cast<size_t>(count), at_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return AVERROR(errno);
      if (n == 0) return AVERROR_EOF;
      at_ += n;
      bytes_read_ += n;
      return static_cast<int>(n);
    }
  }

  int fd_;
  int64_t size_;
  std::vector<ByteRange> samples_;
  AVIOContext* io_ = nullptr;
  AVFormatContext* format_ = nullptr;
  int64_t at_ = 0;
  int64_t bytes_read_ = 0;
  bool skipping_ = false;
};

}  // namespace

std::unique_ptr<IndexedInput> open_indexed_input(const MediaInput& input,
                                                 const std::vector<StreamUse>& uses) {
  const AVFormatContext& format = *input.format;
  if (!std::string_view(format.iformat->name).starts_with("mov,")) return nullptr;
  if (format.pb == nullptr || !(format.pb->seekable & AVIO_SEEKABLE_NORMAL)) return nullptr;
  if (input.name == "-" || input.name.find("://") != std::string::npos) return nullptr;
  if (uses.size() != format.nb_streams) return nullptr;
  const bool reads_whole = std::find(uses.begin(), uses.end(), StreamUse::whole) != uses.end();
  for (unsigned s = 0; s < format.nb_streams; ++s) {
    AVStream* stream = format.streams[s];
    const int64_t entries = avformat_index_get_entries_count(stream);
    // A stream read for its times is placed by the index, fragments and
    // all; its packets are not parsed.
    if (uses[s] == StreamUse::times &&
        (entries == 0 || demuxer_reads_packet_bytes(stream->codecpar->codec_id))) {
      return nullptr;
    }
    // Streams copied whole come from a file whose header holds all of its
    // index: only there does the container give every packet's duration, so
    // that what is copied cannot hang on what probing the first packets
    // found. A fragmented file's header counts fewer samples than its
    // fragments hold, or none (sound stored in chunks counts more).
    if (reads_whole && (stream->nb_frames <= 0 || entries > stream->nb_frames)) return nullptr;
  }
  std::vector<ByteRange> skipped =
      sample_ranges(format, [&](unsigned s) { return uses[s] != StreamUse::whole; });
  const std::vector<ByteRange> kept =
      sample_ranges(format, [&](unsigned s) { return uses[s] == StreamUse::whole; });
  if (overlap(skipped, kept)) return nullptr;  // a damaged index: read it all

  const int fd = ::open(input.name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  auto file = std::make_unique<SampleSkippingFile>(fd, static_cast<int64_t>(info.st_size),
                                                   std::move(skipped));
  if (!file->open(input, uses)) return nullptr;
  return file;
}

std::unique_ptr<IndexedInput> open_packet_times(const MediaInput& input) {
  std::vector<StreamUse> uses(input.format->nb_streams, StreamUse::none);
  uses[static_cast<size_t>(input.video)] = StreamUse::times;
  return open_indexed_input(input, uses);
}

}  // namespace qnr
