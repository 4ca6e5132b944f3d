// Module resources for systems without Win32: a module registers its resources
// when it loads and removes them when it unloads, in place of the resource
// section Windows reads from the module's file.
#include "resources.h"

#include <map>
#include <mutex>
#include <tuple>

namespace win32_standin {
namespace {

using Key = std::tuple<HINSTANCE, WORD, WORD>;  // module, type, name

std::mutex table_mutex;
std::map<Key, Resource>& table() {
  static std::map<Key, Resource> resources;
  return resources;
}

}  // namespace

bool find_resource(HINSTANCE module, LPCSTR type, LPCSTR name, Resource& out) {
  if (!IS_INTRESOURCE(type) || !IS_INTRESOURCE(name)) return false;
  std::lock_guard lock(table_mutex);
  const auto it = table().find({module, LOWORD(type), LOWORD(name)});
  if (it == table().end()) return false;
  out = it->second;
  return true;
}

}  // namespace win32_standin

using win32_standin::Resource;

QNR_WIN32_API BOOL qnr_standin_add_resource(HINSTANCE module, LPCSTR type, LPCSTR name,
                                            WORD language, const void* data, DWORD size) {
  if (!IS_INTRESOURCE(type) || !IS_INTRESOURCE(name) || data == nullptr) return FALSE;
  std::lock_guard lock(win32_standin::table_mutex);
  win32_standin::table()[{module, LOWORD(type), LOWORD(name)}] =
      Resource{{static_cast<const uint8_t*>(data), size}, language};
  return TRUE;
}

QNR_WIN32_API void qnr_standin_remove_resources(HINSTANCE module) {
  std::lock_guard lock(win32_standin::table_mutex);
  auto& resources = win32_standin::table();
  for (auto it = resources.begin(); it != resources.end();) {
    it = std::get<0>(it->first) == module ? resources.erase(it) : std::next(it);
  }
}
