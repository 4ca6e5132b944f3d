#include "tune/tune_memory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace qnr {

namespace {

namespace fs = std::filesystem;

// FNV-1a: a stable name for an identity, not a secret.
uint64_t fnv1a(const std::string& text) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

// Full path, size and modification time, one per line.
std::optional<std::string> identity(const std::string& input) {
  std::error_code error;
  const fs::path full = fs::canonical(input, error);
  struct stat facts {};
  if (error || ::stat(full.c_str(), &facts) != 0) return std::nullopt;
  std::ostringstream text;
  text << full.string() << '\n'
       << facts.st_size << ' ' << facts.st_mtim.tv_sec << '.' << facts.st_mtim.tv_nsec << '\n';
  return text.str();
}

}  // namespace

std::optional<fs::path> tune_memory_folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return fs::path(state) / "qnr" / "tune";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return fs::path(home) / ".local/state/qnr/tune";
  return std::nullopt;
}

std::optional<fs::path> tune_memory_file(const std::string& input) {
  const std::optional<fs::path> folder = tune_memory_folder();
  const std::optional<std::string> id = identity(input);
  if (!folder || !id) return std::nullopt;
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(fnv1a(*id)));
  return *folder / name;
}

std::optional<std::string> recall_settings(const std::string& input) {
  const std::optional<fs::path> file = tune_memory_file(input);
  const std::optional<std::string> id = identity(input);
  if (!file || !id) return std::nullopt;
  std::ifstream in(*file);
  std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The identity first (two lines), then the line; another input's file
  // under the same hash is not this input's memory.
  if (!kept.starts_with(*id)) return std::nullopt;
  std::string line = kept.substr(id->size());
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.empty() || line.find('\n') != std::string::npos) return std::nullopt;
  return line;
}

bool remember_settings(const std::string& input, const std::string& line, std::string& reason) {
  const std::optional<fs::path> file = tune_memory_file(input);
  const std::optional<std::string> id = identity(input);
  if (!file || !id) {
    reason = "no state folder (neither XDG_STATE_HOME nor HOME is set) or the input is gone";
    return false;
  }
  std::error_code error;
  fs::create_directories(file->parent_path(), error);
  if (error) {
    reason = "cannot make " + file->parent_path().string() + ": " + error.message();
    return false;
  }
  // Written aside and renamed over: a reader never sees half a file.
  const fs::path aside = file->string() + ".new";
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::string text = *id + line + "\n";
  const bool written = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
  const int saved = errno;
  if (fd >= 0) ::close(fd);
  if (!written || ::rename(aside.c_str(), file->c_str()) != 0) {
    reason = "cannot write " + file->string() + ": " + std::strerror(written ? errno : saved);
    ::unlink(aside.c_str());
    return false;
  }
  return true;
}

}  // namespace qnr
