// Notes: what qnr tells the user about a choice it made for them (a stream
// left out or converted, transparency dropped), one line each on standard
// error, never a failure.
#pragma once

#include <cstdio>
#include <string>

namespace qnr {

// Prints "qnr: note: ..." unless quiet.
inline void note(bool quiet, const std::string& text) {
  if (!quiet) std::fprintf(stderr, "qnr: note: %s\n", text.c_str());
}

}  // namespace qnr
