#include "base/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "base/failure.h"
#include "base/machine.h"
#include "base/output_checks.h"

namespace qnr {

namespace {

[[noreturn]] void cannot_write(const std::string& path, int error) {
  throw Failure("cannot write " + path + ": " + std::strerror(error));
}

}  // namespace

std::string random_letters(int count) {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string text;
  for (int i = 0; i < count; ++i) text += letters[random() % 36];
  return text;
}

int put_in_place(const std::string& from, const std::string& to, bool replace) {
  if (replace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  // A second name, then the first removed: link never replaces a file.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

void sync_folder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

void write_file_atomically(const std::string& path, const std::string& text) {
  const std::string temp =
      path + ".tmp." + host_name() + "." + std::to_string(::getpid()) + "." + random_letters(8);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) cannot_write(path, errno);
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      ::unlink(temp.c_str());
      cannot_write(path, error);
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int error = errno;
    ::unlink(temp.c_str());
    cannot_write(path, error);
  }
  if (const int error = put_in_place(temp, path, true); error != 0) {
    ::unlink(temp.c_str());
    cannot_write(path, error);
  }
  sync_folder(directory_of(path));
}

std::string read_small_file(const std::string& path, bool* missing) {
  if (missing != nullptr) *missing = false;
  FILE* file = std::fopen(path.c_str(), "rbe");
  if (file == nullptr) {
    if (missing != nullptr && errno == ENOENT) {
      *missing = true;
      return "";
    }
    throw Failure("cannot read " + path + ": " + std::strerror(errno));
  }
  std::string text;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const int error = std::ferror(file) != 0 ? errno : 0;
  std::fclose(file);
  if (error != 0) throw Failure("cannot read " + path + ": " + std::strerror(error));
  return text;
}

}  // namespace qnr
