// The stand-in's table of module resources, shared by its own files.
#pragma once

#include <span>

#include "win32_standin.h"

namespace win32_standin {

struct Resource {
  std::span<const uint8_t> data;
  WORD language = 0;
};

// The resource of integer type and name registered for `module`, or false. Named
// (string) resources are not kept: the module's resources all use numbers.
bool find_resource(HINSTANCE module, LPCSTR type, LPCSTR name, Resource& out);

}  // namespace win32_standin
