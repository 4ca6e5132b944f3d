// A shared library opened at run time: dlopen on Linux, LoadLibrary on Windows.
#pragma once

#include <memory>
#include <string>

namespace vdhost {

class Library {
 public:
  // Null with the system's reason in `error` when the file cannot be loaded.
  static std::unique_ptr<Library> open(const std::string& path, std::string& error);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  void* symbol(const char* name) const;
  const std::string& path() const { return path_; }

 private:
  Library(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  void* handle_;
  std::string path_;
};

}  // namespace vdhost
