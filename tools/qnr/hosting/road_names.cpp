// The roads' names as plans record them.
#include "hosting/road.h"

namespace qnr {

const char* road_name(Road road) { return road == Road::gpu ? "gpu" : "cpu"; }

bool road_from_name(const std::string& name, Road& road) {
  if (name != "cpu" && name != "gpu") return false;
  road = name == "gpu" ? Road::gpu : Road::cpu;
  return true;
}

}  // namespace qnr
