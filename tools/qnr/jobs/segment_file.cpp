#include "jobs/segment_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>

#include "base/failure.h"

namespace qnr {

namespace {

constexpr char kStart[8] = {'Q', 'N', 'R', 'S', 'E', 'G', 'V', '1'};
constexpr uint32_t kPacketMark = 0x504b5431;  // "PKT1"
constexpr uint32_t kEndMark = 0x454e4431;     // "END1"
// Far beyond any real packet; a larger size means a damaged file.
constexpr uint32_t kMaxBytes = 1u << 30;
constexpr uint32_t kMaxSideData = 64;

}  // namespace

int64_t reorder_depth_of(const std::vector<int64_t>& pts) {
  std::vector<size_t> by_time(pts.size());
  std::iota(by_time.begin(), by_time.end(), size_t{0});
  std::stable_sort(by_time.begin(), by_time.end(),
                   [&](size_t a, size_t b) { return pts[a] < pts[b]; });
  int64_t depth = 0;
  for (size_t rank = 0; rank < by_time.size(); ++rank) {
    // A frame decoded as the i-th but shown as the rank-th: i - rank packets
    // came before it that are shown after it.
    depth = std::max(depth, static_cast<int64_t>(by_time[rank]) - static_cast<int64_t>(rank));
  }
  return depth;
}

SegmentWriter::SegmentWriter(std::string path) : path_(std::move(path)) {
  file_ = std::fopen(path_.c_str(), "wbxe");
  if (file_ == nullptr) throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
  put(kStart, sizeof kStart);
}

SegmentWriter::~SegmentWriter() {
  if (file_ != nullptr) std::fclose(file_);
  if (!finished_) ::unlink(path_.c_str());
}

void SegmentWriter::put(const void* bytes, size_t size) {
  if (size == 0) return;
  if (std::fwrite(bytes, 1, size, file_) != size) {
    throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
  }
  hash_.update(bytes, size);
  size_ += static_cast<int64_t>(size);
}

void SegmentWriter::write(const AVPacket& packet) {
  auto put32 = [&](uint32_t value) { put(&value, sizeof value); };
  auto put64 = [&](int64_t value) { put(&value, sizeof value); };
  put32(kPacketMark);
  put64(packet.pts);
  put64(packet.dts);
  put64(packet.duration);
  put32(static_cast<uint32_t>(packet.flags));
  put32(static_cast<uint32_t>(packet.size));
  put(packet.data, static_cast<size_t>(packet.size));
  put32(static_cast<uint32_t>(packet.side_data_elems));
  for (int i = 0; i < packet.side_data_elems; ++i) {
    const AVPacketSideData& side = packet.side_data[i];
    put32(static_cast<uint32_t>(side.type));
    put32(static_cast<uint32_t>(side.size));
    put(side.data, side.size);
  }
  pts_.push_back(packet.pts);
}

void SegmentWriter::finish() {
  const uint32_t mark = kEndMark;
  const int64_t count = static_cast<int64_t>(pts_.size());
  put(&mark, sizeof mark);
  put(&count, sizeof count);
  if (std::fflush(file_) != 0 || ::fsync(::fileno(file_)) != 0) {
    throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
  }
  const int closed = std::fclose(file_);
  file_ = nullptr;
  if (closed != 0) throw Failure("cannot write " + path_ + ": " + std::strerror(errno));
  finished_ = true;
}

int64_t SegmentWriter::reorder_depth() const { return reorder_depth_of(pts_); }

SegmentReader::SegmentReader(const std::string& path, std::string name, int64_t size,
                             std::string sha256)
    : name_(std::move(name)), size_(size), sha256_(std::move(sha256)) {
  file_ = std::fopen(path.c_str(), "rbe");
  if (file_ == nullptr) {
    throw Failure("cannot read " + name_ + " (" + path + "): " + std::strerror(errno));
  }
  char start[sizeof kStart];
  get(start, sizeof start);
  if (std::memcmp(start, kStart, sizeof kStart) != 0) damaged("it is not a segment file");
}

SegmentReader::~SegmentReader() {
  if (file_ != nullptr) std::fclose(file_);
}

void SegmentReader::damaged(const std::string& why) const {
  throw Failure(name_ + " is damaged: " + why + "; run its qnr segment again", kExitFailure);
}

void SegmentReader::get(void* bytes, size_t size) {
  if (size == 0) return;
  if (read_ + static_cast<int64_t>(size) > size_) damaged("it runs past its recorded size");
  if (std::fread(bytes, 1, size, file_) != size) {
    if (std::ferror(file_)) throw Failure("cannot read " + name_ + ": " + std::strerror(errno));
    damaged("it is cut short");
  }
  hash_.update(bytes, size);
  read_ += static_cast<int64_t>(size);
}

bool SegmentReader::next(AVPacket* packet) {
  uint32_t mark = 0;
  get(&mark, sizeof mark);
  if (mark == kEndMark) {
    int64_t count = 0;
    get(&count, sizeof count);
    if (count != packets_) damaged("its packet count is wrong");
    if (read_ != size_ || std::fgetc(file_) != EOF) damaged("it runs on past its end");
    if (hash_.hex() != sha256_) damaged("its checksum differs from the recorded one");
    return false;
  }
  if (mark != kPacketMark) damaged("a packet is out of place");
  av_packet_unref(packet);
  int64_t pts = 0, dts = 0, duration = 0;
  uint32_t flags = 0, sides = 0, size = 0;
  get(&pts, sizeof pts);
  get(&dts, sizeof dts);
  get(&duration, sizeof duration);
  get(&flags, sizeof flags);
  get(&size, sizeof size);
  if (size > kMaxBytes || read_ + size > size_) damaged("a packet is too large");
  check_av(av_new_packet(packet, static_cast<int>(size)), "out of memory reading " + name_);
  get(packet->data, size);
  get(&sides, sizeof sides);
  if (sides > kMaxSideData) damaged("a packet has too much side data");
  for (uint32_t i = 0; i < sides; ++i) {
    uint32_t type = 0, bytes = 0;
    get(&type, sizeof type);
    get(&bytes, sizeof bytes);
    if (type >= AV_PKT_DATA_NB) damaged("a packet has side data of no known kind");
    if (bytes > kMaxBytes || read_ + bytes > size_) damaged("a packet's side data is too large");
    uint8_t* data = av_packet_new_side_data(packet, static_cast<AVPacketSideDataType>(type), bytes);
    if (data == nullptr) throw std::bad_alloc();
    get(data, bytes);
  }
  packet->pts = pts;
  packet->dts = dts;
  packet->duration = duration;
  packet->flags = static_cast<int>(flags);
  ++packets_;
  return true;
}

}  // namespace qnr
