// What `qnr tune`'s HTTP interface reads and writes, apart from the HTTP
// itself: the query of a frame request, checked value by value, and the JSON
// that describes the input.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "tune/tune_filter.h"
#include "tune/tune_frames.h"

namespace qnr {

struct FrameQuery {
  double seconds = 0;
  vdhost::Settings settings;
  bool filtered = true;  // view=filtered (the default) or view=source
  // view=module: the filter's own RGB output, whatever a run would write.
  bool module = false;
  // page and seek, given together: the page's own name for itself and the
  // number of its request; a higher number of the same page gives up a lower
  // one still decoding.
  std::string page;
  std::optional<uint64_t> seek;
};

// Reads t, view, page, seek and the settings table's names (f1, f2, sharp,
// interlace, show_noise, disable); what is omitted keeps its value in `query`.
// False with a one-line reason for a value out of the table's range, not a
// number, given twice, page without seek or the reverse, or a name the
// interface does not know (token aside).
bool read_frame_query(const std::multimap<std::string, std::string>& params, FrameQuery& query,
                      std::string& reason);

struct InfoFacts {
  std::string input;
  InputFacts frames;
  std::string module_path;
  std::string filter_name;
  bool gpu = false;
  std::string gpu_report;
  double start_seconds = 0;
  vdhost::Settings start;
  std::string start_line;  // the module's settings line for `start`
  std::string recalled;    // the settings line last chosen for this input, when it starts so
};

// Also the settings table, for the page to build its controls and the
// settings as text from.

std::string info_json(const InfoFacts& facts);

}  // namespace qnr
