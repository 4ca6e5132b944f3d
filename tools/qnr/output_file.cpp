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

// Where a symbolic link points, so that the link stays a link; the name
// itself otherwise.
std::string link_target(const std::string& name) {
  struct stat link_info {};
  if (::lstat(name.c_str(), &link_info) != 0 || !S_ISLNK(link_info.st_mode)) return name;
  char resolved[PATH_MAX];
  if (::realpath(name.c_str(), resolved) != nullptr) return resolved;
  char target[PATH_MAX];
  const ssize_t n = ::readlink(name.c_str(), target, sizeof target - 1);
  if (n <= 0) return name;
  target[n] = '\0';
  return target[0] == '/' ? std::string(target) : directory_of(name) + "/" + target;
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
  } else if (av_filename_number_test(name_.c_str())) {
    open_sequence(target);
  } else {
    open_file(target);
  }
}

// Each picture its own file, numbered from 1.
void OutputFile::open_sequence(const OutputTarget& target) {
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
}

void OutputFile::open_file(const OutputTarget& target) {
  final_path_ = link_target(name_);
  struct stat existing {};
  if (::stat(final_path_.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) {
      throw Failure(name_ + " is a directory; name the output file", kExitUsage);
    }
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
  if (!open_unnamed(mode)) {
    if (errno == ENOENT || errno == EACCES || errno == EROFS || errno == ENOTDIR) unwritable(errno);
    open_hidden(mode);
  }
  if (replacing_) {
    keep_owner_and_mode(existing);
  } else if (!temp_path_.empty()) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    (void)::chmod(temp_path_.c_str(), 0666 & ~mask);
  }
}

// False, with errno set, where the file system has no unnamed files or
// they cannot be linked in for want of /proc.
bool OutputFile::open_unnamed(mode_t mode) {
  fd_ = ::open(directory_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd_ >= 0 && ::access("/proc/self/fd", X_OK) != 0) {
    ::close(fd_);
    fd_ = -1;
    // Not the directory's fault: a hidden name serves instead.
    errno = EOPNOTSUPP;
  }
  if (fd_ < 0) return false;
  url_ = "file:/proc/self/fd/" + std::to_string(fd_);
  return true;
}

// A short hidden name instead, which a signal's last moments can remove.
void OutputFile::open_hidden(mode_t mode) {
  for (int attempt = 0; attempt < 100 && temp_path_.empty(); ++attempt) {
    const std::string candidate = hidden_name(directory_);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) {
      ::close(fd);
      temp_path_ = candidate;
    } else if (errno != EEXIST) {
      unwritable(errno);
    }
  }
  if (temp_path_.empty()) throw Failure("cannot find a free temporary name beside " + name_);
  if (temp_path_.size() < sizeof unfinished_path) {
    std::memcpy(unfinished_path, temp_path_.c_str(), temp_path_.size() + 1);
    unfinished_set = true;
  }
  url_ = "file:" + temp_path_;
}

// The replacement keeps the owner and permissions of the file it replaces.
void OutputFile::keep_owner_and_mode(const struct stat& existing) {
  if (fd_ >= 0) {
    (void)::fchown(fd_, existing.st_uid, existing.st_gid);
    (void)::fchmod(fd_, existing.st_mode & 07777);
  } else {
    (void)::chown(temp_path_.c_str(), existing.st_uid, existing.st_gid);
    (void)::chmod(temp_path_.c_str(), existing.st_mode & 07777);
  }
}

void OutputFile::unwritable(int error) const {
  throw Failure("cannot write " + name_ + ": " + std::strerror(error) +
                " (the output's directory " + directory_ + " must exist and be writable)");
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
        if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, hidden.c_str(), AT_SYMLINK_FOLLOW) == 0)
          break;
        if (errno != EEXIST) fail(std::strerror(errno));
        hidden.clear();
      }
      if (hidden.empty()) fail("no free temporary name");
      if (::rename(hidden.c_str(), final_path_.c_str()) != 0) {
        const int error = errno;
        ::unlink(hidden.c_str());
        fail(std::strerror(error));
      }
    } else if (::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, final_path_.c_str(),
                        AT_SYMLINK_FOLLOW) != 0) {
      // A file that appeared under the name meanwhile is not ours to replace.
      fail(errno == EEXIST
               ? std::string("a file of that name appeared meanwhile; add -y to replace it")
               : std::strerror(errno));
    }
  } else {
    if (!replacing_) {
      if (::link(temp_path_.c_str(), final_path_.c_str()) != 0) {
        fail(errno == EEXIST
                 ? std::string("a file of that name appeared meanwhile; add -y to replace it")
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
