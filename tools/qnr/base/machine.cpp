#include "base/machine.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <thread>

namespace qnr {

int processor_count(int most) {
  const int n = static_cast<int>(std::min(std::thread::hardware_concurrency(), unsigned{INT_MAX}));
  return std::clamp(n, 1, std::max(1, most));
}

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "host";
  std::string host = name;
  for (char& c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
  }
  return host.empty() ? "host" : host;
}

std::string executable_path() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace qnr
