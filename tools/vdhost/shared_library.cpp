#include "shared_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace vdhost {

#if defined(_WIN32)

std::unique_ptr<Library> Library::open(const std::string& path, std::string& error) {
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) {
    error = path + ": cannot load (Windows error " + std::to_string(GetLastError()) + ")";
    return nullptr;
  }
  return std::unique_ptr<Library>(new Library(reinterpret_cast<void*>(handle), path));
}

Library::~Library() { FreeLibrary(reinterpret_cast<HMODULE>(handle_)); }

void* Library::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

#else

std::unique_ptr<Library> Library::open(const std::string& path, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : path + ": cannot load";
    return nullptr;
  }
  return std::unique_ptr<Library>(new Library(handle, path));
}

Library::~Library() { dlclose(handle_); }

void* Library::symbol(const char* name) const { return dlsym(handle_, name); }

#endif

}  // namespace vdhost
