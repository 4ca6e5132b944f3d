// Files that travel beside a test program: the GPU check copies its programs
// and the module into one folder on another machine, so they are found
// relative to the running program, never by a path of the machine that built them.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <string>

namespace gpu_test {

// `name` in the folder of the running program (the current folder if the
// program's own path cannot be read).
inline std::string beside_this_program(const std::string& name) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return name;
  const std::string program(path, static_cast<size_t>(length));
  return program.substr(0, program.rfind('/') + 1) + name;
}

}  // namespace gpu_test
