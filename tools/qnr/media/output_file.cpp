#include "media/output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "base/failure.h"
#include "base/files.h"
#include "base/output_checks.h"

namespace qnr {

namespace {

// The hidden name of a run in progress, for a signal's last moments.
char unfinished_path[PATH_MAX];
std::atomic<bool> unfinished_set{false};

bool is_standard_output(const std::string& name) {
  return name == "-" || name == "/dev/stdout" || name == "/dev/fd/1" || name == "/proc/self/fd/1";
}

// A short hidden name that fits in any directory that holds the final name.
std::string hidden_name(const std::string& directory) {
  return directory + "/.qnr-" + random_letters(8);
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

}  // namespace

OutputFile::OutputFile(const OutputTarget& target)
    : name_(target.name), overwrite_(target.overwrite) {
  if (is_standard_output(name_)) {
    struct stat out {};
    if (::fstat(STDOUT_FILENO, &out) == 0) refuse_input(name_, target.input, out);
    url_ = "pipe:1";
    streamed_ = true;
  } else if (is_sequence_pattern(name_, target.format)) {
    sequence_ = std::make_unique<OutputSequence>(name_, overwrite_, target.input);
  } else {
    open_file(target);
  }
}

void OutputFile::open_file(const OutputTarget& target) {
  final_path_ = link_target(name_);
  directory_ = directory_of(final_path_);
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
  } else if (errno != ENOENT) {
    // A link loop or a name too long would otherwise show only at the end.
    throw_unwritable(name_, directory_, errno);
  }

  const mode_t mode = replacing_ ? (existing.st_mode & 07777) : 0666;
  if (!open_unnamed(mode)) {
    if (errno == ENOENT || errno == EACCES || errno == EROFS || errno == ENOTDIR) {
      throw_unwritable(name_, directory_, errno);
    }
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
      throw_unwritable(name_, directory_, errno);
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

OutputFile::~OutputFile() {
  if (!temp_path_.empty() && !committed_) {
    unfinished_set = false;
    ::unlink(temp_path_.c_str());
  }
  if (fd_ >= 0) ::close(fd_);  // an unnamed file vanishes with its last handle
}

void OutputFile::commit_failed(int error) const {
  throw Failure("cannot put the finished output in place as " + final_path_ + ": " +
                (error == EEXIST ? "a file of that name appeared meanwhile; add -y to replace it"
                                 : std::strerror(error)));
}

// Puts the file at `path` in place of the final name in one step.
void OutputFile::replace_with(const std::string& path) {
  if (const int error = put_in_place(path, final_path_, true); error != 0) {
    ::unlink(path.c_str());
    commit_failed(error);
  }
}

void OutputFile::link_unnamed() {
  const std::string handle = "/proc/self/fd/" + std::to_string(fd_);
  const auto link_as = [&](const std::string& path) {
    return ::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
  };
  if (!replacing_) {
    if (link_as(final_path_)) return;
    // A file that appeared under the name meanwhile is replaced only with -y.
    if (errno != EEXIST || !overwrite_) commit_failed(errno);
  }
  // Linked under a hidden name, then renamed over the old file in one step.
  ::fdatasync(fd_);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string hidden = hidden_name(directory_);
    if (link_as(hidden)) return replace_with(hidden);
    if (errno != EEXIST) commit_failed(errno);
  }
  throw Failure("cannot put the finished output in place as " + final_path_ +
                ": no free temporary name");
}

void OutputFile::link_hidden() {
  // A file that appeared under the name meanwhile is replaced only with -y.
  if (const int error = put_in_place(temp_path_, final_path_, overwrite_); error != 0) {
    commit_failed(error);
  }
  unfinished_set = false;
}

void OutputFile::commit() {
  if (committed_ || streamed_) {
    committed_ = true;
    return;
  }
  if (sequence_) {
    sequence_->commit();
  } else if (fd_ >= 0) {
    link_unnamed();
  } else {
    link_hidden();
  }
  committed_ = true;
}

void remove_unfinished_output() {
  if (unfinished_set.load()) ::unlink(unfinished_path);
  remove_unfinished_sequence();
}

}  // namespace qnr
