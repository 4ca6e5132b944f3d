// qnr demo: makes a noisy clip, filters it, and writes a before/after
// picture, the noise the filter removed, and the filtered clip.
#pragma once

#include <cstdint>
#include <string>

#include "hosting/filter_module.h"

namespace qnr {

struct DemoRequest {
  std::string dir = "qnr-demo";
  int32_t width = 1280;
  int32_t height = 720;
  int frames = 48;
  int jobs = 0;  // filter instances, 0 to choose
  FilterSettings settings;
  bool quiet = false;
};

int run_demo(const DemoRequest& request, const LoadedModule& loaded);

}  // namespace qnr
