#include "digest.h"

extern "C" {
#include <libavutil/hash.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "failure.h"

namespace qnr {

Sha256::Sha256() {
  if (av_hash_alloc(&context_, "SHA256") < 0) throw std::bad_alloc();
  av_hash_init(context_);
}

Sha256::~Sha256() { av_hash_freep(&context_); }

void Sha256::update(const void* bytes, size_t size) {
  av_hash_update(context_, static_cast<const uint8_t*>(bytes), size);
}

void Sha256::update_number(int64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i)
    bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
  update(bytes, sizeof bytes);
}

std::string Sha256::hex() {
  uint8_t text[2 * 32 + 1];
  av_hash_final_hex(context_, text, sizeof text);
  av_hash_init(context_);
  return reinterpret_cast<const char*>(text);
}

namespace {

class ReadFile {
 public:
  explicit ReadFile(const std::string& path) : path_(path) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) failed();
  }
  ~ReadFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Up to `size` bytes from `offset`; fewer only at the end.
  size_t read_at(uint8_t* bytes, size_t size, int64_t offset) {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_, bytes + done, size - done, offset + done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed();
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return done;
  }
  [[noreturn]] void failed() const {
    throw Failure("cannot read " + path_ + ": " + std::strerror(errno));
  }

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace

std::string sha256_of_file(const std::string& path) {
  ReadFile file(path);
  Sha256 hash;
  std::vector<uint8_t> buffer(1 << 20);
  for (int64_t offset = 0;;) {
    const size_t n = file.read_at(buffer.data(), buffer.size(), offset);
    if (n == 0) break;
    hash.update(buffer.data(), n);
    offset += static_cast<int64_t>(n);
  }
  return hash.hex();
}

std::string fingerprint_of_file(const std::string& path, int64_t size) {
  constexpr int64_t kPart = 1 << 20;
  ReadFile file(path);
  Sha256 hash;
  hash.update_number(size);
  std::vector<uint8_t> buffer(kPart);
  hash.update(buffer.data(), file.read_at(buffer.data(), kPart, 0));
  const int64_t tail = size > kPart ? size - kPart : 0;
  hash.update(buffer.data(), file.read_at(buffer.data(), kPart, tail));
  return hash.hex();
}

}  // namespace qnr
