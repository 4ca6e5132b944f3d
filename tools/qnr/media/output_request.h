// What is asked of the output: the user's choices (from the command line or
// a job's plan) and where the file is written.
#pragma once

#include <string>
#include <vector>

#include "media/libav.h"

namespace qnr {

class OutputFile;

// The choices a user makes about the output; a long job's plan keeps them.
struct OutputChoice {
  std::string name;                       // as the user gave it, for messages
  std::string format;                     // -f NAME, "" to pick from the name
  std::string codec;                      // --codec NAME, "" for the container's default
  std::vector<std::string> encoder_args;  // after "--": -key value pairs, -an, -sn, -dn
  bool interlace = false;                 // code the video as interlaced
  bool strict = false;                    // --strict: a packet that cannot be kept stops the job
  AVRational rate{0, 1};                  // --rate, {0, 1} for the input's own
};

struct OutputRequest : OutputChoice {
  std::string url;        // what libavformat writes to
  bool streamed = false;  // a pipe or device: written once, front to back
  bool sequence = false;  // an image-sequence pattern (%d, %03d)
  bool quiet = false;     // no notes
};

// The request that writes `choice` into `file`; without a file, one that
// only checks the container and codec before any work is done.
OutputRequest make_output_request(const OutputChoice& choice, bool quiet,
                                  const OutputFile* file = nullptr);

}  // namespace qnr
