// Writes pictures that qnr makes itself (the demo's clip and stills) as a
// video or an image file, through the same libraries and file handling as a
// filter run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qnr {

struct PictureStream {
  std::string path;
  int32_t width = 0;
  int32_t height = 0;
  int frames = 1;
  int rate = 25;                                             // frames per second
  std::string codec;                                         // "" for the container's default
  std::vector<std::pair<std::string, std::string>> options;  // encoder options
  // Fills frame `index` as top-down BGRX words, width x height.
  std::function<void(int index, std::vector<uint32_t>& pixels)> draw;
};

// Replaces an existing file of that name. Throws Failure.
void write_pictures(const PictureStream& stream);

}  // namespace qnr
