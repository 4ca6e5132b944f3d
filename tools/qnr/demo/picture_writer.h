// Writes pictures that qnr makes itself (the demo's clips and stills) as a
// video or an image file, through the same libraries and file handling as a
// filter run.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qnr {

struct PictureStream {
  std::string path;
  int32_t width = 0;
  int32_t height = 0;
  int rate = 25;                                             // frames per second
  std::string codec;                                         // "" for the container's default
  std::vector<std::pair<std::string, std::string>> options;  // encoder options
};

// One file written picture by picture, so that several can be written side by
// side. It replaces an existing file of that name only when finished; one
// destroyed unfinished leaves nothing behind. Throws Failure.
class PictureWriter {
 public:
  explicit PictureWriter(const PictureStream& stream);
  ~PictureWriter();
  PictureWriter(const PictureWriter&) = delete;
  PictureWriter& operator=(const PictureWriter&) = delete;

  // The next picture, top-down BGRX words, width x height.
  void write(const uint32_t* pixels);
  // Flushes the encoder and puts the file in place under its name.
  void finish();

 private:
  struct Encoder;
  std::unique_ptr<Encoder> encoder_;
};

}  // namespace qnr
