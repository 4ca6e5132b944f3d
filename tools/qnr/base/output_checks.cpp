#include "base/output_checks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/failure.h"

namespace qnr {

namespace {

// The first folder on the way to `folder` that does not exist (ENOENT) or
// is not a folder (ENOTDIR); `folder` itself when none is found.
std::string first_missing(const std::string& folder, int error) {
  size_t at = folder.starts_with("/") ? 1 : 0;
  for (;;) {
    const size_t slash = folder.find('/', at);
    const std::string prefix = folder.substr(0, slash);
    struct stat info {};
    const bool found = ::stat(prefix.c_str(), &info) == 0;
    if (error == ENOENT && !found && errno == ENOENT) return prefix;
    if (error == ENOTDIR && found && !S_ISDIR(info.st_mode)) return prefix;
    if (slash == std::string::npos) return folder;
    at = slash + 1;
  }
}

std::string hint(const std::string& folder, int error) {
  switch (error) {
    case ENOENT: return "there is no folder " + first_missing(folder, error);
    case ENOTDIR: return first_missing(folder, error) + " is a file, not a folder";
    case EACCES:
    case EPERM:
    case EROFS: return "the folder " + folder + " must be writable";
    case ELOOP: return "a symbolic link on the way leads round in a loop";
    case ENAMETOOLONG: {
      const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
      return "a file name there holds at most " + std::to_string(longest > 0 ? longest : 255) +
             " bytes";
    }
    default: return "";
  }
}

}  // namespace

std::string directory_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool stat_input(const std::string& input, struct stat& info) {
  if (input == "-") return ::fstat(STDIN_FILENO, &info) == 0;
  return !input.empty() && ::stat(input.c_str(), &info) == 0;
}

void refuse_input(const std::string& output, const std::string& input, const struct stat& out) {
  struct stat in {};
  if (S_ISREG(out.st_mode) && stat_input(input, in) && same_file(in, out)) {
    throw Failure("the output " + output + " is the input file; name a different output",
                  kExitUsage);
  }
}

void throw_unwritable(const std::string& name, const std::string& folder, int error) {
  const std::string why = hint(folder, error);
  throw Failure("cannot write " + name + ": " + std::strerror(error) +
                (why.empty() ? "" : " (" + why + ")"));
}

}  // namespace qnr
