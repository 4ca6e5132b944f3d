#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "failure.h"
#include "libav.h"

namespace qnr {

namespace {

// The hidden name of a run in progress, for a signal's last moments.
char unfinished_path[PATH_MAX];
std::atomic<bool> unfinished_set{false};

bool is_standard_output(const std::string& name) {
  return name == "-" || name == "/dev/stdout" || name == "/dev/fd/1" || name == "/proc/self/fd/1";
}

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// A short hidden name that fits in any directory that holds the final name.
std::string hidden_name(const std::string& directory) {
  static std::mt19937_64 random{std::random_device{}()};
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string name = ".qnr-";
  for (int i = 0; i < 8; ++i) name += letters[random() % 36];
  return directory + "/" + name;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void refuse_input(const std::string& output, const std::string& input, const struct stat& out) {
  struct stat in {};
  if (input != "-" && ::stat(input.c_str(), &in) == 0 && same_file(in, out)) {
    throw Failure("the output " + output + " is the input file; name a different output",
                  kExitUsage);
  }
}

}  // namespace

OutputFile::OutputFile(const OutputTarget& target) : name_(target.name) {
  if (is_standard_output(name_)) {
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) == 0) refuse_input(name_, target.input, out);
    url_ = "pipe:1";
    streamed_ = true;
    return;
  }
  if (av_filename_number_test(name_.c_str())) {
    // Each picture its own file, numbered from 1.
    char first[PATH_MAX];
    struct stat info {};
    if (name_ == target.input) {
      throw Failure("the output " + name_ + " is the input sequence; name a different output",
                    kExitUsage);
    }
    if (av_get_frame_filename(first, sizeof first, name_.c_str(), 1) == 0 &&
        ::stat(first, &info) == 0) {
      refuse_input(first, target.input, info);
      if (!target.overwrite) {
        throw Failure(std::string(first) + " exists; add -y (--overwrite) to replace the sequence",
                      kExitUsage);
      }
    }
    url_ = name_;
    sequence_ = true;
    return;
  }

  final_path_ = name_;
  struct stat link_info {};
  if (::lstat(name_.c_str(), &link_info) == 0 && S_ISLNK(link_info.st_mode)) {
    // Written through the link, so the link stays a link.
    char resolved[PATH_MAX];
    if (::realpath(name_.c_str(), resolved) != nullptr) {
      final_path_ = resolved;
    } else {
      char target_name[PATH_MAX];
      const ssize_t n = ::readlink(name_.c_str(), target_name, sizeof target_name - 1);
      if (n > 0) {
        target_name[n] = '\0';
        final_path_ = target_name[0] == '/' ? std::string(target_name)
                                            : directory_of(name_) + "/" + target_name;
      }
    }
  }

  struct stat existing {};
  if (::stat(final_path_.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) throw Failure(name_ + " is a directory; name the output file", kExitUsage);
    refuse_input(name_, target.input, existing);
    if (!S_ISREG(existing.st_mode)) {
      // A device or a pipe: written directly, never replaced.
      url_ = "file:" + name_;
      streamed_ = true;
      return;
    }
    if (!target.overwrite) {
      throw Failure(name_ + " exists; add -y (--overwrite) to replace it", kExitUsage);
    }
    replacing_ = true;
  }

  directory_ = directory_of(final_path_);
  const mode_t mode = replacing_ ? (existing.st_mode & 07777) : 0666;
  fd_ = ::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd_ >= 0 && ::access("/proc/self/fd", X_OK) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ >= 0) {
    url_ = "file:/proc/self/fd/" + std::to_string(fd_);
  } else {
    if (errno == ENOENT || errno == EACCES || errno == EROFS || errno == ENOTDIR) {
      throw Failure("cannot write " + name_ + ": " + std::strerror(errno) + " (the output's directory " +
                    directory_ + " must exist and be writable)");
    }
    // No unnamed files here: a short hidden name instead.
    for (int attempt = 0; attempt < 100 && temp_path_.empty(); ++attempt) {
      const std::string candidate = hidden_name(directory_);
      const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0) {
        ::close(fd);
        temp_path_ = candidate;
      } else if (errno != EEXIST) {
        throw Failure("cannot write " + name_ + ": " + std::strerror(errno) +
                      " (the output's directory " + directory_ + " must exist and be writable)");
      }
    }
    if (temp_path_.empty()) throw Failure("cannot find a free temporary name beside " + name_);
    if (temp_path_.size() < sizeof unfinished_path) {
      std::memcpy(unfinished_path, temp_path_.c_str(), temp_path_.size() + 1);
      unfinished_set = true;
    }
    url_ = "file:" + temp_path_;
  }
  if (replacing_) {
    // The replacement keeps the owner and permissions of the file it replaces.
    const char* path = temp_path_.empty() ? nullptr : temp_path_.c_str();
    if (fd_ >= 0) {
      (void)::fchown(fd_, existing.st_uid, existing.st_gid);
      (void)::fchmod(fd_, existing.st_mode & 07777);
    } else {
      (void)::chown(path, existing.st_uid, existing.st_gid);
      (void)::chmod(path, existing.st_mode & 07777);
    }
  } else if (!temp_path_.empty()) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::chmod(temp_path_.c_str(), 0666 & ~mask);
  }
}

OutputFile::~OutputFile() {
  if (!temp_path_.empty() && !committed_) {
    unfinished_set = false;
    ::unlink(temp_path_.c_str());
  }
  if (fd_ >= 0) ::close(fd_);  // an unnamed file vanishes with its last handle
}

void OutputFile::commit() {
  if (committed_ || streamed_ || sequence_) {
    committed_ = true;
    return;
  }
  auto fail = [&](const std::string& why) {
    throw Failure("cannot put the finished output in place as " + final_path_ + ": " + why);
  };
  if (fd_ >= 0) {
    const std::string handle = "/proc/self/fd/" + std::to_string(fd_);
    if (replacing_) {
      // Linked under a hidden name, then renamed over the old file in one step.
      ::fdatasync(fd_);
      std::string hidden;
      for (int attempt = 0; attempt < 100; ++attempt) {
        hidden = hidden_name(directory_);
        if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0) break;
        if (errno != EEXIST) fail(std::strerror(errno));
        hidden.clear();
      }
      if (hidden.empty()) fail("no free temporary name");
      if (::rename(hidden.c_str(), final_path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(hidden.c_str());
        fail(std::strerror(error));
      }
    } else if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, final_path_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      // A file that appeared under the name meanwhile is not ours to replace.
      fail(errno == EEXIST ? std::string("a file of that name appeared meanwhile; add -y to replace it")
                           : std::strerror(errno));
    }
  } else {
    if (!replacing_) {
      if (::link(temp_path_.c_str(), final_path_.c_str()) != 0) {
        fail(errno == EEXIST ? std::string("a file of that name appeared meanwhile; add -y to replace it")
                             : std::strerror(errno));
      }
      ::unlink(temp_path_.c_str());
    } else if (::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
      fail(std::strerror(errno));
    }
    unfinished_set = false;
  }
  committed_ = true;
}

void remove_unfinished_output() {
  if (unfinished_set.load()) ::unlink(unfinished_path);
}

}  // namespace qnr
