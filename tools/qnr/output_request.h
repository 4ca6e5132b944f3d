// What qnr's command line asks of the output.
#pragma once

#include <string>
#include <vector>

#include "libav.h"

namespace qnr {

struct OutputRequest {
  std::string name;                       // as the user gave it, for messages
  std::string url;                        // what libavformat writes to
  std::string format;                     // -f NAME, "" to pick from the name
  std::string codec;                      // --codec NAME, "" for the container's default
  std::vector<std::string> encoder_args;  // after "--": -key value pairs, -an, -sn, -dn
  bool streamed = false;                  // a pipe or device: written once, front to back
  bool sequence = false;                  // an image-sequence pattern (%d, %03d)
  bool interlace = false;                 // --interlace: code the video as interlaced
  bool quiet = false;                     // no notes
  bool strict = false;                    // --strict: a packet that cannot be kept stops the job
  AVRational rate{0, 1};                  // --rate, {0, 1} for the input's own
};

}  // namespace qnr
