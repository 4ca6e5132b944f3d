#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "failure.h"

namespace qnr {

std::string lower_extension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = name.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

OutputFile::OutputFile(const std::string& path) : final_path_(path), extension_(lower_extension(path)) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) throw Failure(path + " is a directory; name the output file", kExitUsage);
    if (!S_ISREG(info.st_mode)) {
      direct_ = true;
      write_path_ = path;
      return;
    }
  }
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Hidden, unique, and ending in the real extension so ffmpeg picks the
  // same container for it as for the final name.
  const std::string suffix = extension_.empty() ? "" : "." + name.substr(name.rfind('.') + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = (slash == std::string::npos ? "" : directory) + "." + name +
                                  ".qnr-" + std::to_string(::getpid()) + "-" +
                                  std::to_string(attempt) + ".part" + suffix;
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      write_path_ = candidate;
      return;
    }
    if (errno != EEXIST) {
      throw Failure("cannot write " + path + ": " + std::strerror(errno) +
                    " (the output's directory " + directory + " must exist and be writable)");
    }
  }
  throw Failure("cannot find a free temporary name beside " + path);
}

OutputFile::~OutputFile() {
  if (!committed_ && !direct_ && !write_path_.empty()) ::unlink(write_path_.c_str());
}

void OutputFile::commit() {
  if (!direct_ && ::rename(write_path_.c_str(), final_path_.c_str()) != 0) {
    throw Failure("cannot move the finished output into place as " + final_path_ + ": " +
                  std::strerror(errno));
  }
  committed_ = true;
}

}  // namespace qnr
